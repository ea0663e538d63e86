// libFuzzer target: arbitrary bytes as what the exchange server says. The
// first byte picks the peer: an HTTP response, an FTP conversation, or the
// pure parsers (PASV reply, address, OTP challenge, host:port).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "transfer/exchange_server.h"
#include "transfer/ftp_client.h"
#include "transfer/http_client.h"
#include "transfer/otp.h"
#include "transfer/url.h"

namespace {

using namespace std::chrono_literals;
using namespace quilvane;

// Serves `bytes` to the first connection and closes.
class OneShotPeer {
 public:
  explicit OneShotPeer(std::string bytes) {
    thread_ = std::thread([this, bytes = std::move(bytes)] {
      try {
        platform::Socket s = listener_.Accept(2000ms);
        s.set_idle_timeout(200ms);
        s.WriteAll(bytes);
        char sink[4096];
        while (s.WaitReadable(20ms) && s.Read(std::span<char>(sink, sizeof sink)) > 0) {
        }
      } catch (const platform::Error&) {
      }
    });
  }
  ~OneShotPeer() { thread_.join(); }
  std::uint16_t port() const { return listener_.port(); }

 private:
  platform::Listener listener_;
  std::thread thread_;
};

void FuzzHttp(const std::string& bytes) {
  OneShotPeer peer(bytes);
  transfer::HttpClient http;
  transfer::HttpTimeouts t;
  t.idle = 50ms;
  t.progress.ceiling = 500ms;
  t.redirect_body = 10ms;
  http.set_timeouts(t);
  try {
    http.Get("http://127.0.0.1:" + std::to_string(peer.port()) + "/x", [](std::string_view) {});
  } catch (const platform::Error&) {
  }
}

void FuzzFtp(const std::string& bytes) {
  OneShotPeer peer(bytes);
  transfer::FtpClient ftp;
  ftp.set_host("127.0.0.1");
  ftp.set_port(peer.port());
  transfer::FtpTimeouts t;
  t.idle = 50ms;
  t.progress.ceiling = 500ms;
  t.quit_wait = 5ms;
  ftp.set_timeouts(t);
  try {
    ftp.Connect();
    std::vector<std::string> names;
    ftp.List(names);
  } catch (const platform::Error&) {
  }
  ftp.Disconnect();
}

void FuzzParsers(const std::string& text) {
  try {
    transfer::ParsePassiveReply(text);
  } catch (const platform::Error&) {
  }
  transfer::CurrentAddress current;
  for (int i = 0; i < 2; ++i) {
    try {
      transfer::ResolveUrl(transfer::ParseUrl(text), current);
    } catch (const platform::Error&) {
    }
  }
  if (auto ch = transfer::FindOtpChallenge(text)) transfer::OtpResponse(*ch, "mirvex");
  transfer::ParseHostPort(text, 21);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0: FuzzHttp(bytes); break;
    case 1: FuzzFtp(bytes); break;
    default: FuzzParsers(bytes); break;
  }
  return 0;
}
