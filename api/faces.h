// What the two faces of the library share: the C++ face (sarnveld_cxx.cpp) holds every run,
// and the C face (sarnveld.cpp) calls it, with memory from malloc for the results of its
// memory functions. Not installed.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/stream.h"
#include "sarnveld.hpp"

namespace sarnveld::internal {

// The name that messages give a buffer: "File memory is too large: ...".
extern const std::string MemoryName;

// A stream that only one side of a pass uses: the rest of the interface is never called.
class TOneWayStream : public huff::TStream {
 public:
  std::size_t Read(std::span<std::uint8_t> data) override;
  std::size_t ReadAt(std::uint64_t, std::span<std::uint8_t>) override { return Unused(); }
  void Write(std::span<const std::uint8_t> data) override;
  void WriteAt(std::uint64_t, std::span<const std::uint8_t>) override { Unused(); }
  void Rewind() override { Position = 0; }
  void Close() override {}
  void Abandon() noexcept override {}
  const std::string& Name() const noexcept override { return MemoryName; }

 private:
  static std::size_t Unused();
  std::uint64_t Position = 0;
};

// Pack and Unpack, writing to any stream that grows as it is written (the pack run owns its
// output while it runs).
void PackInto(std::span<const std::uint8_t> image, std::string_view nameId,
              std::string_view manufacturer, std::unique_ptr<huff::TStream> container);
Summary UnpackInto(std::span<const std::uint8_t> container, huff::TStream& image);

}  // namespace sarnveld::internal
