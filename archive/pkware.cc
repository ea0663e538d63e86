#include "archive/pkware.h"

#include <zlib.h>

namespace quilvane::archive {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

std::uint32_t UpdCRC(std::uint8_t c, std::uint32_t value) {
  return kCrcTable[(value ^ c) & 0xFF] ^ (value >> 8);
}

std::uint32_t UpdateCRC32(std::span<const std::uint8_t> bytes, std::uint32_t value) {
  // zlib's crc32 is the same function on pre- and post-complemented values,
  // and several times faster than the byte-wise table.
  std::uint32_t crc = ~value;
  while (!bytes.empty()) {
    const size_t n = bytes.size() > 0x40000000u ? 0x40000000u : bytes.size();
    crc = static_cast<std::uint32_t>(::crc32(crc, bytes.data(), static_cast<uInt>(n)));
    bytes = bytes.subspan(n);
  }
  return ~crc;
}

PkwareKeys::PkwareKeys(std::string_view password) {
  for (char c : password) Update(static_cast<std::uint8_t>(c));
}

std::uint8_t PkwareKeys::StreamByte() const {
  const std::uint32_t t = (k2_ | 2) & 0xFFFF;
  return static_cast<std::uint8_t>((t * (t ^ 1)) >> 8);
}

void PkwareKeys::Update(std::uint8_t plain) {
  k0_ = UpdCRC(plain, k0_);
  k1_ = (k1_ + (k0_ & 0xFF)) * 134775813u + 1;
  k2_ = UpdCRC(static_cast<std::uint8_t>(k1_ >> 24), k2_);
}

std::uint8_t PkwareKeys::EncryptByte(std::uint8_t plain) {
  const std::uint8_t out = plain ^ StreamByte();
  Update(plain);
  return out;
}

std::uint8_t PkwareKeys::DecryptByte(std::uint8_t cipher) {
  const std::uint8_t plain = cipher ^ StreamByte();
  Update(plain);
  return plain;
}

void PkwareKeys::Encrypt(std::span<std::uint8_t> bytes) {
  for (auto& b : bytes) b = EncryptByte(b);
}

void PkwareKeys::Decrypt(std::span<std::uint8_t> bytes) {
  for (auto& b : bytes) b = DecryptByte(b);
}

PkwareKeys DecryptHeader(std::string_view password, std::span<std::uint8_t, 12> header) {
  PkwareKeys keys(password);
  keys.Decrypt(header);
  return keys;
}

std::uint32_t HeaderRandom::Draw(std::uint32_t below) {
  state_ = state_ * 134775813u + 1;
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(state_) * below) >> 32);
}

void HeaderRandom::Reseed(std::uint64_t counter) {
  const std::uint32_t draw = Draw(0x7FFFFFFF);
  state_ = static_cast<std::uint32_t>(counter) ^ static_cast<std::uint32_t>(counter >> 32) ^ draw;
}

std::array<std::uint8_t, 12> MakeEncryptionHeader(HeaderRandom& random, std::uint32_t crc) {
  std::array<std::uint8_t, 12> header{};
  for (int i = 0; i < 10; ++i) header[i] = static_cast<std::uint8_t>(random.Draw(0x7FFFFFFF));
  header[10] = static_cast<std::uint8_t>(crc >> 16);
  header[11] = static_cast<std::uint8_t>(crc >> 24);
  return header;
}

}  // namespace quilvane::archive
