// The TLS client against in-test OpenSSL servers with the test CA: every
// check names its cause and lets no byte through, sessions resume, a stream
// cut without its close alert is never taken for a whole one, and every wait
// ends.
#include "platform/tls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/file.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_server.h"

namespace quilvane::platform {
namespace {

using namespace std::chrono_literals;
using testing::TestCaDir;
using testing::TestCert;
using testing::TlsTestServer;
using Connection = TlsTestServer::Connection;
using Options = TlsTestServer::Options;

TlsConfig TestTrust() { return TlsConfig{TestCert("ca"), false}; }

TlsStream Open(TlsClient& client, const TlsTestServer& server, const std::string& host,
               std::chrono::milliseconds idle = 10s, const TlsStream* resume = nullptr) {
  Socket socket = Socket::Connect(Ipv4Address{0x7f000001}, server.port(), {5s, idle});
  return client.Connect(std::move(socket), host, SteadyClock::now() + 30s, resume);
}

std::string ReadAll(TlsStream& stream, size_t chunk = 997) {
  std::string out(chunk, '\0');
  std::string all;
  for (;;) {
    size_t n = stream.Read(std::span<char>(out));
    if (n == 0) return all;
    all.append(out.data(), n);
  }
}

// Answers one line with "you said: <line>" and closes with its alert.
void Echo(Connection& c) {
  std::string line = c.ReadLine();
  c.Write("you said: " + line);
}

TEST(Tls, GoodServerUnderEachOfItsNames) {
  TlsTestServer server({}, Echo);
  TlsClient client(TestTrust());
  for (const std::string host : {"localhost", "www.localhost", "127.0.0.1"}) {
    SCOPED_TRACE(host);
    TlsStream stream = Open(client, server, host);
    stream.WriteAll("HELLO\n");
    EXPECT_EQ(ReadAll(stream), "you said: HELLO\n");
    const TlsPeerInfo info = stream.peer_info();
    EXPECT_EQ(info.protocol, "TLSv1.3");
    EXPECT_EQ(info.subject, "CN=localhost");
    EXPECT_EQ(info.issuer, "CN=Quilvane Teste CA");
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_GT(info.not_after_unix, now + 29 * 86400);
    EXPECT_LT(info.not_after_unix, now + 31 * 86400);
  }
}

TEST(Tls, Tls12ServerIsAccepted) {
  TlsTestServer server(Options::Versions(TLS1_2_VERSION, TLS1_2_VERSION), Echo);
  TlsClient client(TestTrust());
  TlsStream stream = Open(client, server, "localhost");
  stream.WriteAll("X\n");
  EXPECT_EQ(ReadAll(stream), "you said: X\n");
  EXPECT_EQ(stream.peer_info().protocol, "TLSv1.2");
}

// Each refused peer fails in the handshake with the kind and the text the
// log shows; the server never sees a request.
TEST(Tls, RefusedPeersNameTheirCause) {
  struct Case {
    const char* what;
    TlsTestServer::Options server;
    std::string host;
    TlsConfig trust;
    TlsFailure failure;
    std::string text;  // the start of what()
  };
  const Case cases[] = {
      {"certificate for another name", Options::Cert("other"), "localhost", TestTrust(),
       TlsFailure::kNameMismatch,
       "Certificado emitido para outro nome: CN=outro.localhost (emitido por CN=Quilvane Teste "
       "CA) não vale para localhost"},
      {"host the certificate does not name",
       {},
       "outro.localhost",
       TestTrust(),
       TlsFailure::kNameMismatch,
       "Certificado emitido para outro nome: CN=localhost"},
      {"address the certificate does not name",
       {},
       "127.0.0.2",
       TestTrust(),
       TlsFailure::kNameMismatch,
       "Certificado emitido para outro nome: CN=localhost"},
      {"expired certificate", Options::Cert("expired"), "localhost", TestTrust(),
       TlsFailure::kExpired,
       "Certificado vencido ou ainda não válido: CN=localhost (emitido por CN=Quilvane Teste CA), "
       "válido de 01/01/2020 a 01/01/2021"},
      {"self-signed, not in CertificadoCA", Options::Cert("self"), "localhost", TestTrust(),
       TlsFailure::kNotTrusted,
       "Certificado não confiável: CN=localhost (emitido por CN=localhost): certificado "
       "autoassinado"},
      {"our CA unknown to the system's store",
       {},
       "localhost",
       TlsConfig{"", true},
       TlsFailure::kNotTrusted,
       "Certificado não confiável: CN=localhost (emitido por CN=Quilvane "
       "Teste CA): a raiz da cadeia não é confiável"},
      {"only TLS 1.0 offered", Options::Versions(TLS1_VERSION, TLS1_VERSION), "localhost",
       TestTrust(), TlsFailure::kProtocol,
       "Falha no protocolo TLS: o servidor não negocia TLS 1.2 ou posterior"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool served = false;
    TlsTestServer server(c.server, [&](Connection&) { served = true; });
    TlsClient client(c.trust);
    try {
      Open(client, server, c.host);
      ADD_FAILURE() << "connected";
    } catch (const TlsError& e) {
      EXPECT_EQ(e.failure(), c.failure);
      EXPECT_EQ(std::string(e.what()).substr(0, c.text.size()), c.text) << e.what();
    }
    EXPECT_FALSE(served);
  }
}

TEST(Tls, PlainTextOnATlsPortIsAProtocolFailure) {
  TlsTestServer server(Options::Plain(), [](Connection& c) {
    c.ReadLine();  // the client's hello, whatever it is
    c.Write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
  });
  TlsClient client(TestTrust());
  try {
    Open(client, server, "localhost");
    FAIL() << "connected";
  } catch (const TlsError& e) {
    EXPECT_EQ(e.failure(), TlsFailure::kProtocol);
    EXPECT_EQ(std::string(e.what()).rfind("Falha no protocolo TLS: resposta que não é TLS", 0), 0u)
        << e.what();
  }
}

TEST(Tls, CloseAlertEndsTheStreamAndACutOneFails) {
  const std::string body(300 * 1024, 'b');
  TlsTestServer clean({}, [&](Connection& c) {
    c.Write(body);
    c.CloseNotify();
  });
  TlsTestServer cut({}, [&](Connection& c) {
    c.Write(body);
    c.Cut();
  });
  TlsClient client(TestTrust());
  TlsStream whole = Open(client, clean, "localhost");
  EXPECT_EQ(ReadAll(whole, 65536), body);
  EXPECT_EQ(whole.Read(std::span<char>(std::string(10, ' ').data(), 10)), 0u);

  TlsStream broken = Open(client, cut, "localhost");
  std::string got;
  try {
    got = ReadAll(broken, 65536);
    FAIL() << "a cut stream read as whole";
  } catch (const TlsError& e) {
    EXPECT_EQ(e.failure(), TlsFailure::kTruncated);
    EXPECT_STREQ(e.what(), "Conexão TLS cortada: terminou sem o aviso de fechamento do servidor");
  }
  // Reading again reports the same: the stream never turns into a clean end.
  char c;
  EXPECT_THROW(broken.Read(std::span<char>(&c, 1)), TlsError);
}

// An FTP data connection must resume the control connection's session;
// with TLS 1.3 the ticket comes after the handshake, with the first reply.
TEST(Tls, SecondConnectionResumesTheFirstOnesSession) {
  for (int max_version : {TLS1_2_VERSION, 0}) {
    SCOPED_TRACE(max_version == 0 ? "TLS 1.3" : "TLS 1.2");
    TlsTestServer server(Options::Versions(TLS1_2_VERSION, max_version), Echo);
    TlsClient client(TestTrust());
    TlsStream control = Open(client, server, "localhost");
    control.WriteAll("USER\n");
    ASSERT_EQ(ReadAll(control), "you said: USER\n");
    for (int i = 0; i < 2; ++i) {
      TlsStream data = Open(client, server, "127.0.0.1", 10s, &control);
      data.WriteAll("DATA\n");
      EXPECT_EQ(ReadAll(data), "you said: DATA\n");
      EXPECT_EQ(server.resumed(), i + 1);
    }
    EXPECT_EQ(server.handshakes(), 3);
    EXPECT_EQ(server.resumed(), 2);
  }
}

TEST(Tls, SilentPeersEndInTimeouts) {
  TlsTestServer after_handshake({}, [](Connection& c) { c.ReadLine(); });
  TlsTestServer before_handshake(Options::Plain(), [](Connection& c) { c.ReadRequestHead(); });
  TlsClient client(TestTrust());

  TlsStream stream = Open(client, after_handshake, "localhost", 300ms);
  auto start = SteadyClock::now();
  char c;
  EXPECT_THROW(stream.Read(std::span<char>(&c, 1)), TimeoutError);
  EXPECT_LT(SteadyClock::now() - start, 5s);
  // The deadline wins over a longer idle limit.
  TlsStream again = Open(client, after_handshake, "localhost", 60s);
  start = SteadyClock::now();
  EXPECT_THROW(again.Read(std::span<char>(&c, 1), SteadyClock::now() + 200ms), TimeoutError);
  EXPECT_LT(SteadyClock::now() - start, 5s);

  start = SteadyClock::now();
  EXPECT_THROW(Open(client, before_handshake, "localhost", 300ms), TimeoutError);
  EXPECT_LT(SteadyClock::now() - start, 5s);
}

TEST(Tls, ShutdownSendsTheCloseAlert) {
  std::string after;
  TlsTestServer server({}, [&](Connection& c) {
    c.Write("ticket first\n");
    after = c.ReadLine();
    after += "|" + c.ReadLine();  // the data, then the end
  });
  TlsClient client(TestTrust());
  {
    TlsStream stream = Open(client, server, "localhost");
    stream.WriteAll("last line\n");
    stream.Shutdown(SteadyClock::now() + 2s);
    EXPECT_FALSE(stream.is_open());
  }
  server.Stop();
  EXPECT_EQ(after, "last line\n|");
}

TEST(Tls, CertificadoCaProblemsAreConfigurationFailures) {
  testing::TempDir dir;
  const std::string empty = dir.path() + "/empty.pem";
  const std::string garbled = dir.path() + "/garbled.pem";
  WriteFileAtomically(empty, "no certificates here\n");
  WriteFileAtomically(garbled, "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
  struct Case {
    std::string file;
    std::string text;
  };
  const Case cases[] = {
      {dir.path() + "/missing.pem", "CertificadoCA ilegível: "},
      {empty, "CertificadoCA sem nenhum certificado PEM: " + empty},
      {garbled, "CertificadoCA com certificado inválido (1º): " + garbled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    try {
      TlsClient client(TlsConfig{c.file, false});
      ADD_FAILURE() << "loaded";
    } catch (const TlsError& e) {
      EXPECT_EQ(e.failure(), TlsFailure::kConfig);
      EXPECT_EQ(std::string(e.what()).substr(0, c.text.size()), c.text) << e.what();
    }
  }
  // The CA after another certificate in the same file still counts.
  const std::string two = dir.path() + "/two.pem";
  WriteFileAtomically(two, ReadFileToString(TestCert("self")) + ReadFileToString(TestCert("ca")));
  TlsTestServer server({}, Echo);
  TlsClient client(TlsConfig{two, false});
  TlsStream stream = Open(client, server, "localhost");
  stream.WriteAll("ok\n");
  EXPECT_EQ(ReadAll(stream), "you said: ok\n");
}

}  // namespace
}  // namespace quilvane::platform
