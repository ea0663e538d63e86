// Guards the settings the cycle reads every time, with their defaults.
#include "sync/settings.h"

#include <gtest/gtest.h>

#include <optional>

#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

TEST(Settings, DefaultsWithoutFile) {
  testing::FakeEnv env;
  testing::TempDir dir;
  const Settings s = ReadSettings(SettingsPath(dir.path()), env);
  EXPECT_EQ("", s.cnpj_servidor);
  EXPECT_EQ(*platform::TryEncodeDate(2023, 7, 19), s.data_ultima_sincronizacao);
  EXPECT_FALSE(s.sincronizar_preco_farmacia_popular);
  EXPECT_EQ("", s.servidor_ftp);
  EXPECT_EQ("", s.chave_publica);
}

TEST(Settings, ReadsEveryKey) {
  testing::FakeEnv env;
  testing::TempDir dir;
  dir.Write("Quilvane.ini",
            "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\nDataUltimaSincronizacao=1/2/23\r\n"
            "SincronizarPrecoFarmaciaPopular=-1\r\nServidorFTP=127.0.0.1:2121\r\n"
            "UsuarioFTP=quilvane\r\nDominioWeb=localhost:8080\r\nChavePublica=a, b\r\n");
  const Settings s = ReadSettings(SettingsPath(dir.path()), env);
  EXPECT_EQ("12.345.678/0001-90", s.cnpj_servidor);
  EXPECT_EQ(*platform::TryEncodeDate(2023, 2, 1), s.data_ultima_sincronizacao);
  EXPECT_TRUE(s.sincronizar_preco_farmacia_popular);
  EXPECT_EQ("127.0.0.1:2121", s.servidor_ftp);
  EXPECT_EQ("quilvane", s.usuario_ftp);
  EXPECT_EQ("localhost:8080", s.dominio_web);
  EXPECT_EQ("a, b", s.chave_publica);
}

// The exchange server as the cycle, the receipts and -STATUS all use it: a
// SenhaFTP in the file (quoted, so that its blanks stay) replaces the
// built-in password, and ServidorFTP's scheme reaches the FTP side.
TEST(Settings, SitePasswordAndSchemeReachTheExchangeServer) {
  testing::FakeEnv env;
  testing::TempDir dir;
  const std::string path = SettingsPath(dir.path());
  EXPECT_EQ(transfer::kFtpPassword, ExchangeServerOf(ReadSettings(path, env)).ftp_password);
  dir.Write("Quilvane.ini",
            "[Quilvane]\r\nServidorFTP=ftpes://127.0.0.1:2121\r\nSenhaFTP=\" s3nh@ \"\r\n");
  const transfer::ExchangeServer server = ExchangeServerOf(ReadSettings(path, env));
  EXPECT_EQ(" s3nh@ ", server.ftp_password);
  EXPECT_EQ(transfer::FtpSecurity::kExplicit, server.ftp_security);
  EXPECT_EQ("127.0.0.1", server.ftp_host);
  dir.Write("Quilvane.ini", "[Quilvane]\r\nSenhaFTP=\r\n");
  EXPECT_EQ(transfer::kFtpPassword, ExchangeServerOf(ReadSettings(path, env)).ftp_password);
}

// CertificadoCA may name a file beside the program, whatever the current
// folder; an absolute path stays as written.
TEST(Settings, CertificadoCaIsFoundBesideTheProgram) {
  testing::FakeEnv env;
  testing::TempDir dir;
  const std::string path = SettingsPath(dir.path());
  struct Case {
    const char* value;
    std::string ca_file;
  };
  const Case cases[] = {
      {"", ""},
      {"ca-da-rede.pem", dir.path() + "ca-da-rede.pem"},
      {"certs/ca.pem", dir.path() + "certs/ca.pem"},
      {"/etc/quilvane/ca.pem", "/etc/quilvane/ca.pem"},
  };
  for (const Case& c : cases) {
    dir.Write("Quilvane.ini", std::string("[Quilvane]\r\nCertificadoCA=") + c.value + "\r\n");
    const transfer::ExchangeServer server = ExchangeServerOf(ReadSettings(path, env));
    EXPECT_EQ(c.ca_file, server.tls.ca_file) << c.value;
    EXPECT_TRUE(server.tls.use_system_store);
  }
}

TEST(Settings, DateFollowsTheRegionalOrder) {
  testing::FakeEnv env;
  testing::TempDir dir;
  const std::string path = SettingsPath(dir.path());
  WriteLastSync(path, *platform::TryEncodeDate(2023, 2, 7), env);
  EXPECT_EQ("[Quilvane]\r\nDataUltimaSincronizacao=07/02/2023\r\n", dir.Read("Quilvane.ini"));
  env.set_regional({'/', ':', '.', "M/d/yyyy"});
  EXPECT_EQ(*platform::TryEncodeDate(2023, 7, 2),
            ReadSettings(path, env).data_ultima_sincronizacao);
  env.set_regional({'-', ':', ',', "dd/MM/yyyy"});
  // "07/02/2023" does not convert with "-": the default.
  EXPECT_EQ(*platform::TryEncodeDate(2023, 7, 19),
            ReadSettings(path, env).data_ultima_sincronizacao);
}

