// Times the FTPS upload of a 100 MB archive to vsftpd (explicit TLS, the
// data connection resuming the control connection's session) with the
// system's own client and with curl --ssl-reqd, alternating runs so both
// see the same machine load. Reads the endpoints scripts/servers exports.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/file.h"
#include "sync/exchange_steps.h"
#include "sync/log.h"
#include "transfer/upload.h"

namespace {

using quilvane::transfer::ExchangeServer;
using quilvane::transfer::FtpClient;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) {
    std::fprintf(stderr, "%s is not set: run eval \"$(scripts/servers start)\" first\n", name);
    std::exit(2);
  }
  return v;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double TimeCommand(const std::string& command) {
  auto start = Clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const size_t size = 100u * 1000 * 1000;
  const std::string port = Env("QUILVANE_FTPS_PORT");
  const std::string user = Env("QUILVANE_FTPS_USER");
  const std::string password = Env("QUILVANE_FTPS_PASSWORD");
  const std::string ca = Env("QUILVANE_FTPS_CA");
  const std::string exchange = Env("QUILVANE_EXCHANGE_DIR");
  const std::string work = "/tmp/quilvane-ftps-bench/";
  quilvane::platform::CreateDirectories(work);
  const std::string digits = "11222333000182";
  const std::string local = work + digits + ".ZIP";
  {
    std::string data(size, '\0');
    std::uint32_t x = 12345;
    for (auto& c : data) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    quilvane::platform::WriteFileAtomically(local, data);
  }
  ExchangeServer server =
      quilvane::transfer::MakeExchangeServer("ftpes://127.0.0.1:" + port, user, "");
  server.ftp_password = password;
  server.tls.ca_file = ca;
  server.tls.use_system_store = false;
  quilvane::sync::Log log(work, quilvane::platform::Env::Default());
  FtpClient ftp;
  const std::string curl = "curl -s -S --ssl-reqd --cacert '" + ca + "' -u '" + user + ":" +
                           password + "' -T '" + local + "' 'ftp://127.0.0.1:" + port +
                           "/quilvane/" + digits + ".ZIP'";

  std::vector<double> up, put, up_curl;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    if (!quilvane::sync::Upload(ftp, server, local, log)) {
      std::fprintf(stderr, "upload failed; see %sQuilvane.log\n", work.c_str());
      return 1;
    }
    up.push_back(Seconds(start));
    {
      // The store alone, without the login, listing and deletion of Upload.
      quilvane::transfer::ConfigureForExchange(ftp, server);
      ftp.Connect();
      ftp.ChangeDir("quilvane");
      ftp.Delete(digits + ".ZIP");
      auto put_start = Clock::now();
      ftp.Put(local, digits + ".ZIP");
      put.push_back(Seconds(put_start));
      ftp.Disconnect();
    }
    quilvane::platform::DeleteFile(exchange + "/" + digits + ".ZIP");
    up_curl.push_back(TimeCommand(curl));
    if (quilvane::platform::GetFileInfo(exchange + "/" + digits + ".ZIP").size !=
        static_cast<std::int64_t>(size)) {
      std::fprintf(stderr, "curl stored a file of another size\n");
      return 1;
    }
    quilvane::platform::DeleteFile(exchange + "/" + digits + ".ZIP");
  }
  std::printf("100 MB to vsftpd over explicit TLS on loopback, median of %d runs (seconds)\n",
              runs);
  std::printf("| transfer | Quilvane | curl --ssl-reqd -T | ratio |\n|---|---|---|---|\n");
  std::printf("| upload (Upload: login, list, store) | %.3f | %.3f | %.2f |\n", Median(up),
              Median(up_curl), Median(up) / Median(up_curl));
  std::printf("| upload, STOR alone | %.3f | %.3f | %.2f |\n", Median(put), Median(up_curl),
              Median(put) / Median(up_curl));
  quilvane::platform::DeleteFile(local);
  return 0;
}
