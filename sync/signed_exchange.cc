#include "sync/signed_exchange.h"

#include <utility>

#include "platform/path.h"

namespace quilvane::sync {
namespace {

std::future<exchange::FileDigest> StartDigest(const std::string& path) {
  return std::async(std::launch::async, [path] { return exchange::DigestFile(path); });
}

void Wait(std::future<exchange::FileDigest>& digest) {
  if (digest.valid()) digest.wait();
}

}  // namespace

InvalidSignatureError::InvalidSignatureError(const std::string& reason)
    : platform::Error("Arquivo de sincronização sem assinatura válida: " + reason) {}

std::vector<exchange::PublicKey> TrustedKeys(const std::string& chave_publica) {
  try {
    return exchange::ParsePublicKeys(chave_publica);
  } catch (const platform::Error& e) {
    throw InvalidSignatureError(e.what());
  }
}

SignatureCheck::SignatureCheck(const std::string& path, std::string name,
                               std::optional<std::string> comment,
                               std::vector<exchange::PublicKey> keys)
    : name_(std::move(name)), comment_(comment.value_or("")), keys_(std::move(keys)) {
  if (exchange::IsSignatureComment(comment_)) digest_ = StartDigest(path);
}

SignatureCheck::~SignatureCheck() { Wait(digest_); }

void SignatureCheck::Require() {
  // Without a comment of ours the verdict needs no digest.
  const exchange::FileDigest digest = digest_.valid() ? digest_.get() : exchange::FileDigest{};
  const exchange::Verification v = exchange::VerifySignature(comment_, name_, digest, keys_);
  if (!v.ok()) throw InvalidSignatureError(exchange::VerdictReason(v.verdict));
}

PendingSignature::PendingSignature(const std::string& key_file, const std::string& path)
    : key_(exchange::LoadKeyFile(key_file)), name_(platform::FileNameOf(path)) {
  digest_ = StartDigest(path);
}

PendingSignature::~PendingSignature() { Wait(digest_); }

std::string PendingSignature::Comment() {
  return exchange::SignatureComment(key_, name_, digest_.get());
}

}  // namespace quilvane::sync
