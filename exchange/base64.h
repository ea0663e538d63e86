#pragma once

// Standard base64 (RFC 4648 alphabet, '=' padding): the text of keys and
// signatures.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quilvane::exchange {

std::string EncodeBase64(std::span<const std::uint8_t> bytes);

// Decoding is strict: no blanks or line breaks, length a multiple of 4,
// padding only at the end and unused bits zero, so every value has exactly
// one text. false when `text` is not such base64 (`out` then unspecified).
// `out` reserves its room once, before the first byte: a secret decoded into
// it leaves no copy behind in a freed buffer.
bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace quilvane::exchange
