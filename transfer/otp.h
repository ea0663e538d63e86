#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quilvane::transfer {

// One-time-password logins (RFC 2289): a server that answers "USER" with a
// challenge such as "otp-md5 499 ke1234" expects the response computed from
// the password instead of the password itself.
struct OtpChallenge {
  enum class Hash { kMd4, kMd5, kSha1 };
  Hash hash = Hash::kMd5;
  int sequence = 0;
  std::string seed;
};

// The challenge in a reply's text: "otp-" + md4|md5|sha1, the sequence
// number (0-9999) and the seed (1-16 letters or digits). nullopt when there
// is none or it is malformed.
std::optional<OtpChallenge> FindOtpChallenge(std::string_view text);

// The 64-bit one-time password for the challenge: the folded hash of the
// lower-cased seed and the password, hashed and folded `sequence` times.
std::uint64_t OtpValue(const OtpChallenge& challenge, std::string_view password);

// The response in the hexadecimal form every RFC 2289 server accepts:
// sixteen upper-case hex digits.
std::string OtpResponse(const OtpChallenge& challenge, std::string_view password);

}  // namespace quilvane::transfer
