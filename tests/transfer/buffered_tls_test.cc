// BufferedSocket over TLS, as both clients use it: the switch from clear
// text (AUTH TLS) refuses bytes a peer slipped in before the handshake, and
// the waits that decide keep-alive and an empty redirect body see data and
// the close alert, not the records TLS keeps for itself.
#include "transfer/buffered_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/tls_server.h"

namespace quilvane::transfer {
namespace {

using namespace std::chrono_literals;
using platform::SteadyClock;
using testing::TestCert;
using testing::TlsTestServer;
using Connection = TlsTestServer::Connection;
using Options = TlsTestServer::Options;

platform::TlsConfig TestTrust() { return platform::TlsConfig{TestCert("ca"), false}; }

BufferedSocket Dial(const TlsTestServer& server) {
  return BufferedSocket(
      platform::Socket::Connect(platform::Ipv4Address{0x7f000001}, server.port(), {5s, 10s}));
}

platform::Deadline Soon() { return SteadyClock::now() + 10s; }

TEST(BufferedTls, ClearTextAnswerThenTls) {
  TlsTestServer server(Options::ClearTextFirst("234 AUTH TLS ok\r\n"),
                       [](Connection& c) { c.Write("200 " + c.ReadLine()); });
  platform::TlsClient client(TestTrust());
  BufferedSocket s = Dial(server);
  EXPECT_EQ(s.ReadLine(512, Soon()), "234 AUTH TLS ok");
  EXPECT_FALSE(s.tls());
  s.StartTls(client, "localhost", Soon());
  EXPECT_TRUE(s.tls());
  EXPECT_EQ(s.tls_peer_info().subject, "CN=localhost");
  s.WriteAll("PBSZ 0\r\n", Soon());
  EXPECT_EQ(s.ReadLine(512, Soon()), "200 PBSZ 0");
  EXPECT_EQ(s.ReadLine(512, Soon()), std::nullopt);  // the close alert
}

// A man in the middle that appends a line to the clear-text answer would
// have it read as the first protected reply.
TEST(BufferedTls, BytesAheadOfTheHandshakeAreRefused) {
  TlsTestServer server(Options::ClearTextFirst("234 AUTH TLS ok\r\n230 Logged in\r\n"),
                       [](Connection&) {});
  platform::TlsClient client(TestTrust());
  BufferedSocket s = Dial(server);
  EXPECT_EQ(s.ReadLine(512, Soon()), "234 AUTH TLS ok");
  try {
    s.StartTls(client, "localhost", Soon());
    FAIL() << "handshake ran";
  } catch (const platform::TlsError& e) {
    EXPECT_EQ(e.failure(), platform::TlsFailure::kProtocol);
    EXPECT_STREQ(e.what(), "Falha no protocolo TLS: dados em claro antes da negociação TLS");
  }
  EXPECT_FALSE(s.is_open());
}

TEST(BufferedTls, WaitsSeeDataAndTheCloseAlertOnly) {
  TlsTestServer server({}, [](Connection& c) {
    c.ReadLine();
    c.Write("late\n");
    c.ReadLine();
    c.CloseNotify();
  });
  platform::TlsClient client(TestTrust());
  BufferedSocket s = Dial(server);
  s.StartTls(client, "localhost", Soon());
  // TLS 1.3 session tickets arrive now: no data, no close.
  EXPECT_FALSE(s.WaitReadable(300ms));
  EXPECT_FALSE(s.PeerClosed());
  s.WriteAll("go\n", Soon());
  EXPECT_TRUE(s.WaitReadable(5s));
  EXPECT_FALSE(s.PeerClosed());
  EXPECT_EQ(s.ReadLine(512, Soon()), "late");
  s.WriteAll("bye\n", Soon());
  const auto until = SteadyClock::now() + 5s;
  while (!s.PeerClosed() && SteadyClock::now() < until) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(s.PeerClosed());
}

TEST(BufferedTls, DataConnectionResumesTheControlSession) {
  TlsTestServer server({}, [](Connection& c) { c.Write("ok " + c.ReadLine()); });
  platform::TlsClient client(TestTrust());
  BufferedSocket control = Dial(server);
  control.StartTls(client, "localhost", Soon());
  control.WriteAll("PBSZ 0\n", Soon());
  EXPECT_EQ(control.ReadLine(512, Soon()), "ok PBSZ 0");
  BufferedSocket data = Dial(server);
  data.StartTls(client, "localhost", Soon(), &control);
  data.WriteAll("STOR\n", Soon());
  EXPECT_EQ(data.ReadLine(512, Soon()), "ok STOR");
  data.Shutdown(Soon());
  EXPECT_FALSE(data.is_open());
  EXPECT_EQ(server.resumed(), 1);
}

}  // namespace
}  // namespace quilvane::transfer
