// The HTTP client as a DominioWeb with a scheme drives it: redirects are
// followed within their limits and never from https to http, a gzip body is
// stored decoded and a damaged or unknown coding fails, and over TLS a body
// cut without the close alert is never taken for a whole one.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <utility>
#include <vector>

#include "tests/support/tls_server.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/http_test_client.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/download.h"
#include "transfer/http_client.h"

namespace quilvane::transfer {
namespace {

using namespace std::chrono_literals;
using testing::Fetch;
using testing::Get;
using testing::LoopbackResolver;
using testing::PeerConnection;
using testing::ScriptedPeer;
using testing::TestCert;
using testing::TlsTestServer;

void Modern(HttpClient& http) {
  http.set_resolver(LoopbackResolver({"www.localhost", "localhost"}));
  HttpTimeouts t;
  t.idle = 2000ms;
  t.connect = 2000ms;
  t.redirect_body = 300ms;
  http.set_timeouts(t);
  ExchangeServer server;
  server.web_scheme = WebScheme::kHttps;
  server.tls.ca_file = TestCert("ca");
  ConfigureWebClient(http, server);
  SetDownloadFields(http);
}

std::string Gzip(std::string_view data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Response(const std::string& head_fields, const std::string& body) {
  return "HTTP/1.1 200 OK\r\n" + head_fields + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// A plain peer answering each request by its target, one connection each.
// "{port}" in a response is the peer's own port.
struct Routes {
  std::vector<std::pair<std::string, std::string>> by_target;
  int requests;
};

struct RedirectCase {
  const char* name;
  Routes routes;
  std::string body;
  std::string error;
  std::string final_target;
};

TEST(HttpRedirect, FollowedWithinTheirLimits) {
  const std::string moved = "Content-Length: 0\r\nConnection: close\r\n";
  const RedirectCase cases[] = {
      {"301 to an absolute path",
       {{{"/a/F.ZIP", "HTTP/1.1 301 Moved\r\nLocation: /b/F.ZIP\r\n" + moved + "\r\n"},
         {"/b/F.ZIP", Response("", "moved body")}},
        2},
       "moved body",
       "",
       "/b/F.ZIP"},
      {"302 relative to the directory, then 303 absolute, 307, 308",
       {{{"/a/F.ZIP", "HTTP/1.1 302 Found\r\nLocation: c/F.ZIP\r\n" + moved + "\r\n"},
         {"/a/c/F.ZIP",
          "HTTP/1.1 303 See Other\r\nLocation: http://localhost:{port}/d\r\n" + moved + "\r\n"},
         {"/d", "HTTP/1.1 307 Temporary\r\nLocation: /e\r\n" + moved + "\r\n"},
         {"/e", "HTTP/1.1 308 Permanent\r\nLocation: /f\r\n" + moved + "\r\n"},
         {"/f", Response("", "five hops")}},
        5},
       "five hops",
       "",
       "/f"},
      {"a redirect's body is dropped",
       {{{"/a/F.ZIP",
          "HTTP/1.1 301 Moved\r\nLocation: /b\r\nContent-Length: 7\r\n"
          "Connection: close\r\n\r\n<html/>"},
         {"/b", Response("", "ok")}},
        2},
       "ok",
       "",
       "/b"},
      {"a loop ends after five",
       {{{"/a/F.ZIP", "HTTP/1.1 302 Found\r\nLocation: /a/F.ZIP\r\n" + moved + "\r\n"}}, 6},
       "",
       "Redirecionamentos demais (mais de 5) a partir de ",
       "/a/F.ZIP"},
      {"without a Location it is a failure",
       {{{"/a/F.ZIP", "HTTP/1.1 301 Moved\r\n" + moved + "\r\n"}}, 1},
       "",
       "HTTP/1.1 301 Moved",
       "/a/F.ZIP"},
      {"a Location a request line cannot carry",
       {{{"/a/F.ZIP", "HTTP/1.1 302 Found\r\nLocation: /x y\r\n" + moved + "\r\n"}}, 1},
       "",
       "Redirecionamento para endereço inválido: /x y",
       "/a/F.ZIP"},
      {"to another scheme",
       {{{"/a/F.ZIP", "HTTP/1.1 302 Found\r\nLocation: ftp://localhost/F\r\n" + moved + "\r\n"}},
        1},
       "",
       "Unknown Protocol",
       "/a/F.ZIP"},
  };
  for (const RedirectCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::atomic<int> port{0};
    ScriptedPeer peer(
        [&](PeerConnection& c, int) {
          const std::string head = c.ReadRequestHead();
          const size_t sp = head.find(' ');
          const std::string target = head.substr(sp + 1, head.find(' ', sp + 1) - sp - 1);
          std::string response = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
          for (const auto& [route, answer] : tc.routes.by_target) {
            if (route == target) response = answer;
          }
          const size_t at = response.find("{port}");
          if (at != std::string::npos) response.replace(at, 6, std::to_string(port.load()));
          c.Send(response);
          c.Close();
        },
        tc.routes.requests);
    port = peer.port();
    HttpClient http;
    Modern(http);
    const std::string start = "http://localhost:" + std::to_string(peer.port()) + "/a/F.ZIP";
    Fetch f = Get(http, start);
    peer.Join();
    EXPECT_EQ(f.body, tc.body);
    EXPECT_EQ(f.error.substr(0, tc.error.size()), tc.error) << f.error;
    if (tc.error.empty()) {
      EXPECT_EQ(f.error, "");
    }
    EXPECT_EQ(peer.accepted(), tc.routes.requests);
    EXPECT_TRUE(http.final_url().ends_with(":" + std::to_string(peer.port()) + tc.final_target))
        << http.final_url();
  }
}

TEST(HttpRedirect, PlainToTlsFollowedButTlsToPlainRefused) {
  ScriptedPeer plain(
      [&](PeerConnection& c, int) {
        c.ReadRequestHead();
        c.Send(Response("", "clear text"));
        c.Close();
      },
      0);
  TlsTestServer to_plain({}, [&](TlsTestServer::Connection& c) {
    c.ReadRequestHead();
    c.Write("HTTP/1.1 301 Moved\r\nLocation: http://localhost:" + std::to_string(plain.port()) +
            "/F.ZIP\r\nContent-Length: 0\r\n\r\n");
  });
  TlsTestServer serves({}, [&](TlsTestServer::Connection& c) {
    c.ReadRequestHead();
    c.Write(Response("", "over tls"));
  });
  ScriptedPeer to_tls(
      [&](PeerConnection& c, int) {
        c.ReadRequestHead();
        c.Send("HTTP/1.1 301 Moved\r\nLocation: https://www.localhost:" +
               std::to_string(serves.port()) + "/F.ZIP\r\nContent-Length: 0\r\n\r\n");
        c.Close();
      },
      1);
  HttpClient http;
  Modern(http);
  Fetch up = Get(http, "http://localhost:" + std::to_string(to_tls.port()) + "/F.ZIP");
  EXPECT_EQ(up.error, "");
  EXPECT_EQ(up.body, "over tls");
  EXPECT_EQ(http.final_url(), "https://www.localhost:" + std::to_string(serves.port()) + "/F.ZIP");
  ASSERT_TRUE(http.tls_peer_info().has_value());
  EXPECT_EQ(http.tls_peer_info()->subject, "CN=localhost");

  Fetch down = Get(http, "https://localhost:" + std::to_string(to_plain.port()) + "/F.ZIP");
  EXPECT_EQ(down.error, "Redirecionamento de https para http recusado: http://localhost:" +
                            std::to_string(plain.port()) + "/F.ZIP");
  EXPECT_EQ(down.body, "");
}

struct CodingCase {
  const char* name;
  std::string response;
  std::string body;
  std::string error;
};

TEST(HttpContentCoding, GzipIsDecodedAndAnythingElseFails) {
  const std::string archive = "PK\x03\x04" + std::string(100000, 'z') + "end";
  const std::string gz = Gzip(archive);
  const std::string two = Gzip("first,") + Gzip("second");
  std::string damaged = gz;
  damaged[damaged.size() / 2] ^= 0x55;
  const CodingCase cases[] = {
      {"gzip", Response("Content-Encoding: gzip\r\n", gz), archive, ""},
      {"x-gzip", Response("Content-Encoding: X-Gzip\r\n", gz), archive, ""},
      {"two members", Response("Content-Encoding: gzip\r\n", two), "first,second", ""},
      {"identity", Response("Content-Encoding: identity\r\n", "as is"), "as is", ""},
      {"chunked gzip",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
           [&] {
             char size[16];
             std::snprintf(size, sizeof size, "%zx", gz.size());
             return std::string(size) + "\r\n" + gz + "\r\n0\r\n\r\n";
           }(),
       archive, ""},
      {"damaged", Response("Content-Encoding: gzip\r\n", damaged), "", "Conteúdo gzip inválido: "},
      {"cut short", Response("Content-Encoding: gzip\r\n", gz.substr(0, gz.size() - 12)), "",
       "Conteúdo gzip inválido: terminou antes do fim"},
      {"not gzip at all", Response("Content-Encoding: gzip\r\n", archive), "",
       "Conteúdo gzip inválido: "},
      {"brotli", Response("Content-Encoding: br\r\n", "xx"), "",
       "Codificação de conteúdo não suportada: br"},
      {"deflate", Response("Content-Encoding: deflate\r\n", "xx"), "",
       "Codificação de conteúdo não suportada: deflate"},
  };
  for (const CodingCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::string head;
    ScriptedPeer peer([&](PeerConnection& c, int) {
      head = c.ReadRequestHead();
      c.Send(tc.response);
      c.Close();
    });
    HttpClient http;
    Modern(http);
    Fetch f = Get(http, "http://localhost:" + std::to_string(peer.port()) + "/F.ZIP");
    peer.Join();
    EXPECT_NE(head.find("\r\nAccept-Encoding: identity\r\n"), std::string::npos) << head;
    if (tc.error.empty()) {
      EXPECT_EQ(f.error, "");
      EXPECT_EQ(f.body, tc.body);
    } else {
      EXPECT_EQ(f.error.substr(0, tc.error.size()), tc.error) << f.error;
    }
  }
}

// Over TLS the end of the connection frames nothing by itself: only the
// close alert ends a body without a length.
TEST(HttpsBody, CutWithoutTheCloseAlertIsAFailure) {
  const std::string body(200000, 'x');
  struct Case {
    const char* name;
    std::string head;
    bool alert;
    std::string error;
  };
  const Case cases[] = {
      {"framed by the close, with the alert", "HTTP/1.1 200 OK\r\n\r\n", true, ""},
      {"framed by the close, cut", "HTTP/1.1 200 OK\r\n\r\n", false,
       "Conexão TLS cortada: terminou sem o aviso de fechamento do servidor"},
      {"cut before its length", "HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n", false,
       "Conexão TLS cortada: terminou sem o aviso de fechamento do servidor"},
      {"alert before its length", "HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n", true,
       "Connection Closed Gracefully."},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TlsTestServer server({}, [&](TlsTestServer::Connection& c) {
      c.ReadRequestHead();
      c.Write(tc.head + body);
      if (tc.alert) {
        c.CloseNotify();
      } else {
        c.Cut();
      }
    });
    HttpClient http;
    Modern(http);
    Fetch f = Get(http, "https://localhost:" + std::to_string(server.port()) + "/F.ZIP");
    EXPECT_EQ(f.error, tc.error);
    if (tc.error.empty()) {
      EXPECT_EQ(f.body, body);
    }
  }
}

TEST(HttpsBody, KeepAliveOverTlsAndACaFileThatCannotBeRead) {
  TlsTestServer server({}, [](TlsTestServer::Connection& c) {
    for (int i = 0; i < 2; ++i) {
      c.ReadRequestHead();
      c.Write("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
    }
  });
  HttpClient http;
  Modern(http);
  const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/F.ZIP";
  EXPECT_EQ(Get(http, url).body, "abc");
  EXPECT_EQ(Get(http, url).body, "abc");
  EXPECT_EQ(server.handshakes(), 1);

  http.set_tls_config(platform::TlsConfig{"/nonexistent/ca.pem", true});
  EXPECT_EQ(Get(http, url).error.rfind("CertificadoCA ilegível: ", 0), 0u);
}

}  // namespace
}  // namespace quilvane::transfer
