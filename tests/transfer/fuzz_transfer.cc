// libFuzzer target: arbitrary bytes as what the exchange server says. The
// first byte picks the peer:
//   0  an HTTP server: the rest is its byte stream, for two Gets in a row;
//   1  an FTP server: the rest is its control stream, then a NUL, then what
//      each passive data connection carries; the client logs in, changes
//      folder, lists, stores, deletes and quits;
//   2  the pure parsers (PASV reply, address, OTP challenge, host:port).
// Seeds recorded from nginx and pyftpdlib are in tests/transfer/fuzz_seeds/
// (bench/fuzz/record-seeds.sh); bench/fuzz/run.sh runs the target.
//
// One peer thread serves every input: it writes the whole stream at once and
// half-closes, so the client meets the end of the script as a close, never
// as a timeout. A fuzzed PASV reply may name any address, so the target only
// runs in a network namespace that holds nothing but loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
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

// The passive port the seeds' 227 replies name (pyftpdlib recorded with this
// one port): 127,0,0,1,188,72.
constexpr std::uint16_t kDataPort = 48200;

// Refuses to run where a connection could leave the machine.
void RequireLoopbackOnly() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    std::perror("getifaddrs");
    std::exit(1);
  }
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if ((i->ifa_flags & IFF_UP) && !(i->ifa_flags & IFF_LOOPBACK)) {
      std::fprintf(stderr,
                   "transfer_fuzz: interface %s is up. Fuzzed PASV replies name arbitrary "
                   "addresses: run in a loopback-only network namespace (bench/fuzz/run.sh).\n",
                   i->ifa_name);
      std::exit(1);
    }
  }
  freeifaddrs(list);
}

int ListenOn(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
    std::perror("transfer_fuzz: listen");
    std::exit(1);
  }
  return fd;
}

std::uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A loopback server for all inputs: every connection on the main port gets
// the control (or HTTP) stream, every one on kDataPort the data stream. At
// the end of an input, Finish closes whatever the input opened, so nothing
// carries over to the next one.
class Peer {
 public:
  Peer() : main_(ListenOn(0)), data_(ListenOn(kDataPort)) {
    if (pipe2(wake_, O_CLOEXEC) != 0) std::exit(1);
    thread_ = std::thread([this] { Run(); });
  }
  std::uint16_t port() const { return PortOf(main_); }

  void Start(std::string control, std::string data) {
    std::lock_guard lock(mutex_);
    control_ = std::move(control);
    data_bytes_ = std::move(data);
  }

  void Finish() {
    std::unique_lock lock(mutex_);
    finish_ = true;
    char c = 0;
    if (write(wake_[1], &c, 1) != 1) std::exit(1);
    done_.wait(lock, [this] { return !finish_; });
  }

 private:
  void Serve(int listener, bool data) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::string bytes;
    {
      std::lock_guard lock(mutex_);
      bytes = data ? data_bytes_ : control_;
    }
    // Inputs are a few KiB: the socket buffer takes them whole.
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    open_.push_back(fd);
  }

  void Run() {
    for (;;) {
      pollfd fds[3] = {{main_, POLLIN, 0}, {data_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(fds, 3, -1) < 0) continue;
      if (fds[0].revents & POLLIN) Serve(main_, false);
      if (fds[1].revents & POLLIN) Serve(data_, true);
      if (fds[2].revents & POLLIN) {
        char c;
        if (read(wake_[0], &c, 1) != 1) continue;
        // The client has returned: every connection it made is queued or
        // open, and all are closed now.
        for (int l : {main_, data_}) {
          pollfd p{l, POLLIN, 0};
          while (poll(&p, 1, 0) == 1) {
            int fd = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            close(fd);
          }
        }
        for (int fd : open_) close(fd);
        open_.clear();
        std::lock_guard lock(mutex_);
        finish_ = false;
        done_.notify_all();
      }
    }
  }

  int main_;
  int data_;
  int wake_[2];
  std::vector<int> open_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool finish_ = false;
  std::string control_;
  std::string data_bytes_;
  std::thread thread_;
};

Peer* peer = nullptr;
std::string upload_path;

// No name is ever looked up: only loopback addresses resolve.
platform::Ipv4Address LoopbackOnly(const std::string& host) {
  platform::Ipv4Address ip;
  if (platform::ParseIpv4(host, &ip) && (ip.value >> 24) == 127) return ip;
  throw platform::SocketError(platform::kSocketHostNotFound);
}

void FuzzHttp(const std::string& bytes) {
  peer->Start(bytes, std::string());
  transfer::HttpClient http;
  http.set_resolver(LoopbackOnly);
  transfer::HttpTimeouts t;
  t.connect = 1000ms;
  t.idle = 1000ms;
  t.progress.ceiling = 5000ms;
  t.redirect_body = 1000ms;
  http.set_timeouts(t);
  const std::string base = "http://127.0.0.1:" + std::to_string(peer->port());
  for (const std::string& url :
       {base + "/halvoraquin/quilvane/12345678000199.ZIP", std::string("PRODUTOS.TXT")}) {
    try {
      http.Get(url, [](std::string_view) {});
    } catch (const platform::Error&) {
    }
  }
  http.Disconnect();
  peer->Finish();
}

void FuzzFtp(const std::string& bytes) {
  const size_t nul = bytes.find('\0');
  peer->Start(bytes.substr(0, nul), nul == std::string::npos ? "" : bytes.substr(nul + 1));
  {
    transfer::FtpClient ftp;
    ftp.set_host("127.0.0.1");
    ftp.set_port(peer->port());
    ftp.set_username("quilvane");
    ftp.set_password("mirvex");
    ftp.set_resolver(LoopbackOnly);
    transfer::FtpTimeouts t;
    t.connect = 1000ms;
    t.idle = 1000ms;
    t.progress.ceiling = 5000ms;
    t.quit_wait = 1000ms;
    ftp.set_timeouts(t);
    try {
      ftp.Connect();
      ftp.ChangeDir("quilvane");
      std::vector<std::string> names;
      ftp.List(names);
      ftp.Put(upload_path, "fuzz.txt");
      ftp.Delete("fuzz.txt");
    } catch (const platform::Error&) {
    }
    ftp.Disconnect();
  }
  peer->Finish();
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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RequireLoopbackOnly();
  char dir[] = "/tmp/transfer_fuzz.XXXXXX";
  if (!mkdtemp(dir)) std::exit(1);
  upload_path = std::string(dir) + "/fuzz.txt";
  std::ofstream(upload_path, std::ios::binary) << "UPDATE PRODUTOS SET PRECOVENDA = 1.00;\r\n";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // Made here, not at initialisation: with -jobs the parent process
  // initialises too, and the data port can be bound only once.
  if (!peer) peer = new Peer();  // lives as long as the process
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0:
      FuzzHttp(bytes);
      break;
    case 1:
      FuzzFtp(bytes);
      break;
    default:
      FuzzParsers(bytes);
      break;
  }
  return 0;
}