TEST(Settings, FutureDaysNeverShutTheGate) {
  // The two rules for a day after today, side by side as settings.h has them.
  testing::FakeEnv env;
  env.SetNow(2023, 10, 17, 14, 5, 9);
  const auto day = [](int y, int m, int d) { return *platform::TryEncodeDate(y, m, d); };
  struct Case {
    platform::DateTime recorded;
    bool discarded;
    platform::DateTime kept;
  };
  const Case recorded_cases[] = {
      {day(2023, 10, 16), false, day(2023, 10, 16)},
      {day(2023, 10, 17) + 0.9, false, day(2023, 10, 17) + 0.9},  // today, whatever the hour
      {day(2023, 10, 18), true, day(2023, 7, 19)},                // today minus 90 days
      {day(2031, 1, 1), true, day(2023, 7, 19)},
  };
  for (const Case& c : recorded_cases) {
    Settings s;
    s.data_ultima_sincronizacao = c.recorded;
    EXPECT_EQ(c.discarded, DiscardFutureLastSync(s, env)) << c.recorded;
    EXPECT_EQ(c.kept, s.data_ultima_sincronizacao) << c.recorded;
  }
  // An imported file's day: the earlier of it and today, without its hour.
  EXPECT_EQ(day(2023, 10, 16), ImportedDayToRecord(day(2023, 10, 16) + 0.5, env));
  EXPECT_EQ(day(2023, 10, 17), ImportedDayToRecord(day(2023, 10, 17), env));
  EXPECT_EQ(day(2023, 10, 17), ImportedDayToRecord(day(2023, 12, 20), env));
}

// The download ceiling is a number from a file: anything but a whole number
// of megabytes in range falls back to the default and is kept for the log.
TEST(Settings, DownloadCeilingIsBoundedAndBadValuesAreKeptForTheLog) {
  struct Case {
    const char* text;  // nullptr: no key
    int mb;
    bool invalid;
  };
  const Case cases[] = {
      {nullptr, 512, false}, {"1", 1, false},     {"4095", 4095, false},      {"0", 512, true},
      {"-5", 512, true},     {"4096", 512, true}, {"99999999999", 512, true}, {"12MB", 512, true},
      {"0x10", 16, false},   {"", 512, false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.text ? tc.text : "(absent)");
    testing::FakeEnv env;
    testing::TempDir dir;
    std::string ini = "[Quilvane]\r\nCNPJServidor=1\r\n";
    if (tc.text) ini += std::string("TamanhoMaximoMB=") + tc.text + "\r\n";
    dir.Write("Quilvane.ini", ini);
    const Settings s = ReadSettings(SettingsPath(dir.path()), env);
    EXPECT_EQ(s.tamanho_maximo_mb, tc.mb);
    EXPECT_EQ(s.tamanho_maximo_invalido, tc.invalid ? tc.text : "");
  }
}

// The operator saves an edit while a cycle runs: the cycle's write of the
// day starts from the file as it is then, so the edit and the day both stay.
TEST(Settings, AHandEditBetweenTheReadAndTheWriteIsKept) {
  testing::FakeEnv env;
  testing::TempDir dir;
  const std::string path = SettingsPath(dir.path());
  dir.Write("Quilvane.ini", "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\n");
  const Settings read = ReadSettings(path, env);
  EXPECT_EQ("", read.chave_publica);

  dir.Write("Quilvane.ini",
            "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\nChavePublica=abc\r\n"
            "; nova chave\r\n[Outra]\r\nX=1\r\n");
  WriteLastSync(path, *platform::TryEncodeDate(2023, 10, 17), env);
  WriteNewestFileDay(path, *platform::TryEncodeDate(2023, 10, 18), env);

  EXPECT_EQ(
      "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\nChavePublica=abc\r\n"
      "DataUltimaSincronizacao=17/10/2023\r\nDataUltimoArquivo=18/10/2023\r\n; nova chave\r\n"
      "[Outra]\r\nX=1\r\n",
      dir.Read("Quilvane.ini"));
  const Settings after = ReadSettings(path, env);
  EXPECT_EQ("abc", after.chave_publica);
  EXPECT_EQ(*platform::TryEncodeDate(2023, 10, 17), after.data_ultima_sincronizacao);
}

// The day the receipt reports and -CHECK judges is the one the next cycle
// reads: the same regional parse, a short year against the current one, and
// nothing for a missing or unreadable value (the cycle then looks back).
TEST(Settings, RecordedDayIsReadAsTheCycleReadsIt) {
  testing::FakeEnv env;
  testing::TempDir dir;
  const std::string path = SettingsPath(dir.path());
  EXPECT_FALSE(RecordedDay(path, env).has_value()) << "no file";
  struct Case {
    const char* ini;
    std::optional<platform::DateTime> day;
  } const cases[] = {
      {"[Quilvane]\r\nCNPJServidor=1\r\n", std::nullopt},
      {"[Quilvane]\r\nDataUltimaSincronizacao=\r\n", std::nullopt},
      {"[Quilvane]\r\nDataUltimaSincronizacao=31/02/2023\r\n", std::nullopt},
      {"[Quilvane]\r\nDataUltimaSincronizacao=ontem\r\n", std::nullopt},
      {"[Outra]\r\nDataUltimaSincronizacao=17/10/2023\r\n", std::nullopt},
      {"[Quilvane]\r\nDataUltimaSincronizacao=17/10/2023\r\n",
       platform::TryEncodeDate(2023, 10, 17)},
      {"[Quilvane]\r\nDataUltimaSincronizacao=1/2/23\r\n", platform::TryEncodeDate(2023, 2, 1)},
  };
  for (const Case& c : cases) {
    dir.Write("Quilvane.ini", c.ini);
    EXPECT_EQ(c.day, RecordedDay(path, env)) << c.ini;
    // The cycle's own read agrees, falling back to 90 days before today.
    EXPECT_EQ(c.day.value_or(*platform::TryEncodeDate(2023, 7, 19)),
              ReadSettings(path, env).data_ultima_sincronizacao)
        << c.ini;
  }
}

}  // namespace
}  // namespace quilvane::sync
