// Whole-program tests: they run the built sarnveld2hex and hex2plain on real files and check
// their console bytes, exit codes and the files they leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

const std::string Packer = SARNVELD2HEX_PATH, Unpacker = HEX2PLAIN_PATH;
const std::string Ok = PackerBanner + "Ok\r\n";

std::string Packs(const std::string& kind, const std::string& message) {
  return PackerBanner + FailureReport("sarnveld2hex", kind, message);
}

std::string Unpacks(const std::string& kind, const std::string& message) {
  return UnpackerBanner + FailureReport("hex2plain", kind, message);
}

// The container with these names instead.
Bytes Named(Bytes container, const std::string& nameId, const std::string& manufacturer) {
  std::fill_n(container.begin(), 32, 0);
  std::copy(nameId.begin(), nameId.end(), container.begin());
  std::copy(manufacturer.begin(), manufacturer.end(), container.begin() + 16);
  return container;
}

// What hex2plain prints for a container of these figures.
std::string Summary(const std::string& name, const std::string& payload,
                    const std::string& checksum, const std::string& image, const std::string& codes,
                    const std::string& shortest, const std::string& longest,
                    const std::string& manufacturer = "Sarnveld") {
  return UnpackerBanner + "NameID: " + name + "\r\nManufacturer: " + manufacturer +
         "\r\nPayloadSize: " + payload + "\r\nChecksum: " + checksum + "\r\nImage size: " + image +
         "\r\nByte values with codes: " + codes + "\r\nShortest code: " + shortest +
         "\r\nLongest code: " + longest + "\r\nOk\r\n";
}

// Each entry below the current directory, by relative name: its type, permissions, owner and
// group, and a regular file's bytes (its size alone past 1 MiB, or when it cannot be read).
using TState = std::map<std::string, std::pair<long long, Bytes>>;
TState CurrentState() {
  TState state;
  for (const auto& entry : fs::recursive_directory_iterator(".")) {
    const fs::file_status status = entry.symlink_status();
    long long owner = 0;
#ifndef _WIN32
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    owner = static_cast<long long>(info.st_uid) << 40 | static_cast<long long>(info.st_gid) << 24;
#endif
    // On Windows a run holds its output unshared: that file is not read.
    const bool small = fs::is_regular_file(status) && entry.file_size() <= (1u << 20) &&
                       std::ifstream(entry.path()).is_open();
    state[entry.path().lexically_relative(".").generic_string()] = {
        owner | static_cast<int>(status.type()) << 16 | static_cast<int>(status.permissions()),
        small                         ? ReadWholeFile(entry.path().string())
        : fs::is_regular_file(status) ? Text(std::to_string(entry.file_size()))
                                      : Bytes{}};
  }
  return state;
}

