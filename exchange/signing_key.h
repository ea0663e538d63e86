#pragma once

// The keys of exchange-file signatures (Ed25519). The head office holds a
// private key (the file Quilvane.key); each branch holds the public keys it
// trusts (`ChavePublica`). Every function may throw platform::Error when the
// crypto library cannot be initialised.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"

namespace quilvane::exchange {

inline constexpr std::size_t kPublicKeySize = platform::kEd25519KeySize;
inline constexpr std::size_t kSeedSize = platform::kEd25519KeySize;
inline constexpr std::size_t kSignatureSize = platform::kEd25519SignatureSize;
// The key id's length in hex digits: the first 8 bytes of SHA-256(public key).
inline constexpr std::size_t kKeyIdLength = 16;

using PublicKey = platform::Ed25519Key;

// The text of a public key for `ChavePublica=`: base64 of its 32 bytes.
std::string EncodePublicKey(const PublicKey& key);

// Parses the value of `ChavePublica`: one key, or several separated by
// commas, blanks (spaces, tabs) around each trimmed. An empty or blank value
// gives no key. Throws platform::Error naming the first bad entry by its
// position and text ("ChavePublica: key 2 'abc' is not base64" or "... has 31
// bytes, not 32"); an empty entry between commas is bad too.
std::vector<PublicKey> ParsePublicKeys(std::string_view value);

// The key id written in a signature: 16 lowercase hex digits. It only tells
// which configured key to try.
std::string KeyId(const PublicKey& key);

// An Ed25519 private key: its 32-byte seed and its public key. The seed is
// wiped from memory when the object (or any copy of it) goes.
class PrivateKey {
 public:
  // A new key from the crypto library's strongest random source.
  static PrivateKey Generate();
  // The key of a known seed and its public key (test vectors). Throws
  // platform::Error when the public key is not the seed's.
  static PrivateKey FromSeed(std::span<const std::uint8_t, kSeedSize> seed,
                             const PublicKey& public_key);
  // Parses the text of a key file (ToFileText). Throws platform::Error
  // "invalid key file: <what>" on any deviation, and when the public key
  // it holds is not the seed's.
  static PrivateKey FromFileText(std::string_view text);

  const PublicKey& public_key() const { return public_key_; }

  // The key file's text, three lines ending in LF:
  //   QUILVANE-CHAVE-PRIVADA 1
  //   Semente=<base64 of the 32-byte seed>
  //   ChavePublica=<base64 of the public key>
  // It holds the seed: keep it in a platform::Secret.
  std::string ToFileText() const;

  // The Ed25519 signature of `message` (64 bytes).
  std::array<std::uint8_t, kSignatureSize> SignMessage(std::span<const std::uint8_t> message) const;

 private:
  PrivateKey() = default;

  platform::Secret<std::array<std::uint8_t, kSeedSize>> seed_;
  PublicKey public_key_{};
};

// Creates the key file `path` (readable by its owner only) holding a new key
// and returns the key. Never overwrites: throws platform::FileExistsError
// when `path` exists, leaving it untouched; platform::SystemError when it
// cannot be written.
PrivateKey GenerateKeyFile(const std::string& path);

// Reads and checks the key file `path`. Throws platform::Error "<path>: ..."
// when it cannot be read or is not a valid key file (files over 4 KiB are
// refused unread), and platform::ExposedFileError when others than its
// owner may read it.
PrivateKey LoadKeyFile(const std::string& path);

// Whether Ed25519 verifies `signature` of `message` under `key`.
bool VerifyMessage(const PublicKey& key, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t, kSignatureSize> signature);

}  // namespace quilvane::exchange
