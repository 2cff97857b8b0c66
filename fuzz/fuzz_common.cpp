#include "fuzz_common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

void Fault(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

Bytes Repeated(std::span<const std::uint8_t> pattern, std::size_t size) {
  Bytes bytes(pattern.empty() ? 0 : size);
  std::size_t done = std::min(pattern.size(), bytes.size());
  std::copy_n(pattern.begin(), done, bytes.begin());
  // Whole patterns so far: copying them goes on with the pattern, in ever larger copies (a byte
  // at a time took a twentieth of a run).
  for (std::size_t count; done < bytes.size(); done += count) {
    count = std::min(done, bytes.size() - done);
    std::copy_n(bytes.begin(), count, bytes.begin() + static_cast<std::ptrdiff_t>(done));
  }
  return bytes;
}

}  // namespace fuzz
