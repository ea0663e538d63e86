// Times the download of a 100 MB archive over HTTPS (nginx over TLS, the
// test CA as CertificadoCA) with the system's own client and with curl,
// alternating runs so both see the same machine load; the plain HTTP
// download alongside. Reads the endpoints that scripts/servers start
// exports.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/file.h"
#include "sync/exchange_steps.h"
#include "sync/log.h"
#include "transfer/download.h"

namespace {

using quilvane::transfer::ExchangeServer;
using quilvane::transfer::HttpClient;
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
  const std::string web_port = Env("QUILVANE_WEB_PORT");
  const std::string tls_port = Env("QUILVANE_WEB_TLS_PORT");
  const std::string ca = Env("QUILVANE_TLS_CA");
  const std::string exchange = Env("QUILVANE_EXCHANGE_DIR");
  const std::string work = "/tmp/quilvane-https-bench/";
  quilvane::platform::CreateDirectories(work);
  const std::string digits = "11222333000262";
  const std::string published = exchange + "/" + digits + ".ZIP";
  {
    std::string data(size, '\0');
    std::uint32_t x = 54321;
    for (auto& c : data) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    quilvane::platform::WriteFileAtomically(published, data);
  }
  quilvane::sync::Log log(work, quilvane::platform::Env::Default());
  const std::string path = "/halvoraquin/quilvane/" + digits + ".ZIP";
  // Straight to the address that serves: the bench measures transfer, not
  // fallbacks. 127.0.0.1 is among the certificate's names.
  const std::string https = "https://127.0.0.1:" + tls_port + path;
  const std::string http = "http://127.0.0.1:" + web_port + path;

  auto download = [&](const std::string& dominio, const std::string& source) {
    ExchangeServer server = quilvane::transfer::MakeExchangeServer("", "", dominio);
    server.tls.ca_file = ca;
    HttpClient client;
    quilvane::transfer::ConfigureWebClient(client, server);
    const auto start = Clock::now();
    const bool ok = quilvane::sync::DownloadFile(
        client, source, digits + ".DL", true, work,
        [&](const std::string& file) {
          return quilvane::platform::GetFileInfo(file).size == static_cast<std::int64_t>(size);
        },
        log);
    if (!ok) {
      std::fprintf(stderr, "download failed; see %sQuilvane.log\n", work.c_str());
      std::exit(1);
    }
    return Seconds(start);
  };
  const std::string out = work + "curl.out";
  std::vector<double> tls, tls_curl, plain, plain_curl;
  for (int i = 0; i < runs; ++i) {
    tls.push_back(download("https://127.0.0.1:" + tls_port, https));
    tls_curl.push_back(
        TimeCommand("curl -s -S --cacert '" + ca + "' -o '" + out + "' '" + https + "'"));
    plain.push_back(download("http://127.0.0.1:" + web_port, http));
    plain_curl.push_back(TimeCommand("curl -s -S -o '" + out + "' '" + http + "'"));
  }
  std::printf("100 MB on loopback, median of %d runs (seconds)\n", runs);
  std::printf("| download | Quilvane | curl | ratio |\n|---|---|---|---|\n");
  std::printf("| HTTPS (nginx, TLS 1.3) | %.3f | %.3f | %.2f |\n", Median(tls), Median(tls_curl),
              Median(tls) / Median(tls_curl));
  std::printf("| HTTP (nginx) | %.3f | %.3f | %.2f |\n", Median(plain), Median(plain_curl),
              Median(plain) / Median(plain_curl));
  quilvane::platform::DeleteFile(published);
  quilvane::platform::DeleteFile(out);
  return 0;
}
