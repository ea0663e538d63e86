#include "transfer/content_coding.h"

#include <zlib.h>

#include <algorithm>

#include "platform/error.h"
#include "platform/text.h"

namespace quilvane::transfer {
namespace {

constexpr size_t kOutChunk = 64 * 1024;
// zlib's window bits for a gzip wrapper only (no zlib or raw stream).
constexpr int kGzipWindowBits = 15 + 16;

[[noreturn]] void Damaged(const char* why) {
  throw platform::Error(std::string("Conteúdo gzip inválido: ") + why);
}

}  // namespace

struct GzipDecoder::Stream {
  z_stream z{};
  std::string out = std::string(kOutChunk, '\0');
  ~Stream() { inflateEnd(&z); }
};

GzipDecoder::GzipDecoder(BodySink sink) : stream_(new Stream), sink_(std::move(sink)) {
  if (inflateInit2(&stream_->z, kGzipWindowBits) != Z_OK) {
    throw platform::Error("Conteúdo gzip: zlib indisponível");
  }
}

GzipDecoder::~GzipDecoder() = default;

void GzipDecoder::Write(std::string_view compressed) {
  z_stream& z = stream_->z;
  while (!compressed.empty()) {
    if (member_done_) {
      // Another member follows the one that ended.
      if (inflateReset(&z) != Z_OK) Damaged("zlib");
      member_done_ = false;
    }
    started_ = true;
    const uInt in_size = static_cast<uInt>(std::min<size_t>(compressed.size(), 1u << 30));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = in_size;
    int rc;
    do {
      z.next_out = reinterpret_cast<Bytef*>(stream_->out.data());
      z.avail_out = static_cast<uInt>(stream_->out.size());
      rc = inflate(&z, Z_NO_FLUSH);
      if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) {
        Damaged(z.msg != nullptr ? z.msg : "dados corrompidos");
      }
      const size_t produced = stream_->out.size() - z.avail_out;
      if (produced > 0) sink_(std::string_view(stream_->out.data(), produced));
    } while (rc != Z_STREAM_END && (z.avail_in > 0 || z.avail_out == 0));
    compressed.remove_prefix(in_size - z.avail_in);
    if (rc == Z_STREAM_END) member_done_ = true;
  }
}

void GzipDecoder::Finish() {
  if (!started_ || !member_done_) Damaged("terminou antes do fim");
}

ContentCoding ParseContentCoding(std::string_view value) {
  std::string v = platform::AsciiLower(std::string(value));
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.erase(0, 1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.pop_back();
  if (v.empty() || v == "identity") return ContentCoding::kIdentity;
  if (v == "gzip" || v == "x-gzip") return ContentCoding::kGzip;
  return ContentCoding::kUnsupported;
}

}  // namespace quilvane::transfer
