#include "console.h"

namespace app {

std::string FailureReport(const sarnveld::Error& failure, const char* argv0) {
  const std::string& message = failure.Message();
  return "Exception " + failure.Kind() + " in module " + ModuleName(argv0) + " at 00000000.\n" +
         message + (message.empty() || message.back() == '.' ? "" : ".") + "\r\n";
}

int RunMain(int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run,
            bool keepEmpty, const std::function<std::string(const sarnveld::Error&)>& format) {
  PrepareProcess();
  try {
    return run(ProgramArguments(argc, argv, keepEmpty));
  } catch (...) {
    const sarnveld::Error failure = sarnveld::CurrentError();
    try {
      WriteConsole(format ? format(failure) : FailureReport(failure, argc > 0 ? argv[0] : nullptr));
    } catch (...) {
      // Standard output is gone: the exit code is all that is left to report with.
    }
    return 1;
  }
}

std::vector<std::string> SplitCommandLine(std::string_view line, bool keepEmpty) {
  std::vector<std::string> words;
  std::size_t at = 0;
  // Spaces and the control characters, DEL among them, separate; bytes above 0x7F are text.
  const auto separates = [&] {
    const auto byte = static_cast<unsigned char>(line[at]);
    return byte <= ' ' || byte == 0x7F;
  };
  for (;;) {
    // Separators and pairs of quotes before a word, in any mix.
    while (at < line.size() && (separates() || (!keepEmpty && line.substr(at, 2) == "\"\"")))
      at += separates() ? 1 : 2;
    if (at == line.size())
      return words;
    // A quote opens a group up to the next one, or to the end when there is none.
    std::string word;
    for (bool grouped = false; at < line.size() && (grouped || !separates()); ++at) {
      if (line[at] == '"')
        grouped = !grouped;
      else
        word += line[at];
    }
    if (!word.empty() || keepEmpty)
      words.push_back(std::move(word));
  }
}

}  // namespace app
