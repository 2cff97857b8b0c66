#include "container/container.h"

#include <algorithm>
#include <string>

#include "base/errors.h"

namespace huff {

TContainerHeader NamedHeader(std::string_view nameId, std::string_view manufacturer) {
  TContainerHeader header;
  const auto copy = [](std::string_view name, std::array<std::uint8_t, NameFieldSize>& field,
                       const char* what) {
    // A zero would end the name early: the container would be one that no reader takes.
    if (name.find('\0') != std::string_view::npos)
      throw EError(std::string("Invalid argument: the ") + what + " holds a zero byte");
    // The last byte of the field always stays zero.
    const std::size_t count = std::min<std::size_t>(name.size(), NameFieldSize - 1);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(name.data()), count, field.begin());
  };
  copy(nameId, header.NameID, "NameID");
  copy(manufacturer, header.Manufacturer, "Manufacturer");
  return header;
}

std::array<std::uint8_t, HeaderSize> EncodeHeader(const TContainerHeader& header) {
  std::array<std::uint8_t, HeaderSize> bytes{};
  std::copy(header.NameID.begin(), header.NameID.end(), bytes.begin());
  std::copy(header.Manufacturer.begin(), header.Manufacturer.end(), bytes.begin() + 16);
  for (int i = 0; i < 4; ++i) {
    bytes[32 + i] = static_cast<std::uint8_t>(header.PayloadSize >> (8 * i));
    bytes[36 + i] = static_cast<std::uint8_t>(header.Checksum >> (8 * i));
  }
  return bytes;
}

TContainerHeader DecodeHeader(std::span<const std::uint8_t, HeaderSize> bytes) {
  TContainerHeader header;
  std::copy_n(bytes.begin(), NameFieldSize, header.NameID.begin());
  std::copy_n(bytes.begin() + 16, NameFieldSize, header.Manufacturer.begin());
  for (int i = 3; i >= 0; --i) {
    header.PayloadSize = header.PayloadSize << 8 | bytes[32 + i];
    header.Checksum = header.Checksum << 8 | bytes[36 + i];
  }
  return header;
}

}  // namespace huff
