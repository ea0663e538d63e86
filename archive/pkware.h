#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

// The traditional PKWARE stream cipher: three 32-bit keys driven by CRC-32 and
// a linear congruential step. Pure computation over caller buffers, no I/O.
namespace quilvane::archive {

// One CRC-32 step (reflected polynomial 0xEDB88320) of byte `c` on `value`.
std::uint32_t UpdCRC(std::uint8_t c, std::uint32_t value);
// Runs the CRC-32 step over `bytes`, starting from the running `value`
// (0xFFFFFFFF for a fresh CRC; the final CRC is the complement).
std::uint32_t UpdateCRC32(std::span<const std::uint8_t> bytes, std::uint32_t value);

class PkwareKeys {
 public:
  // The keys after feeding every byte of `password` (used as raw bytes).
  explicit PkwareKeys(std::string_view password);

  // The next key-stream byte; the keys are unchanged.
  std::uint8_t StreamByte() const;
  // Feeds one plain-text byte to the keys.
  void Update(std::uint8_t plain);

  std::uint8_t EncryptByte(std::uint8_t plain);
  std::uint8_t DecryptByte(std::uint8_t cipher);
  // In place; the key state carries on from one call to the next.
  void Encrypt(std::span<std::uint8_t> bytes);
  void Decrypt(std::span<std::uint8_t> bytes);

  std::uint32_t key0() const { return k0_; }
  std::uint32_t key1() const { return k1_; }
  std::uint32_t key2() const { return k2_; }

 private:
  std::uint32_t k0_ = 0x12345678;
  std::uint32_t k1_ = 0x23456789;
  std::uint32_t k2_ = 0x34567890;
};

// Decrypts the 12-byte encryption header in place with fresh keys from
// `password` and returns the keys positioned for the data that follows.
PkwareKeys DecryptHeader(std::string_view password, std::span<std::uint8_t, 12> header);

// The general-purpose generator whose draws fill the encryption header:
// S := S * 134775813 + 1, a draw below N being the high half of S * N.
class HeaderRandom {
 public:
  explicit HeaderRandom(std::uint32_t seed = 0) : state_(seed) {}
  std::uint32_t Draw(std::uint32_t below);
  // New state from a 64-bit high-resolution counter value mixed with a draw
  // from the current state.
  void Reseed(std::uint64_t counter);
  std::uint32_t state() const { return state_; }

 private:
  std::uint32_t state_;
};

// The plain 12-byte header: ten random bytes, then bits 16-23 and 24-31 of
// the member's CRC-32 (byte 11 is what readers check the password with).
std::array<std::uint8_t, 12> MakeEncryptionHeader(HeaderRandom& random, std::uint32_t crc);

}  // namespace quilvane::archive
