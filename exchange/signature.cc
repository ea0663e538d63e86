#include "exchange/signature.h"

#include <algorithm>

#include "exchange/base64.h"
#include "platform/error.h"
#include "platform/file.h"

namespace quilvane::exchange {
namespace {

constexpr char kMessagePrefix[] = "Quilvane exchange file signature 1";  // and its NUL
constexpr std::string_view kCommentMarker = "QVSIG";
constexpr std::string_view kCommentVersion = "1";
constexpr std::size_t kReadBlock = 1 << 20;

}  // namespace

FileDigest DigestFile(const std::string& path) {
  platform::File file(path, platform::File::Mode::kRead);
  std::vector<std::uint8_t> block(kReadBlock);
  FileHasher hasher;
  while (const std::size_t n = file.Read(std::span(block))) {
    hasher.Update(std::span(block).first(n));
  }
  return hasher.Finish();
}

std::vector<std::uint8_t> SignedMessage(std::string_view name, const FileDigest& digest) {
  if (name.empty() || name.size() > kMaxSignedNameLength) {
    throw platform::Error("signed file name must have 1 to " +
                          std::to_string(kMaxSignedNameLength) + " bytes");
  }
  std::vector<std::uint8_t> m(kMessagePrefix, kMessagePrefix + sizeof kMessagePrefix);
  const auto n = static_cast<std::uint32_t>(name.size());
  for (int shift = 24; shift >= 0; shift -= 8) m.push_back(static_cast<std::uint8_t>(n >> shift));
  m.insert(m.end(), name.begin(), name.end());
  m.insert(m.end(), digest.begin(), digest.end());
  return m;
}

std::string SignatureComment(const PrivateKey& key, std::string_view name,
                             const FileDigest& digest) {
  const auto sig = key.SignMessage(SignedMessage(name, digest));
  std::string comment(kCommentMarker);
  comment += kCommentVersion;
  comment += ' ';
  comment += KeyId(key.public_key());
  comment += ' ';
  comment += EncodeBase64(sig);
  return comment;
}

std::string SignFile(const PrivateKey& key, const std::string& path, std::string_view name) {
  return SignatureComment(key, name, DigestFile(path));
}

namespace {

// Trailing line breaks and blanks, which a tool may add, are not part of it.
std::string_view TrimComment(std::string_view comment) {
  return comment.substr(0, comment.find_last_not_of(" \t\r\n") + 1);
}

// The version digits of one of our comments ("QVSIG<digits>", then a blank
// or its end); empty when the comment is not ours.
std::string_view CommentVersion(std::string_view comment) {
  if (comment.substr(0, kCommentMarker.size()) != kCommentMarker) return {};
  std::size_t i = kCommentMarker.size();
  while (i < comment.size() && i < kCommentMarker.size() + 4 && comment[i] >= '0' &&
         comment[i] <= '9') {
    ++i;
  }
  if (i == kCommentMarker.size() || (i < comment.size() && comment[i] != ' ')) return {};
  return comment.substr(kCommentMarker.size(), i - kCommentMarker.size());
}

bool IsKeyId(std::string_view s) {
  return s.size() == kKeyIdLength && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

}  // namespace

bool IsSignatureComment(std::string_view comment) {
  return !CommentVersion(TrimComment(comment)).empty();
}

const char* VerdictReason(Verdict verdict) {
  switch (verdict) {
    case Verdict::kValid:
      return "válida";
    case Verdict::kNoSignature:
      return "sem assinatura";
    case Verdict::kDamagedSignature:
      return "assinatura danificada";
    case Verdict::kOtherVersion:
      return "versão de assinatura desconhecida";
    case Verdict::kUnknownKey:
      return "chave desconhecida";
    case Verdict::kAlteredFile:
      return "arquivo alterado";
  }
  return "?";
}

Verification VerifySignature(std::string_view comment, std::string_view name,
                             const FileDigest& digest, std::span<const PublicKey> keys) {
  comment = TrimComment(comment);
  const std::string_view version = CommentVersion(comment);
  if (version.empty()) return {Verdict::kNoSignature};
  if (version != kCommentVersion) return {Verdict::kOtherVersion};
  const std::size_t fields = kCommentMarker.size() + version.size() + 1;
  if (comment.size() < fields) return {Verdict::kDamagedSignature};
  const std::string_view rest = comment.substr(fields);
  const std::size_t blank = rest.find(' ');
  if (blank == std::string_view::npos) return {Verdict::kDamagedSignature};
  const std::string_view key_id = rest.substr(0, blank);
  std::vector<std::uint8_t> sig;
  if (!IsKeyId(key_id) || !DecodeBase64(rest.substr(blank + 1), sig) ||
      sig.size() != kSignatureSize) {
    return {Verdict::kDamagedSignature};
  }
  const std::vector<std::uint8_t> message = SignedMessage(name, digest);
  bool known = false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (KeyId(keys[i]) != key_id) continue;
    known = true;
    if (VerifyMessage(keys[i], message, std::span<const std::uint8_t, kSignatureSize>(sig))) {
      return {Verdict::kValid, i};
    }
  }
  return {known ? Verdict::kAlteredFile : Verdict::kUnknownKey};
}

Verification VerifyFile(std::string_view comment, const std::string& path, std::string_view name,
                        std::span<const PublicKey> keys) {
  // No comment of ours: the file need not be read.
  if (!IsSignatureComment(comment)) return {Verdict::kNoSignature};
  return VerifySignature(comment, name, DigestFile(path), keys);
}

}  // namespace quilvane::exchange
