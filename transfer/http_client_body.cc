// The bodies of HttpClient's responses: by length, in chunks or up to the
// close, decoded when asked.
#include "transfer/http_client.h"

#include <algorithm>

#include "platform/text.h"
#include "transfer/http_client_internal.h"

namespace quilvane::transfer {
namespace {

using internal::kMaxHeaderBytes;
using internal::Lower;
using internal::ThrowTooLong;
using internal::Trim;
using platform::EqualsIgnoreAsciiCase;

constexpr size_t kBodyChunk = 256 * 1024;

// "Content-Length": a decimal count that fits in 63 bits; -1 otherwise.
std::int64_t ParseContentLength(const std::string& text) {
  std::string t = Trim(text);
  if (t.empty() || t.size() > 18) return -1;
  std::int64_t value = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A chunk-size line: cut at ";", trimmed, hexadecimal digits only. Nothing,
// a sign, letters or a number too large to be real fail: a body whose
// framing is lost cannot be told from a cut one.
std::uint64_t ParseChunkSize(const std::string& line) {
  std::string t = Trim(std::string_view(line).substr(0, line.find(';')));
  auto invalid = [&t] {
    constexpr size_t kShown = 32;
    std::string shown = t.empty() ? "(empty line)" : t.substr(0, kShown);
    if (t.size() > kShown) shown += "...";
    return platform::Error("Invalid chunk size: " + shown);
  };
  if (t.empty()) throw invalid();
  std::uint64_t value = 0;
  for (char c : t) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      throw invalid();
    if (value > (std::uint64_t{1} << 56)) throw invalid();
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  return value;
}

}  // namespace

void HttpClient::ReadSuccessBody(int status, const BodySink& sink) {
  if (!decode_bodies_) return ReadBody(status, sink);
  const std::string coding = HeaderValue("Content-Encoding");
  switch (ParseContentCoding(coding)) {
    case ContentCoding::kIdentity:
      return ReadBody(status, sink);
    case ContentCoding::kGzip: {
      GzipDecoder decoder(sink);
      ReadBody(status, [&decoder](std::string_view bytes) { decoder.Write(bytes); });
      decoder.Finish();
      return;
    }
    case ContentCoding::kUnsupported:
      break;
  }
  constexpr size_t kShown = 40;
  throw platform::Error("Codificação de conteúdo não suportada: " + coding.substr(0, kShown));
}

void HttpClient::ReadBody(int status, const BodySink& sink) {
  if ((status >= 100 && status <= 199) || status == 204 || status == 304) return;
  bool chunked = Lower(HeaderValue("Transfer-Encoding")).find("chunked") != std::string::npos;
  std::int64_t length = -1;
  for (const auto& h : headers_) {
    if (EqualsIgnoreAsciiCase(h.name, "Content-Length")) length = ParseContentLength(h.value);
  }
  if (!chunked && length == 0) return;
  if (status >= 300 && status <= 399 && !connection_.WaitReadable(timeouts_.redirect_body)) {
    return;
  }

  if (chunked) {
    for (;;) {
      auto size_line = ReadLimitedLine();
      if (!size_line) throw ConnectionClosedError();
      std::uint64_t size = ParseChunkSize(*size_line);
      if (size == 0) break;
      CopyBody(size, sink);
      auto after = ReadLimitedLine();
      if (!after) throw ConnectionClosedError();
    }
    size_t trailer_bytes = 0;
    for (;;) {
      auto line = ReadLimitedLine();
      if (!line || line->empty()) break;
      trailer_bytes += line->size() + 2;
      if (trailer_bytes > kMaxHeaderBytes) ThrowTooLong();
      size_t colon = line->find(':');
      if (colon != std::string::npos) {
        headers_.push_back({Trim(line->substr(0, colon)), Trim(line->substr(colon + 1))});
      }
    }
    return;
  }

  if (length > 0) {
    CopyBody(static_cast<std::uint64_t>(length), sink);
    return;
  }

  for (;;) {
    std::string_view bytes = connection_.ReadSome(kBodyChunk, deadline_);
    if (bytes.empty()) break;
    sink(bytes);
  }
  connection_.Close();
}

// A body shorter than announced is a broken transfer, not a success.
void HttpClient::CopyBody(std::uint64_t count, const BodySink& sink) {
  while (count > 0) {
    std::string_view bytes = connection_.ReadSome(
        static_cast<size_t>(std::min<std::uint64_t>(count, kBodyChunk)), deadline_);
    if (bytes.empty()) throw ConnectionClosedError();
    sink(bytes);
    count -= bytes.size();
  }
}

}  // namespace quilvane::transfer
