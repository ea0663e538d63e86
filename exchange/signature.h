#pragma once

// Ed25519 signatures of exchange files, through libgcrypt.
//
// The head office holds a private key (the file Quilvane.key); each branch
// holds the public keys it trusts (`ChavePublica`). A signature covers the
// exchange file's exact bytes and its name, and travels as one line of text
// in the archive comment:
//
//   QVSIG1 <key id: 16 lowercase hex digits> <signature: base64, 88 characters>
//
// The key id is the first 8 bytes of SHA-256(public key); it only tells which
// configured key to try. The Ed25519 message is
//
//   "Quilvane exchange file signature 1" 0x00
//   length of the name (4 bytes, big-endian) || the name's bytes
//   SHA-256 of the file's bytes (32 bytes)
//
// so the file is read once, in blocks, and never held in memory. Every
// function may throw platform::Error when libgcrypt cannot be initialised.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quilvane::exchange {

inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSeedSize = 32;
inline constexpr std::size_t kSignatureSize = 64;
inline constexpr std::size_t kFileDigestSize = 32;
// Longest file name a signature covers.
inline constexpr std::size_t kMaxSignedNameLength = 1024;

using PublicKey = std::array<std::uint8_t, kPublicKeySize>;
using FileDigest = std::array<std::uint8_t, kFileDigestSize>;

// Standard base64 (RFC 4648 alphabet, '=' padding). Decoding is strict: no
// blanks or line breaks, length a multiple of 4, padding only at the end and
// unused bits zero, so every value has exactly one text. false when `text`
// is not such base64 (`out` then unspecified).
std::string EncodeBase64(std::span<const std::uint8_t> bytes);
bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out);

// The text of a public key for `ChavePublica=`: base64 of its 32 bytes.
std::string EncodePublicKey(const PublicKey& key);

// Parses the value of `ChavePublica`: one key, or several separated by
// commas, blanks (spaces, tabs) around each trimmed. An empty or blank value
// gives no key. Throws platform::Error naming the first bad entry by its
// position and text ("ChavePublica: key 2 'abc' is not base64" or "... has 31
// bytes, not 32"); an empty entry between commas is bad too.
std::vector<PublicKey> ParsePublicKeys(std::string_view value);

// The key id written in the comment: 16 lowercase hex digits.
std::string KeyId(const PublicKey& key);

// An Ed25519 private key: its 32-byte seed and its public key. The seed is
// wiped from memory when the object goes.
class PrivateKey {
 public:
  // A new key from libgcrypt's strongest random source.
  static PrivateKey Generate();
  // The key of a known seed and its public key (test vectors). Throws
  // platform::Error when the public key is not the seed's.
  static PrivateKey FromSeed(std::span<const std::uint8_t, kSeedSize> seed,
                             const PublicKey& public_key);
  // Parses the text of a key file (ToFileText). Throws platform::Error
  // "invalid key file: <what>" on any deviation, and when the public key
  // it holds is not the seed's.
  static PrivateKey FromFileText(std::string_view text);

  PrivateKey(const PrivateKey& other) = default;
  PrivateKey& operator=(const PrivateKey& other) = default;
  ~PrivateKey();

  const PublicKey& public_key() const { return public_key_; }

  // The key file's text, three lines ending in LF:
  //   QUILVANE-CHAVE-PRIVADA 1
  //   Semente=<base64 of the 32-byte seed>
  //   ChavePublica=<base64 of the public key>
  std::string ToFileText() const;

  // The Ed25519 signature of `message` (64 bytes).
  std::array<std::uint8_t, kSignatureSize> SignMessage(std::span<const std::uint8_t> message) const;

 private:
  PrivateKey() = default;

  std::array<std::uint8_t, kSeedSize> seed_{};
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

// SHA-256 of a file's bytes, fed in pieces, for a caller that already reads
// or writes those bytes in a pass of its own. Move-only.
class FileHasher {
 public:
  FileHasher();
  FileHasher(FileHasher&& other) noexcept;
  FileHasher& operator=(FileHasher&& other) noexcept;
  FileHasher(const FileHasher&) = delete;
  FileHasher& operator=(const FileHasher&) = delete;
  ~FileHasher();

  void Update(std::span<const std::uint8_t> bytes);
  void Update(std::string_view bytes);
  // The digest of everything fed; the hasher is spent afterwards.
  FileDigest Finish();

 private:
  void* handle_ = nullptr;  // gcry_md_hd_t
};

// SHA-256 of the file `path`, read in 1 MiB blocks. Throws
// platform::SystemError when the file cannot be read.
FileDigest DigestFile(const std::string& path);

// The message Ed25519 signs for a file called `name` with digest `digest`.
// Throws platform::Error when the name is empty or longer than
// kMaxSignedNameLength.
std::vector<std::uint8_t> SignedMessage(std::string_view name, const FileDigest& digest);

// The archive comment that signs the file `name` whose bytes hash to
// `digest`.
std::string SignatureComment(const PrivateKey& key, std::string_view name,
                             const FileDigest& digest);
// The same for the file at `path` (its bytes read once), signed under `name`
// (the file's name as it travels in the archive, without folders).
std::string SignFile(const PrivateKey& key, const std::string& path, std::string_view name);

// Whether an archive comment is one of ours ("QVSIG" and a version number,
// then a blank or the end): anything else is a foreign comment, read as no
// signature.
bool IsSignatureComment(std::string_view comment);

enum class Verdict {
  kValid,             // a configured key signed this name and these bytes
  kNoSignature,       // no comment, or a comment that is not ours
  kDamagedSignature,  // our comment, but not well formed (cut, bad base64, bad key id)
  kOtherVersion,      // our comment, of a format version this program does not know
  kUnknownKey,        // signed by a key that is not configured
  kAlteredFile,       // a configured key's id, but the signature does not hold
};

struct Verification {
  Verdict verdict = Verdict::kNoSignature;
  // Index in the keys of the one that verified (kValid only).
  std::size_t key_index = 0;

  bool ok() const { return verdict == Verdict::kValid; }
};

// The reason for the log line "Arquivo de sincronização sem assinatura
// válida: <reason>": "sem assinatura", "assinatura danificada", "versão de
// assinatura desconhecida", "chave desconhecida", "arquivo alterado"
// ("válida" for kValid). UTF-8.
const char* VerdictReason(Verdict verdict);

// Checks the archive comment `comment` against the file `name` with digest
// `digest` and the configured `keys`. Trailing CR, LF and blanks of the
// comment are ignored. With no keys every signed comment is kUnknownKey.
Verification VerifySignature(std::string_view comment, std::string_view name,
                             const FileDigest& digest, std::span<const PublicKey> keys);
// The same for the file at `path` (its bytes read once; throws
// platform::SystemError when it cannot be read).
Verification VerifyFile(std::string_view comment, const std::string& path, std::string_view name,
                        std::span<const PublicKey> keys);

}  // namespace quilvane::exchange
