#include "container/container.h"

#include <algorithm>

namespace huff {
namespace {

void StoreU32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t LoadU32(const std::uint8_t* in) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | in[i];
  return value;
}

void CopyName(std::array<std::uint8_t, NameFieldSize>& field, std::string_view name) {
  // The last byte of the field always stays zero.
  const std::size_t count = std::min<std::size_t>(name.size(), NameFieldSize - 1);
  std::copy_n(reinterpret_cast<const std::uint8_t*>(name.data()), count, field.begin());
}

}  // namespace

TContainerHeader NamedHeader(std::string_view nameId, std::string_view manufacturer) {
  TContainerHeader header;
  CopyName(header.NameID, nameId);
  CopyName(header.Manufacturer, manufacturer);
  return header;
}

std::array<std::uint8_t, HeaderSize> EncodeHeader(const TContainerHeader& header) {
  std::array<std::uint8_t, HeaderSize> bytes{};
  std::copy(header.NameID.begin(), header.NameID.end(), bytes.begin());
  std::copy(header.Manufacturer.begin(), header.Manufacturer.end(), bytes.begin() + 16);
  StoreU32(bytes.data() + 32, header.PayloadSize);
  StoreU32(bytes.data() + 36, header.Checksum);
  return bytes;
}

TContainerHeader DecodeHeader(std::span<const std::uint8_t, HeaderSize> bytes) {
  TContainerHeader header;
  std::copy_n(bytes.begin(), NameFieldSize, header.NameID.begin());
  std::copy_n(bytes.begin() + 16, NameFieldSize, header.Manufacturer.begin());
  header.PayloadSize = LoadU32(bytes.data() + 32);
  header.Checksum = LoadU32(bytes.data() + 36);
  return header;
}

}  // namespace huff
