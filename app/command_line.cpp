#include "command_line.h"

namespace app {
namespace {

// Spaces and the control characters, DEL among them, separate; bytes above 0x7F belong to
// words.
bool Separates(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= ' ' || byte == 0x7F;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view commandLine, bool keepEmpty) {
  std::vector<std::string> words;
  std::size_t at = 0;
  const std::size_t end = commandLine.size();
  for (;;) {
    // Separators and pairs of quotes before a word, in any mix.
    for (;;) {
      while (at < end && Separates(commandLine[at]))
        ++at;
      if (!keepEmpty && at + 1 < end && commandLine[at] == '"' && commandLine[at + 1] == '"')
        at += 2;
      else
        break;
    }
    if (at == end)
      return words;
    std::string word;
    while (at < end && !Separates(commandLine[at])) {
      if (commandLine[at] == '"') {
        // Up to the closing quote, or to the end when there is none.
        const std::size_t close = commandLine.find('"', at + 1);
        const std::size_t stop = close == std::string_view::npos ? end : close;
        word.append(commandLine.substr(at + 1, stop - at - 1));
        at = stop == end ? end : stop + 1;
      } else {
        word += commandLine[at++];
      }
    }
    // A lone quote at the very end opens an empty group: nothing to add.
    if (!word.empty() || keepEmpty)
      words.push_back(std::move(word));
  }
}

}  // namespace app
