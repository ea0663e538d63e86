#pragma once

// Ed25519 signatures of exchange files. A signature covers the exchange
// file's exact bytes and its name, and travels as one line of text in the
// archive comment:
//
//   QVSIG1 <key id: 16 lowercase hex digits> <signature: base64, 88 characters>
//
// The key id (KeyId) only tells which configured key to try. The Ed25519
// message is
//
//   "Quilvane exchange file signature 1" 0x00
//   length of the name (4 bytes, big-endian) || the name's bytes
//   SHA-256 of the file's bytes (32 bytes)
//
// so the file is read once, in blocks, and never held in memory. Every
// function may throw platform::Error when the crypto library cannot be
// initialised.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/signing_key.h"
#include "platform/crypto.h"

namespace quilvane::exchange {

inline constexpr std::size_t kFileDigestSize = platform::kSha256Size;
// Longest file name a signature covers.
inline constexpr std::size_t kMaxSignedNameLength = 1024;

using FileDigest = platform::Sha256Digest;

// SHA-256 of a file's bytes, fed in pieces, for a caller that already reads
// or writes those bytes in a pass of its own.
using FileHasher = platform::Sha256;

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
