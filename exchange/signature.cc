#include "exchange/signature.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/private_file.h"

namespace quilvane::exchange {
namespace {

constexpr char kMessagePrefix[] = "Quilvane exchange file signature 1";  // and its NUL
constexpr std::string_view kCommentMarker = "QVSIG";
constexpr std::string_view kCommentVersion = "1";
constexpr std::size_t kKeyIdBytes = 8;
constexpr std::string_view kKeyFileHeader = "QUILVANE-CHAVE-PRIVADA 1";
constexpr std::string_view kKeyFileSeed = "Semente=";
constexpr std::string_view kKeyFilePublic = "ChavePublica=";
constexpr std::size_t kMaxKeyFileSize = 4096;
constexpr std::size_t kReadBlock = 1 << 20;

// libgcrypt must be set up once, before any other call, by the program (not
// a library): version check, no secure memory (it would need mlock rights
// the service may not have; the seed lives only briefly in ordinary memory,
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
  if (failure != nullptr) throw platform::Error(failure);
}

void Wipe(void* p, std::size_t n) {
  volatile auto* b = static_cast<volatile unsigned char*>(p);
  while (n-- > 0) *b++ = 0;
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

Sexp PublicKeySexp(const PublicKey& key) {
  Sexp s;
  const gcry_error_t err =
      gcry_sexp_build(s.out(), nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(key.size()), key.data());
  if (err) throw platform::Error(GcryptMessage("Ed25519 public key", err));
  return Sexp(std::exchange(*s.out(), nullptr));
}

Sexp MessageSexp(std::span<const std::uint8_t> message) {
  Sexp s;
  const gcry_error_t err =
      gcry_sexp_build(s.out(), nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(message.size()), message.data());
  if (err) throw platform::Error(GcryptMessage("Ed25519 message", err));
  return Sexp(std::exchange(*s.out(), nullptr));
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string_view Trim(std::string_view s, std::string_view blanks) {
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

// An entry of the user's text, cut so a pasted novel does not fill the log.
std::string Quote(std::string_view s) {
  constexpr std::size_t kMax = 60;
  return "'" + std::string(s.substr(0, kMax)) + (s.size() > kMax ? "...'" : "'");
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

const std::array<std::uint8_t, 18> kProbe = {'Q', 'u', 'i', 'l', 'v', 'a', 'n', 'e', ' ',
                                             'k', 'e', 'y', ' ', 'c', 'h', 'e', 'c', 'k'};

}  // namespace

std::string EncodeBase64(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    const std::uint32_t v = (bytes[i] << 16) | (rest == 2 ? bytes[i + 1] << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;  // a digit after '='
      v[k] = Base64Value(c);
      if (v[k] < 0) return false;
    }
    const std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    // The bits the padding leaves unused must be zero: one text per value.
    if ((pad == 1 && (n & 0xFF) != 0) || (pad == 2 && (n & 0xFFFF) != 0)) return false;
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(n >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(n));
  }
  return true;
}

std::string EncodePublicKey(const PublicKey& key) { return EncodeBase64(key); }

std::vector<PublicKey> ParsePublicKeys(std::string_view value) {
  constexpr std::string_view kBlanks = " \t";
  std::vector<PublicKey> keys;
  if (Trim(value, kBlanks).empty()) return keys;
  std::size_t start = 0;
  for (int n = 1;; ++n) {
    const std::size_t comma = value.find(',', start);
    const std::string_view entry = Trim(
        value.substr(start, comma == std::string_view::npos ? value.npos : comma - start), kBlanks);
    const std::string where = "ChavePublica: key " + std::to_string(n);
    if (entry.empty()) throw platform::Error(where + " is empty");
    std::vector<std::uint8_t> bytes;
    if (!DecodeBase64(entry, bytes)) {
      throw platform::Error(where + " " + Quote(entry) + " is not base64");
    }
    if (bytes.size() != kPublicKeySize) {
      throw platform::Error(where + " " + Quote(entry) + " has " + std::to_string(bytes.size()) +
                            " bytes, not " + std::to_string(kPublicKeySize));
    }
    PublicKey key;
    std::copy(bytes.begin(), bytes.end(), key.begin());
    keys.push_back(key);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return keys;
}

std::string KeyId(const PublicKey& key) {
  InitCrypto();
  std::array<std::uint8_t, 32> h;
  gcry_md_hash_buffer(GCRY_MD_SHA256, h.data(), key.data(), key.size());
  return ToHex(std::span(h).first(kKeyIdBytes));
}

// --- Private key ------------------------------------------------------------

PrivateKey::~PrivateKey() { Wipe(seed_.data(), seed_.size()); }

PrivateKey PrivateKey::Generate() {
  InitCrypto();
  Sexp params;
  gcry_error_t err =
      gcry_sexp_build(params.out(), nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))");
  if (err) throw platform::Error(GcryptMessage("Ed25519 key generation", err));
  Sexp pair;
  err = gcry_pk_genkey(pair.out(), params.get());
  if (err) throw platform::Error(GcryptMessage("Ed25519 key generation", err));
  Sexp secret(gcry_sexp_find_token(pair.get(), "private-key", 0));
  PrivateKey key;
  // The public point may come with the 0x40 prefix of its native form.
  std::array<std::uint8_t, kPublicKeySize + 1> q{};
  if (secret.get() == nullptr || !TokenBytes(secret.get(), "d", key.seed_.data(), kSeedSize) ||
      !TokenBytes(secret.get(), "q", q.data(), q.size()) || (q[0] != 0 && q[0] != 0x40)) {
    throw platform::Error("Ed25519 key generation: unexpected key form");
  }
  std::copy(q.begin() + 1, q.end(), key.public_key_.begin());
  Wipe(q.data(), q.size());
  return FromSeed(key.seed_, key.public_key_);
}

PrivateKey PrivateKey::FromSeed(std::span<const std::uint8_t, kSeedSize> seed,
                                const PublicKey& public_key) {
  InitCrypto();
  PrivateKey key;
  std::copy(seed.begin(), seed.end(), key.seed_.begin());
  key.public_key_ = public_key;
  // A seed and a public key that do not belong together would sign files no
  // branch accepts: refuse them now.
  if (!VerifyMessage(public_key, kProbe, key.SignMessage(kProbe))) {
    throw platform::Error("the public key is not the private key's");
  }
  return key;
}

std::array<std::uint8_t, kSignatureSize> PrivateKey::SignMessage(
    std::span<const std::uint8_t> message) const {
  InitCrypto();
  Sexp secret;
  gcry_error_t err = gcry_sexp_build(
      secret.out(), nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
      static_cast<int>(public_key_.size()), public_key_.data(), static_cast<int>(seed_.size()),
      seed_.data());
  if (err) throw platform::Error(GcryptMessage("Ed25519 private key", err));
  const Sexp data = MessageSexp(message);
  Sexp sig;
  err = gcry_pk_sign(sig.out(), data.get(), secret.get());
  if (err) throw platform::Error(GcryptMessage("Ed25519 signing", err));
  std::array<std::uint8_t, kSignatureSize> out;
  if (!TokenBytes(sig.get(), "r", out.data(), 32) ||
      !TokenBytes(sig.get(), "s", out.data() + 32, 32)) {
    throw platform::Error("Ed25519 signing: unexpected signature form");
  }
  return out;
}

std::string PrivateKey::ToFileText() const {
  std::string text(kKeyFileHeader);
  text += '\n';
  text += kKeyFileSeed;
  text += EncodeBase64(seed_);
  text += '\n';
  text += kKeyFilePublic;
  text += EncodePublicKey(public_key_);
  text += '\n';
  return text;
}

PrivateKey PrivateKey::FromFileText(std::string_view text) {
  auto bad = [](const std::string& what) { return platform::Error("invalid key file: " + what); };
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
  }
  // The header's last word is the format's version.
  const std::string_view kind = kKeyFileHeader.substr(0, kKeyFileHeader.rfind(' ') + 1);
  if (lines.empty() || lines[0].substr(0, kind.size()) != kind) {
    throw bad("first line is not '" + std::string(kKeyFileHeader) + "'");
  }
  if (lines[0] != kKeyFileHeader) throw bad("unknown version " + Quote(lines[0]));
  if (lines.size() != 3) throw bad("3 lines expected, found " + std::to_string(lines.size()));
  auto field = [&](std::string_view line, std::string_view name, std::size_t size) {
    std::vector<std::uint8_t> bytes;
    if (line.substr(0, name.size()) != name) throw bad("line '" + std::string(name) + "' missing");
    if (!DecodeBase64(line.substr(name.size()), bytes) || bytes.size() != size) {
      Wipe(bytes.data(), bytes.size());
      throw bad(std::string(name) + " is not base64 of " + std::to_string(size) + " bytes");
    }
    return bytes;
  };
  std::vector<std::uint8_t> seed = field(lines[1], kKeyFileSeed, kSeedSize);
  const std::vector<std::uint8_t> pub = field(lines[2], kKeyFilePublic, kPublicKeySize);
  std::array<std::uint8_t, kSeedSize> seed_bytes;
  std::copy(seed.begin(), seed.end(), seed_bytes.begin());
  Wipe(seed.data(), seed.size());
  PublicKey public_key;
  std::copy(pub.begin(), pub.end(), public_key.begin());
  try {
    PrivateKey key = FromSeed(seed_bytes, public_key);
    Wipe(seed_bytes.data(), seed_bytes.size());
    return key;
  } catch (const platform::Error& e) {
    Wipe(seed_bytes.data(), seed_bytes.size());
    throw bad(e.what());
  }
}

PrivateKey GenerateKeyFile(const std::string& path) {
  // Refuse before generating, so "already exists" comes first; the
  // exclusive create below is what guarantees it.
  if (platform::FileExists(path)) throw platform::FileExistsError(path + ": already exists");
  PrivateKey key = PrivateKey::Generate();
  std::string text = key.ToFileText();
  try {
    platform::CreatePrivateFile(path, text);
  } catch (...) {
    Wipe(text.data(), text.size());
    throw;
  }
  Wipe(text.data(), text.size());
  return key;
}

PrivateKey LoadKeyFile(const std::string& path) {
  // A key others may read is a key others may sign with: refused, not used.
  std::string text = platform::ReadPrivateFile(path, kMaxKeyFileSize);
  const std::size_t size = text.size();
  if (size > kMaxKeyFileSize) {
    Wipe(text.data(), text.size());
    throw platform::Error(path + ": invalid key file: larger than " +
                          std::to_string(kMaxKeyFileSize) + " bytes");
  }
  try {
    PrivateKey key = PrivateKey::FromFileText(std::string_view(text).substr(0, size));
    Wipe(text.data(), text.size());
    return key;
  } catch (const platform::Error& e) {
    Wipe(text.data(), text.size());
    throw platform::Error(path + ": " + e.what());
  }
}

bool VerifyMessage(const PublicKey& key, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t, kSignatureSize> signature) {
  InitCrypto();
  const Sexp public_key = PublicKeySexp(key);
  const Sexp data = MessageSexp(message);
  Sexp sig;
  const gcry_error_t err = gcry_sexp_build(sig.out(), nullptr, "(sig-val (eddsa (r %b) (s %b)))",
                                           32, signature.data(), 32, signature.data() + 32);
  if (err) throw platform::Error(GcryptMessage("Ed25519 signature", err));
  // Any failure is "does not verify": a bad signature, and also a public key
  // that is no point of the curve.
  return gcry_pk_verify(sig.get(), data.get(), public_key.get()) == 0;
}

// --- File digest ----------------------------------------------------------

FileHasher::FileHasher() {
  InitCrypto();
  gcry_md_hd_t h = nullptr;
  const gcry_error_t err = gcry_md_open(&h, GCRY_MD_SHA256, 0);
  if (err) throw platform::Error(GcryptMessage("SHA-256", err));
  handle_ = h;
}

FileHasher::FileHasher(FileHasher&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

FileHasher& FileHasher::operator=(FileHasher&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

FileHasher::~FileHasher() {
  if (handle_ != nullptr) gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
}

void FileHasher::Update(std::span<const std::uint8_t> bytes) {
  if (handle_ == nullptr) throw platform::Error("SHA-256: hasher already finished");
  gcry_md_write(static_cast<gcry_md_hd_t>(handle_), bytes.data(), bytes.size());
}

void FileHasher::Update(std::string_view bytes) {
  Update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

FileDigest FileHasher::Finish() {
  if (handle_ == nullptr) throw platform::Error("SHA-256: hasher already finished");
  auto h = static_cast<gcry_md_hd_t>(std::exchange(handle_, nullptr));
  FileDigest out;
  std::memcpy(out.data(), gcry_md_read(h, GCRY_MD_SHA256), out.size());
  gcry_md_close(h);
  return out;
}

FileDigest DigestFile(const std::string& path) {
  platform::File file(path, platform::File::Mode::kRead);
  std::vector<std::uint8_t> block(kReadBlock);
  FileHasher hasher;
  while (const std::size_t n = file.Read(std::span(block))) {
    hasher.Update(std::span(block).first(n));
  }
  return hasher.Finish();
}

// --- Signing and verifying ------------------------------------------------

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
  return s.size() == 2 * kKeyIdBytes && std::all_of(s.begin(), s.end(), [](char c) {
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
