#pragma once

// The cryptography the system calls, through libgcrypt (crypto_gcrypt.cc is
// the only file that includes its header): digests, Ed25519, and the wipe
// that secrets get when they go. Every function may throw platform::Error
// when the library cannot be initialised.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace quilvane::platform {

// Overwrites `size` bytes at `data` with zeros, in a way the compiler keeps
// even when the memory is never read again.
void WipeBytes(void* data, std::size_t size);

// Secret bytes (a private key's seed, a key file's text) that are wiped when
// the object goes. `Bytes` is std::string, std::vector<std::uint8_t> or
// std::array<std::uint8_t, N>. A string or vector is taken over by move, so
// its buffer changes hands and no copy stays behind; an array is filled in
// place through get(). Each copy made of a Secret is wiped on its own.
template <typename Bytes>
class Secret {
 public:
  Secret() = default;
  explicit Secret(Bytes&& bytes) : bytes_(std::move(bytes)) {}
  Secret(const Secret& other) = default;
  Secret& operator=(const Secret& other) {
    if (this != &other) {
      Wipe();
      bytes_ = other.bytes_;
    }
    return *this;
  }
  ~Secret() { Wipe(); }

  Bytes& get() { return bytes_; }
  const Bytes& get() const { return bytes_; }

 private:
  void Wipe() { WipeBytes(bytes_.data(), bytes_.size() * sizeof bytes_[0]); }

  Bytes bytes_{};
};

enum class DigestAlgorithm { kMd4, kMd5, kSha1, kSha256, kSha512 };

// The digest of `bytes` (16 bytes for MD4 and MD5, 20 for SHA-1, 32 for
// SHA-256, 64 for SHA-512).
std::vector<std::uint8_t> Digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> bytes);

inline constexpr std::size_t kSha256Size = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256Size>;

// SHA-256 of bytes fed in pieces. Move-only.
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&& other) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void Update(std::span<const std::uint8_t> bytes);
  void Update(std::string_view bytes);
  // The digest of everything fed; the object is spent afterwards (Update
  // and Finish then throw platform::Error).
  Sha256Digest Finish();

 private:
  void* handle_ = nullptr;  // gcry_md_hd_t
};

inline constexpr std::size_t kEd25519KeySize = 32;
inline constexpr std::size_t kEd25519SignatureSize = 64;
using Ed25519Key = std::array<std::uint8_t, kEd25519KeySize>;
using Ed25519Signature = std::array<std::uint8_t, kEd25519SignatureSize>;

// A new key pair from the library's strongest random source: the 32-byte
// seed into `seed`, its public key into `public_key`.
void Ed25519Generate(Secret<Ed25519Key>& seed, Ed25519Key& public_key);

// The Ed25519 signature of `message` by the key of `seed`, whose public key
// is `public_key` (not checked here: a wrong one gives a signature that
// does not verify).
Ed25519Signature Ed25519Sign(const Ed25519Key& seed, const Ed25519Key& public_key,
                             std::span<const std::uint8_t> message);

// Whether `signature` of `message` verifies under `public_key`; false also
// for a public key that is no point of the curve.
bool Ed25519Verify(const Ed25519Key& public_key, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t, kEd25519SignatureSize> signature);

}  // namespace quilvane::platform
