// How a Windows program's arguments are split from its one command-line string. Kept apart
// from the Win32 process layer so that the rules are tested on every platform.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace app {

// Splits `commandLine` into its words, the program's own name first: spaces and control
// characters separate words; double quotes group text, spaces included, and are dropped; a
// pair of double quotes that begins a word is skipped, so an empty word never appears, unless
// `keepEmpty`: then quotes that hold nothing make an empty word. Backslashes have no special
// meaning.
std::vector<std::string> SplitCommandLine(std::string_view commandLine, bool keepEmpty = false);

}  // namespace app