// Each row runs in a directory of the files below, and must give its exit code and console
// text (into the console file, when the row names one) and leave every file as it was but
// those it changes: no file is truncated, nothing is left beside one, a replaced output keeps
// its mode (set-group-ID too), owner and group, through a symbolic link too, while a hard link
// keeps the old file, and paths are reported as given. The packer takes any argument count but four
// for a request for its usage text; empty arguments are skipped; only a lone "-" selects a default
// name, other text is stored byte for byte, cut to 15 bytes and a zero. "-" is an ordinary
// file name, and so is "-h" after hex2plain's "--"; of its help, version and an unknown option
// the first decides. A failure to print "Ok" fails the run but keeps the complete container.
TEST(Programs, EachRunPrintsItsTextAndLeavesOnlyAWholeOutput) {
  TTempDir dir;
  const fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  const Bytes abc = Text("abc"), previous = Text("previous"), container = Pack(abc);
  Bytes damaged = container;
  damaged[40] ^= 0x80;  // the start bit: the checksum is reported all the same
  Bytes deep = FibonacciImage(33);
  for (auto& byte : deep)
    byte ^= 0x80;  // the longest codes are not byte value 0's
  // Names: UTF-8, a control character, the backslash, the quote, DEL; then not UTF-8: a lone
  // 0xFF, a lead byte without its follower, the first and the last surrogate, a zero in three
  // bytes and a code point past U+10FFFF; and at the edges: U+0080, the last control character,
  // the last printable one and U+10FFFF.
  const Bytes names = Named(Pack(Text("a")), "\xC2\x80 \x01\\\"\xFF\xC3(\xED\xA0\x80\xED\xBF\xBF",
                            "\x7F\xE0\x80\x80\xF4\x90\x80\x80\x1F~\xF4\x8F\xBF\xBF");
  std::map<std::string, Bytes> files = {{"in", abc},
                                        {"εικόνα", abc},
                                        {"-", abc},
                                        {"out", previous},
                                        {"console", {}},
                                        {"abc.hex", container},
                                        {"bad.hex", damaged},
                                        {"names.hex", names},
                                        {"empty.hex", Pack({})},
                                        {"deep", deep},
                                        {"random", RandomBytes(65536, 7)}};
#ifndef _WIN32
  // Paths past 256 bytes (not on Windows, whose limit is 259); a longer old output, its name the
  // longest a folder holds, is replaced through a link that names it from their folder.
  const std::string longIn = std::string(250, 'd') + "/" + std::string(100, 'i'),
                    longOut = std::string(250, 'd') + "/" + std::string(255, 'o'),
                    longLink = std::string(250, 'd') + "/" + std::string(100, 'l');
  fs::create_directory(std::string(250, 'd'));
  fs::create_symlink(std::string(255, 'o'), longLink);
  files[longIn] = abc;
  files[longOut] = RandomBytes(5000, 1);
  fs::create_symlink("out", "link");  // "out" is replaced through it, and through a link to it
  fs::create_symlink("link", "chain");
  fs::create_symlink("in", "in.");      // a message that ends in a full stop is given no second one
  fs::create_symlink(Packer, "alias");  // a report names the program's file, not the link
  const std::string limited = "Cannot write file link: File too large";
#endif
  WriteWholeFile("huge", {});
  fs::resize_file("huge", 2147483647);  // sparse: too large to count
  fs::create_directory("--help");
  const std::map<std::string, Bytes> packed = {{"out", container}};
  // Into the file "-".
  const auto stored = [&](const std::string& nameId, const std::string& manufacturer) {
    return std::map<std::string, Bytes>{{"-", Named(container, nameId, manufacturer)}};
  };
  const auto named = [](const std::string& nameId, const std::string& manufacturer) {
    return std::vector<std::string>{"", "in", "", "-", nameId, "", manufacturer, ""};
  };
  const std::string usage = PackerBanner +
                            "Usage: sarnveld2hex plainfile hexfile NameID Manufacturer\r\n"
                            "\r\n"
                            "  NameID: use '-' for default 'ZRQ-705'\r\n"
                            "  Manufacturer: use '-' for default 'Sarnveld'\r\n";
  const std::string help =
      UnpackerBanner +
      "Usage: hex2plain [options] hexfile [plainfile]\r\n"
      "\r\n"
      "  hexfile: the container to check and describe\r\n"
      "  plainfile: where to write the memory image; without it nothing is written\r\n"
      "  --json: print the description, or the failure, as one JSON object\r\n"
      "  -h, --help: show this text\r\n"
      "  --version: show the version\r\n"
      "  --: ends the options, for a file whose name begins with '-'\r\n";
  const auto packs = [](const std::string& in, const std::string& out) {
    return std::vector<std::string>{in, out, "-", "-"};
  };
  const std::string invalid = Packs("EError", "Invalid Filename");
  const std::string notFound = Unpacks("EError", "Invalid Filename");
  const std::string refused = Unpacks("EFCreateError", "Cannot create file ./abc.hex");
  const auto uncreated = [](const std::string& path) {
    return Packs("EFCreateError", "Cannot create file " + path);
  };
  const std::string greek = "Ζυγαριά東京", cjk = "𝄞株式会社";
  const std::string emptySummary =
      Summary("ZRQ-705", "33", "128 (0x00000080)", "0 bytes", "0", "none", "none");
  const std::string namesSummary =
      Summary("\\xC2\\x80 \\x01\\x5C\"\\xFF\\xC3(\\xED\\xA0\\x80\\xED\\xBF\\xBF", "35",
              "162 (0x000000A2)", "1 byte", "1", "1 bit", "1 bit",
              "\\x7F\\xE0\\x80\\x80\\xF4\\x90\\x80\\x80\\x1F~\\xF4\\x8F\\xBF\\xBF");
  const std::string namesJson =
      "{\"ok\": true, \"name_id\": \"\xC2\x80 "
      R"(\u0001\\\"\u00ff\u00c3(\u00ed\u00a0\u0080\u00ed\u00bf\u00bf", )"
      R"("name_id_hex": "c28020015c22ffc328eda080edbfbf", )"
      "\"manufacturer\": \"\x7F"
      R"(\u00e0\u0080\u0080\u00f4\u0090\u0080\u0080\u001f~)"
      "\xF4\x8F\xBF\xBF"
      R"(", "manufacturer_hex": "7fe08080f49080801f7ef48fbfbf", )"
      R"("payload_size": 35, "checksum": 162, "image_size": 1, "coded_byte_values": 1, )"
      R"("shortest_code": 1, "longest_code": 1})"
      "\r\n";
  const std::string sum =
      "Container bad.hex is damaged: its payload's bytes sum to 436, but Checksum (byte 36) is 564";
  const std::string jsonFailure =
      R"({"ok": false, "kind": "EBadContainer", "message": ")" + sum + "\"}\r\n";
  const std::string abcSummary =
      Summary("ZRQ-705", "38", "564 (0x00000234)", "3 bytes", "3", "2 bits", "2 bits");
  const std::string tooLarge =
      "File huge is too large: it holds 2147483647 bytes, and at most 2147483646 can be packed";
  const std::string tooLong =
      "File deep needs a code of 33 bits for byte value 0x80, longer "
      "than the 32 bits a container can state";
  const struct {
    std::string Program;
    std::vector<std::string> Arguments;
    int ExitCode;
    std::string Output;
    std::map<std::string, Bytes> Changed{};  // the files that change, and what they hold then
    std::string Console{};                   // standard output appends to it: it gains Output
    long long FileSizeLimit = -1;
  } cases[] = {
      {Packer, {"in", "out", "-", "-", "-"}, 0, usage},
      {Packer, {"", "in", "out", "-"}, 0, usage},
      {Packer, named("--", "- "), 0, Ok, stored("--", "- ")},
      // UTF-8, as Windows passes a command line as text, cut to 15 bytes inside a character;
      // U+1D11E is a surrogate pair on Windows.
      {Packer, named(greek, cjk), 0, Ok, stored(greek.substr(0, 15), cjk.substr(0, 15))},
      // A device as the output that is the console too: not refused, as a file would be.
      {Packer, packs("-", NullDevice), 0, Ok, {}, NullDevice},
      {Packer, packs("--help", "out"), 1, invalid},
      {Packer, packs("missing", "out"), 1, invalid},
      {Packer, packs(NullDevice, "out"), 1, Packs("EFOpenError", "Cannot open file " + NullDevice)},
      {Packer, packs("huge", "out"), 1, Packs("EInputTooLarge", tooLarge)},
      {Packer, packs("deep", "out"), 1, Packs("ECodeTooLong", tooLong)},
      {Unpacker, {}, 0, help},
      {Unpacker, {"abc.hex", "out", "extra"}, 0, help},
      {Unpacker, {"abc.hex", "--help", "out"}, 0, help},
      {Unpacker, {"-h"}, 0, help},
      {Unpacker, {"--version", "-x"}, 0, "hex2plain " SARNVELD_VERSION "\r\n"},
      {Unpacker, {"abc.hex", "-x", "--help"}, 1, help + "Unknown option: -x\r\n"},
      {Unpacker, {"--", "-h", "out"}, 1, notFound},
      {Unpacker, {"abc.hex", ""}, 1, notFound},
      {Unpacker, {".", "out"}, 1, notFound},
      // The input as output, named as given.
      {Packer, packs("εικόνα", "./εικόνα"), 1, uncreated("./εικόνα")},
      {Unpacker, {"abc.hex", "./abc.hex"}, 1, refused},
      // Standard output as the output, or as the input: console text would spoil either.
      {Packer, packs("in", "console"), 1, uncreated("console"), {}, "console"},
      {Packer, packs("console", "out"), 1, uncreated("out"), {}, "console"},
      {Unpacker, {"bad.hex", "out"}, 1, Unpacks("EBadContainer", sum)},
      {Unpacker, {"bad.hex", "--json", "out"}, 1, jsonFailure},
      {Unpacker, {"abc.hex", "out"}, 0, abcSummary, {{"out", abc}}},
      {Unpacker, {"empty.hex", "out"}, 0, emptySummary, {{"out", {}}}},
      {Unpacker, {"names.hex", "-"}, 0, namesSummary, {{"-", Text("a")}}},
      {Unpacker, {"--json", "names.hex"}, 0, namesJson},
#ifndef _WIN32
      // Where arguments are bytes, any bytes are stored as given.
      {Packer, named("\xFF\xFE", "\x80"), 0, Ok, stored("\xFF\xFE", "\x80")},
      {Packer, packs(longIn, longLink), 0, Ok, {{longOut, container}}},
      {Packer, packs("in", "chain"), 0, Ok, packed},
      {Packer, packs("in", "in."), 1, uncreated("in.")},
      {"./alias", packs("missing", "out"), 1, invalid},
      // Room for the console text, not for the container; then for the banner, the container
      // and half of "Ok\r\n"; then a console that refuses every write.
      {Packer, packs("random", "link"), 1, Packs("EInOutError", limited), {}, "console", 4096},
      {Packer, packs("in", "out"), 1, PackerBanner + "Ok", packed, "console",
       std::ssize(PackerBanner) + 2},
      {Packer, packs("in", "out"), 1, "", {}, "/dev/full"},
      {Packer, packs("in", "/dev/full"), 1,
       Packs("EInOutError", "Cannot write file /dev/full: No space left on device")},
#else
      // A device name names the device in any folder; the console is a device that cannot be
      // read twice. The report names the program as its file is stored.
      {Packer, packs("-", "nul"), 0, Ok},
      {Packer, packs("CON", "out"), 1, Packs("EFOpenError", "Cannot open file CON")},
      {fs::path(Packer).replace_filename("SARNVELD2HEX.EXE").string(), packs("missing", "out"), 1,
       invalid},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(fs::path(c.Program).filename().string() + " " +
                 ::testing::PrintToString(c.Arguments));
    for (const auto& [name, bytes] : files)
      WriteWholeFile(name, bytes);
    fs::remove("other");
    fs::create_hard_link("out", "other");  // which keeps the old output when "out" is replaced
#ifndef _WIN32
    static_cast<void>(::chown("out", 1, 1));  // as root: another user's file, kept as theirs
#endif
    fs::permissions("out", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::set_gid);
    TState expected = CurrentState();
    const TRunResult result = RunProgram(c.Program, c.Arguments,
                                         {.AppendTo = c.Console, .FileSizeLimit = c.FileSizeLimit});
    EXPECT_EQ(result.ExitCode, c.ExitCode);
    for (const auto& [name, bytes] : c.Changed)
      expected.at(name).second = bytes;
    if (c.Console.empty())
      EXPECT_EQ(result.Output, c.Output);
    else if (expected.contains(c.Console))
      std::ranges::copy(c.Output, std::back_inserter(expected.at(c.Console).second));
    std::vector<std::pair<std::string, std::pair<long long, Bytes>>> differing;
    std::ranges::set_symmetric_difference(CurrentState(), expected, std::back_inserter(differing));
    EXPECT_EQ(differing, decltype(differing){});  // what is there, and what should be
  }
