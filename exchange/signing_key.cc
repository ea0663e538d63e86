#include "exchange/signing_key.h"

#include <algorithm>

#include "exchange/base64.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/private_file.h"

namespace quilvane::exchange {
namespace {

constexpr std::string_view kKeyFileHeader = "QUILVANE-CHAVE-PRIVADA 1";
constexpr std::string_view kKeyFileSeed = "Semente=";
constexpr std::string_view kKeyFilePublic = "ChavePublica=";
constexpr std::size_t kMaxKeyFileSize = 4096;

const std::array<std::uint8_t, 18> kProbe = {'Q', 'u', 'i', 'l', 'v', 'a', 'n', 'e', ' ',
                                             'k', 'e', 'y', ' ', 'c', 'h', 'e', 'c', 'k'};

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

platform::Error InvalidKeyFile(const std::string& what) {
  return platform::Error("invalid key file: " + what);
}

// The base64 value of the key file's line `name`, which must be `out.size()`
// bytes long, into `out`.
void ReadKeyFileField(std::string_view line, std::string_view name, std::span<std::uint8_t> out) {
  if (line.substr(0, name.size()) != name) {
    throw InvalidKeyFile("line '" + std::string(name) + "' missing");
  }
  platform::Secret<std::vector<std::uint8_t>> bytes;
  if (!DecodeBase64(line.substr(name.size()), bytes.get()) || bytes.get().size() != out.size()) {
    throw InvalidKeyFile(std::string(name) + " is not base64 of " + std::to_string(out.size()) +
                         " bytes");
  }
  std::copy(bytes.get().begin(), bytes.get().end(), out.begin());
}

}  // namespace

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
  const std::vector<std::uint8_t> h = platform::Digest(platform::DigestAlgorithm::kSha256, key);
  return ToHex(std::span(h).first(kKeyIdLength / 2));
}

PrivateKey PrivateKey::Generate() {
  PrivateKey key;
  platform::Ed25519Generate(key.seed_, key.public_key_);
  return FromSeed(key.seed_.get(), key.public_key_);
}

PrivateKey PrivateKey::FromSeed(std::span<const std::uint8_t, kSeedSize> seed,
                                const PublicKey& public_key) {
  PrivateKey key;
  std::copy(seed.begin(), seed.end(), key.seed_.get().begin());
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
  return platform::Ed25519Sign(seed_.get(), public_key_, message);
}

std::string PrivateKey::ToFileText() const {
  const platform::Secret<std::string> seed(EncodeBase64(seed_.get()));
  std::string text;
  // All the room at once: a growing buffer would leave the seed behind in
  // the one it outgrew.
  text.reserve(kKeyFileHeader.size() + kKeyFileSeed.size() + seed.get().size() +
               kKeyFilePublic.size() + (kPublicKeySize + 2) / 3 * 4 + 3);
  text += kKeyFileHeader;
  text += '\n';
  text += kKeyFileSeed;
  text += seed.get();
  text += '\n';
  text += kKeyFilePublic;
  text += EncodePublicKey(public_key_);
  text += '\n';
  return text;
}

PrivateKey PrivateKey::FromFileText(std::string_view text) {
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
    throw InvalidKeyFile("first line is not '" + std::string(kKeyFileHeader) + "'");
  }
  if (lines[0] != kKeyFileHeader) throw InvalidKeyFile("unknown version " + Quote(lines[0]));
  if (lines.size() != 3) {
    throw InvalidKeyFile("3 lines expected, found " + std::to_string(lines.size()));
  }
  platform::Secret<std::array<std::uint8_t, kSeedSize>> seed;
  PublicKey public_key;
  ReadKeyFileField(lines[1], kKeyFileSeed, seed.get());
  ReadKeyFileField(lines[2], kKeyFilePublic, public_key);
  try {
    return FromSeed(seed.get(), public_key);
  } catch (const platform::Error& e) {
    throw InvalidKeyFile(e.what());
  }
}

PrivateKey GenerateKeyFile(const std::string& path) {
  // Refuse before generating, so "already exists" comes first; the
  // exclusive create below is what guarantees it.
  if (platform::FileExists(path)) throw platform::FileExistsError(path + ": already exists");
  PrivateKey key = PrivateKey::Generate();
  const platform::Secret<std::string> text(key.ToFileText());
  platform::CreatePrivateFile(path, text.get());
  return key;
}

PrivateKey LoadKeyFile(const std::string& path) {
  // A key others may read is a key others may sign with: refused, not used.
  const platform::Secret<std::string> text(platform::ReadPrivateFile(path, kMaxKeyFileSize));
  if (text.get().size() > kMaxKeyFileSize) {
    throw platform::Error(path + ": invalid key file: larger than " +
                          std::to_string(kMaxKeyFileSize) + " bytes");
  }
  try {
    return PrivateKey::FromFileText(text.get());
  } catch (const platform::Error& e) {
    throw platform::Error(path + ": " + e.what());
  }
}

bool VerifyMessage(const PublicKey& key, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t, kSignatureSize> signature) {
  return platform::Ed25519Verify(key, message, signature);
}

}  // namespace quilvane::exchange
