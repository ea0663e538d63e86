// The Windows TLS client (SChannel) against the loopback peers of
// tests/windows/tls_peer.py, run under Wine by scripts/test-windows-tls:
// the checks each name their failure, nothing is taken from a peer that
// fails them, sessions resume on one client, streams cut without their
// close alert are failures, and every wait ends.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/tls.h"

namespace quilvane::platform {
namespace {

using namespace std::chrono_literals;

// The peers' ports, from the first one on (see tls_peer.py).
enum Peer { kGood = 0, kOtherName, kExpired, kSelfSigned, kTls10, kPlain, kSilent, kCut };

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

TlsConfig TrustingTestCa() { return TlsConfig{Env("QUILVANE_TLS_CA"), false}; }

TlsStream Open(TlsClient& client, Peer peer, const std::string& host,
               std::chrono::milliseconds idle = 20s, const TlsStream* resume = nullptr,
               Deadline deadline = SteadyClock::now() + 60s) {
  SocketTimeouts timeouts;
  timeouts.connect = 10s;
  timeouts.idle = idle;
  const int port = std::atoi(Env("QUILVANE_TLS_PEER_PORT").c_str()) + peer;
  Socket socket =
      Socket::Connect(Ipv4Address{0x7f000001}, static_cast<std::uint16_t>(port), timeouts);
  return client.Connect(std::move(socket), host, deadline, resume);
}

// Sends one line and reads the answer up to the peer's close alert.
std::string Talk(TlsStream& stream, const std::string& line) {
  stream.WriteAll(line + "\n");
  std::string answer;
  char buf[997];  // odd on purpose: records are split across reads
  for (;;) {
    const size_t n = stream.Read(buf);
    if (n == 0) break;
    answer.append(buf, n);
  }
  return answer;
}

// Wine's ntdll exports its version; Windows' does not.
bool RunsUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string Hello(TlsClient& client, const TlsStream* resume = nullptr) {
  TlsStream stream = Open(client, kGood, "localhost", 20s, resume);
  return Talk(stream, "HELLO");
}

TEST(WindowsTls, GoodServerUnderEachOfItsNames) {
  TlsClient client(TrustingTestCa());
  for (const std::string host : {"localhost", "www.localhost", "127.0.0.1"}) {
    SCOPED_TRACE(host);
    TlsStream stream = Open(client, kGood, host);
    EXPECT_NE(Talk(stream, "HELLO").find("version=TLSv1.2"), std::string::npos);
    const TlsPeerInfo info = stream.peer_info();
    EXPECT_EQ(info.protocol, "TLSv1.2");
    EXPECT_NE(info.subject.find("CN=localhost"), std::string::npos) << info.subject;
    // Wine quotes a value with spaces despite CERT_NAME_STR_NO_QUOTING_FLAG.
    EXPECT_EQ(info.issuer.rfind("CN=", 0), 0u) << info.issuer;
    EXPECT_NE(info.issuer.find("Quilvane Teste CA"), std::string::npos) << info.issuer;
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_GT(info.not_after_unix, now + 20 * 86400);
    EXPECT_LT(info.not_after_unix, now + 40 * 86400);
  }
}

// Each refused peer fails in the handshake, with the kind the log names.
TEST(WindowsTls, RefusedPeersNameTheirCause) {
  struct Case {
    const char* what;
    Peer peer;
    std::string host;
    TlsConfig config;
    TlsFailure failure;
    const char* text;
  };
  const TlsConfig ours = TrustingTestCa();
  const Case cases[] = {
      {"certificate for another name", kOtherName, "localhost", ours, TlsFailure::kNameMismatch,
       "outro nome"},
      {"host the certificate does not name", kGood, "outro.localhost", ours,
       TlsFailure::kNameMismatch, "outro.localhost"},
      {"address the certificate does not name", kGood, "127.0.0.2", ours, TlsFailure::kNameMismatch,
       "127.0.0.2"},
      {"expired certificate", kExpired, "localhost", ours, TlsFailure::kExpired, "vencido"},
      {"self-signed, not in CertificadoCA", kSelfSigned, "localhost", ours, TlsFailure::kNotTrusted,
       "não confiável"},
      {"our CA unknown to the machine's store", kGood, "localhost", TlsConfig{"", true},
       TlsFailure::kNotTrusted, "não confiável"},
      {"only TLS 1.0 offered", kTls10, "localhost", ours, TlsFailure::kProtocol, "TLS"},
      {"plain text on the TLS port", kPlain, "localhost", ours, TlsFailure::kProtocol, "TLS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TlsClient client(c.config);
    try {
      TlsStream stream = Open(client, c.peer, c.host);
      ADD_FAILURE() << "connected; answer: " << Talk(stream, "HELLO");
    } catch (const TlsError& e) {
      EXPECT_EQ(static_cast<int>(e.failure()), static_cast<int>(c.failure)) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
    }
  }
}

// A data connection resumes its control connection's session: one client
// (and its copies) offers its sessions; another client does not share them.
TEST(WindowsTls, SessionsResumeWithinOneClient) {
  TlsClient client(TrustingTestCa());
  EXPECT_NE(Hello(client).find("reused=0"), std::string::npos);
  TlsStream control = Open(client, kGood, "localhost");
  if (RunsUnderWine() && Hello(client, &control).find("reused=0") != std::string::npos) {
    GTEST_SKIP() << "Wine's SChannel keeps no session cache: nothing is resumed under Wine";
  }
  EXPECT_NE(Hello(client, &control).find("reused=1"), std::string::npos);
  TlsClient copy = client;
  EXPECT_NE(Hello(copy).find("reused=1"), std::string::npos);
  TlsClient other(TrustingTestCa());
  EXPECT_NE(Hello(other).find("reused=0"), std::string::npos);
  control.Shutdown(SteadyClock::now() + 5s);
}

// A session whose certificate failed the checks is never offered again.
TEST(WindowsTls, FailedCheckLeavesNoSessionToResume) {
  TlsClient client(TrustingTestCa());
  if (RunsUnderWine()) GTEST_SKIP() << "Wine's SChannel keeps no session cache";
  EXPECT_THROW(Open(client, kGood, "outro.localhost"), TlsError);
  EXPECT_NE(Hello(client).find("reused=0"), std::string::npos);
}

TEST(WindowsTls, LargeTransfersBothWays) {
  TlsClient client(TrustingTestCa());
  constexpr size_t kSize = 3 << 20;
  {
    TlsStream stream = Open(client, kGood, "localhost");
    const std::string body = Talk(stream, "GET " + std::to_string(kSize));
    ASSERT_EQ(body.size(), kSize);
    size_t wrong = 0;
    for (size_t i = 0; i < body.size(); ++i)
      wrong += static_cast<unsigned char>(body[i]) != i % 251;
    EXPECT_EQ(wrong, 0u);
  }
  {
    TlsStream stream = Open(client, kGood, "localhost");
    std::string data(kSize, '\0');
    std::uint64_t sum = 0;
    for (size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<char>(i * 7 % 256);
      sum += static_cast<unsigned char>(data[i]);
    }
    stream.WriteAll("PUT " + std::to_string(kSize) + "\n");
    stream.WriteAll(data);
    std::string answer;
    char buf[256];
    for (size_t n; (n = stream.Read(buf)) > 0;) answer.append(buf, n);
    EXPECT_EQ(answer,
              "got=" + std::to_string(kSize) + " sum=" + std::to_string(sum % (1ull << 32)) + "\n");
  }
}

// The peer's close alert ends a stream; its absence is a cut stream.
TEST(WindowsTls, StreamWithoutCloseAlertIsTruncated) {
  TlsClient client(TrustingTestCa());
  TlsStream stream = Open(client, kCut, "localhost");
  stream.WriteAll("GET 100000\n");
  size_t got = 0;
  char buf[4096];
  try {
    for (size_t n; (n = stream.Read(buf)) > 0;) got += n;
    ADD_FAILURE() << "a cut stream read as whole after " << got << " bytes";
  } catch (const TlsError& e) {
    EXPECT_EQ(static_cast<int>(e.failure()), static_cast<int>(TlsFailure::kTruncated)) << e.what();
  }
  EXPECT_EQ(got, 100000u);
}

TEST(WindowsTls, ShutdownSendsCloseAlert) {
  TlsClient client(TrustingTestCa());
  TlsStream stream = Open(client, kGood, "localhost");
  stream.WriteAll("WAIT\n");
  char buf[64];
  EXPECT_GT(stream.Read(buf), 0u);
  stream.Shutdown(SteadyClock::now() + 5s);
  EXPECT_FALSE(stream.is_open());
  Sleep(300);
  TlsStream check = Open(client, kGood, "localhost");
  EXPECT_EQ(Talk(check, "LAST"), "clean\n");
}

// Every wait is bounded: the idle limit in the handshake and in a read, and
// the caller's deadline.
TEST(WindowsTls, SilentPeersTimeOut) {
  TlsClient client(TrustingTestCa());
  const auto timed = [](const char* what, auto&& step, std::chrono::milliseconds most) {
    SCOPED_TRACE(what);
    const auto start = SteadyClock::now();
    EXPECT_THROW(step(), SocketTimeoutError);
    EXPECT_LT(SteadyClock::now() - start, most);
  };
  timed(
      "handshake, idle limit", [&] { Open(client, kSilent, "localhost", 1s); }, 5s);
  timed(
      "handshake, deadline",
      [&] { Open(client, kSilent, "localhost", 60s, nullptr, SteadyClock::now() + 1s); }, 5s);
  TlsStream mute = Open(client, kGood, "localhost", 1s);
  mute.WriteAll("MUTE\n");
  char buf[16];
  timed(
      "read, idle limit", [&] { mute.Read(buf); }, 5s);
}

TEST(WindowsTls, UnusableCaFileIsAConfigurationError) {
  const std::string dir = Env("QUILVANE_TLS_WORK");
  std::ofstream(dir + "\\empty.pem") << "no certificate here\n";
  std::ofstream(dir + "\\broken.pem")
      << "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n";
  std::ofstream(dir + "\\cut.pem") << "-----BEGIN CERTIFICATE-----\nMIIB\n";
  for (const std::string name : {"missing.pem", "empty.pem", "broken.pem", "cut.pem"}) {
    SCOPED_TRACE(name);
    try {
      TlsClient client(TlsConfig{dir + "\\" + name, true});
      ADD_FAILURE() << "accepted";
    } catch (const TlsError& e) {
      EXPECT_EQ(static_cast<int>(e.failure()), static_cast<int>(TlsFailure::kConfig)) << e.what();
      EXPECT_NE(std::string(e.what()).find("CertificadoCA"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace quilvane::platform
