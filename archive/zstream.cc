#include "archive/zstream.h"

#include <string>

#include "platform/error.h"

namespace quilvane::archive {
namespace {

[[noreturn]] void ThrowZlib(int code) { throw platform::Error("error " + std::to_string(code)); }

}  // namespace

Deflater::Deflater(int level) {
  const int rc = deflateInit2(&z_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) ThrowZlib(rc);
}

Deflater::~Deflater() { deflateEnd(&z_); }

size_t Deflater::Compress(std::span<const std::uint8_t> in, bool finish,
                          std::vector<std::uint8_t>& out, size_t out_used) {
  z_.next_in = const_cast<Bytef*>(in.data());
  z_.avail_in = static_cast<uInt>(in.size());
  const int flush = finish ? Z_FINISH : Z_SYNC_FLUSH;
  while (true) {
    if (out.size() - out_used < 64) out.resize(out.size() + out.size() / 2 + 4096);
    z_.next_out = out.data() + out_used;
    z_.avail_out = static_cast<uInt>(out.size() - out_used);
    const int rc = deflate(&z_, flush);
    out_used = out.size() - z_.avail_out;
    if (rc < 0 && rc != Z_BUF_ERROR) ThrowZlib(rc);
    if (finish ? rc == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0)) break;
  }
  return out_used;
}

Inflater::Inflater() {
  const int rc = inflateInit2(&z_, -MAX_WBITS);
  if (rc != Z_OK) ThrowZlib(rc);
}

Inflater::~Inflater() { inflateEnd(&z_); }

Inflater::Step Inflater::Run(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  z_.next_in = const_cast<Bytef*>(in.data());
  z_.avail_in = static_cast<uInt>(in.size());
  z_.next_out = out.data();
  z_.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z_, Z_NO_FLUSH);
  Step step;
  step.consumed = in.size() - z_.avail_in;
  step.produced = out.size() - z_.avail_out;
  step.stream_end = rc == Z_STREAM_END;
  // A buffer error only says that more input or output room is needed.
  step.error = rc < 0 && rc != Z_BUF_ERROR;
  if (rc == Z_NEED_DICT) step.error = true;
  return step;
}

}  // namespace quilvane::archive
