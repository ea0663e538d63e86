#include "platform/crypto.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "platform/error.h"

namespace quilvane::platform {
namespace {

// libgcrypt must be set up once, before any other call, by the program (not
// a library): version check, no secure memory (it would need mlock rights
// the service may not have; secrets live only briefly in ordinary memory,
// wiped after use), then "initialization finished". Since 1.6 it is thread
// safe with no callbacks.
void InitCrypto() {
  static std::once_flag once;
  static const char* failure = nullptr;
  std::call_once(once, [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return;
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
      failure = "libgcrypt " GCRYPT_VERSION " or later is required";
      return;
    }
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
  if (failure != nullptr) throw Error(failure);
}

std::string GcryptMessage(const char* what, gcry_error_t err) {
  return std::string(what) + ": " + gcry_strerror(err);
}

// Owns a gcry_sexp_t.
class Sexp {
 public:
  Sexp() = default;
  explicit Sexp(gcry_sexp_t s) : s_(s) {}
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  ~Sexp() { gcry_sexp_release(s_); }
  gcry_sexp_t* out() { return &s_; }
  gcry_sexp_t get() const { return s_; }

 private:
  gcry_sexp_t s_ = nullptr;
};

// The bytes of the value of the token `name` inside `s`, left-padded with
// zeros to `size` (libgcrypt may drop leading zero bytes of a number). false
// when missing or longer than `size`.
bool TokenBytes(gcry_sexp_t s, const char* name, std::uint8_t* out, std::size_t size) {
  Sexp token(gcry_sexp_find_token(s, name, 0));
  if (token.get() == nullptr) return false;
  std::size_t len = 0;
  const char* data = gcry_sexp_nth_data(token.get(), 1, &len);
  if (data == nullptr || len > size) return false;
  std::memset(out, 0, size - len);
  std::memcpy(out + (size - len), data, len);
  return true;
}

Sexp PublicKeySexp(const Ed25519Key& key) {
  Sexp s;
  const gcry_error_t err =
      gcry_sexp_build(s.out(), nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(key.size()), key.data());
  if (err) throw Error(GcryptMessage("Ed25519 public key", err));
  return Sexp(std::exchange(*s.out(), nullptr));
}

Sexp MessageSexp(std::span<const std::uint8_t> message) {
  Sexp s;
  const gcry_error_t err =
      gcry_sexp_build(s.out(), nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(message.size()), message.data());
  if (err) throw Error(GcryptMessage("Ed25519 message", err));
  return Sexp(std::exchange(*s.out(), nullptr));
}

int GcryptAlgorithm(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kMd4:
      return GCRY_MD_MD4;
    case DigestAlgorithm::kMd5:
      return GCRY_MD_MD5;
    case DigestAlgorithm::kSha1:
      return GCRY_MD_SHA1;
    case DigestAlgorithm::kSha256:
      return GCRY_MD_SHA256;
    case DigestAlgorithm::kSha512:
      return GCRY_MD_SHA512;
  }
  return GCRY_MD_NONE;
}

gcry_md_hd_t OpenDigest(int algorithm, const char* name) {
  InitCrypto();
  gcry_md_hd_t h = nullptr;
  const gcry_error_t err = gcry_md_open(&h, algorithm, 0);
  if (err) throw Error(GcryptMessage(name, err));
  return h;
}

}  // namespace

void WipeBytes(void* data, std::size_t size) {
  volatile auto* b = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *b++ = 0;
}

std::vector<std::uint8_t> Digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> bytes) {
  const int algo = GcryptAlgorithm(algorithm);
  gcry_md_hd_t h = OpenDigest(algo, gcry_md_algo_name(algo));
  gcry_md_write(h, bytes.data(), bytes.size());
  const auto* digest = static_cast<const std::uint8_t*>(gcry_md_read(h, algo));
  std::vector<std::uint8_t> out(digest, digest + gcry_md_get_algo_dlen(algo));
  gcry_md_close(h);
  return out;
}

Sha256::Sha256() : handle_(OpenDigest(GCRY_MD_SHA256, "SHA-256")) {}

Sha256::Sha256(Sha256&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Sha256& Sha256::operator=(Sha256&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Sha256::~Sha256() {
  if (handle_ != nullptr) gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
}

void Sha256::Update(std::span<const std::uint8_t> bytes) {
  if (handle_ == nullptr) throw Error("SHA-256: hasher already finished");
  gcry_md_write(static_cast<gcry_md_hd_t>(handle_), bytes.data(), bytes.size());
}

void Sha256::Update(std::string_view bytes) {
  Update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

Sha256Digest Sha256::Finish() {
  if (handle_ == nullptr) throw Error("SHA-256: hasher already finished");
  auto h = static_cast<gcry_md_hd_t>(std::exchange(handle_, nullptr));
  Sha256Digest out;
  std::memcpy(out.data(), gcry_md_read(h, GCRY_MD_SHA256), out.size());
  gcry_md_close(h);
  return out;
}

void Ed25519Generate(Secret<Ed25519Key>& seed, Ed25519Key& public_key) {
  InitCrypto();
  Sexp params;
  gcry_error_t err =
      gcry_sexp_build(params.out(), nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))");
  if (err) throw Error(GcryptMessage("Ed25519 key generation", err));
  Sexp pair;
  err = gcry_pk_genkey(pair.out(), params.get());
  if (err) throw Error(GcryptMessage("Ed25519 key generation", err));
  Sexp secret(gcry_sexp_find_token(pair.get(), "private-key", 0));
  // The public point may come with the 0x40 prefix of its native form.
  std::array<std::uint8_t, kEd25519KeySize + 1> q{};
  if (secret.get() == nullptr ||
      !TokenBytes(secret.get(), "d", seed.get().data(), seed.get().size()) ||
      !TokenBytes(secret.get(), "q", q.data(), q.size()) || (q[0] != 0 && q[0] != 0x40)) {
    throw Error("Ed25519 key generation: unexpected key form");
  }
  std::copy(q.begin() + 1, q.end(), public_key.begin());
}

Ed25519Signature Ed25519Sign(const Ed25519Key& seed, const Ed25519Key& public_key,
                             std::span<const std::uint8_t> message) {
  InitCrypto();
  Sexp secret;
  gcry_error_t err = gcry_sexp_build(
      secret.out(), nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
      static_cast<int>(public_key.size()), public_key.data(), static_cast<int>(seed.size()),
      seed.data());
  if (err) throw Error(GcryptMessage("Ed25519 private key", err));
  const Sexp data = MessageSexp(message);
  Sexp sig;
  err = gcry_pk_sign(sig.out(), data.get(), secret.get());
  if (err) throw Error(GcryptMessage("Ed25519 signing", err));
  Ed25519Signature out;
  if (!TokenBytes(sig.get(), "r", out.data(), 32) ||
      !TokenBytes(sig.get(), "s", out.data() + 32, 32)) {
    throw Error("Ed25519 signing: unexpected signature form");
  }
  return out;
}

bool Ed25519Verify(const Ed25519Key& public_key, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t, kEd25519SignatureSize> signature) {
  InitCrypto();
  const Sexp key = PublicKeySexp(public_key);
  const Sexp data = MessageSexp(message);
  Sexp sig;
  const gcry_error_t err = gcry_sexp_build(sig.out(), nullptr, "(sig-val (eddsa (r %b) (s %b)))",
                                           32, signature.data(), 32, signature.data() + 32);
  if (err) throw Error(GcryptMessage("Ed25519 signature", err));
  // Any failure is "does not verify": a bad signature, and also a public key
  // that is no point of the curve.
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

}  // namespace quilvane::platform
