#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quilvane::transfer {

using BodySink = std::function<void(std::string_view)>;

// Undoes a response's gzip content coding on its way to `sink`, so that the
// bytes stored are the ones the server was given. Concatenated gzip members
// are joined. Throws platform::Error when the stream is not gzip, is damaged,
// or (Finish) ends before its last member does.
class GzipDecoder {
 public:
  explicit GzipDecoder(BodySink sink);
  ~GzipDecoder();
  GzipDecoder(const GzipDecoder&) = delete;
  GzipDecoder& operator=(const GzipDecoder&) = delete;

  void Write(std::string_view compressed);
  void Finish();

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  BodySink sink_;
  bool member_done_ = false;
  bool started_ = false;
};

// How a "Content-Encoding" value is taken: nothing to undo (absent or
// "identity"), gzip ("gzip" or "x-gzip"), or a coding this client does not
// undo.
enum class ContentCoding { kIdentity, kGzip, kUnsupported };
ContentCoding ParseContentCoding(std::string_view value);

}  // namespace quilvane::transfer