#ifndef _WIN32
  EXPECT_TRUE(fs::is_character_file(NullDevice) && fs::is_character_file("/dev/full"));
  // A console that is a pipe nobody reads fails the run as any console does: exit code 1.
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  const int status =
      std::system(("exec '" + Packer + "' in out - - >&" + std::to_string(ends[1])).c_str());
  ::close(ends[1]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
#endif
  fs::current_path(saved);
}

// 64-bit FNV-1a: a fingerprint of a container.
std::uint64_t Fingerprint(const Bytes& bytes) {
  std::uint64_t hash = 0xCBF29CE484222325;
  for (const std::uint8_t byte : bytes)
    hash = (hash ^ byte) * 0x100000001B3;
  return hash;
}

// Every bit of a container is fixed: these images pack to the bytes these fingerprints were
// taken from, on every platform and in every build, and unpack again. Several segments, codes
// of every length up to 32 bits, and paths in Greek and CJK, which Windows finds only when it
// takes them as UTF-8.
TEST(Containers, EveryPlatformWritesTheSameBytes) {
  TTempDir dir;
  const std::string in = dir / "εικόνα-映像.bin", hex = dir / "容器.hex", out = dir / "像.img";
  const struct {
    Bytes Image;
    std::uint64_t Fingerprint;
  } cases[] = {{{}, 0x5E2013F33B5829E3},
               {Text("A"), 0xC3445FB042FE4C79},
               {Bytes(3000000, 0xFF), 0x0D89D46171929602},
               {RandomBytes(3 << 20, 11, 0.05), 0x423D5C296B7521CD},
               {FlashImage(4 << 20), 0x89A99FAB9C03C845},
               {FibonacciImage(32), 0x278932C87445FC2B}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Image.size());
    WriteWholeFile(in, c.Image);
    EXPECT_EQ(RunProgram(Packer, {in, hex, "-", "-"}).Output, Ok);
    EXPECT_EQ(Fingerprint(ReadWholeFile(hex)), c.Fingerprint);
    EXPECT_EQ(RunProgram(Unpacker, {hex, out}).ExitCode, 0);
    EXPECT_TRUE(ReadWholeFile(out) == c.Image);
  }
}

}  // namespace
