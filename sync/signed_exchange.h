#pragma once

// Signed exchange files: the head office signs the file it packs when its
// key file is beside the program; a branch with `ChavePublica` applies only
// a file whose archive comment signs it under one of those keys.

#include <future>
#include <optional>
#include <string>
#include <vector>

#include "exchange/signature.h"
#include "platform/error.h"
#include "sync/site_files.h"

namespace quilvane::sync {

// A file the branch must not apply: "Arquivo de sincronização sem
// assinatura válida: <reason>".
class InvalidSignatureError : public platform::Error {
 public:
  explicit InvalidSignatureError(const std::string& reason);
};

// The keys of the `ChavePublica` value `chave_publica`; none when it is
// blank. A value that does not parse throws InvalidSignatureError with the
// parse error as the reason: a typo must never turn the check off.
std::vector<exchange::PublicKey> TrustedKeys(const std::string& chave_publica);

// The check of one exchange file's signature, run alongside the import's
// first pass: the constructor starts hashing the file on a thread of its
// own (only when `comment` is one of ours: there is nothing to verify
// otherwise); Require() waits for the hash and throws InvalidSignatureError
// unless `comment` signs the file under `name` with one of `keys`. No
// comment at all (a bare exchange file, not unpacked from an archive) is
// "sem assinatura". The destructor waits for the hash.
class SignatureCheck {
 public:
  SignatureCheck(const std::string& path, std::string name, std::optional<std::string> comment,
                 std::vector<exchange::PublicKey> keys);
  SignatureCheck(const SignatureCheck&) = delete;
  SignatureCheck& operator=(const SignatureCheck&) = delete;
  ~SignatureCheck();

  void Require();

 private:
  std::string name_;
  std::string comment_;
  std::vector<exchange::PublicKey> keys_;
  std::future<exchange::FileDigest> digest_;
};

// The comment that signs the file at `path` (its name without folders is
// the name signed) with the key file `key_file`, hashed on a thread of its
// own while the caller packs: the constructor loads the key and starts the
// hash, Comment() waits for it. Throws platform::Error for a key file that cannot
// be read or a file that cannot be hashed.
class PendingSignature {
 public:
  PendingSignature(const std::string& key_file, const std::string& path);
  PendingSignature(const PendingSignature&) = delete;
  PendingSignature& operator=(const PendingSignature&) = delete;
  ~PendingSignature();

  std::string Comment();

 private:
  exchange::PrivateKey key_;
  std::string name_;
  std::future<exchange::FileDigest> digest_;
};

}  // namespace quilvane::sync
