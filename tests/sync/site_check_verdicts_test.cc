// -CHECK's verdicts from what was probed, without a site: each item's
// boundaries between OK, AVISO and FALHA, and the words the operator reads.
#include "sync/site_check_verdicts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "exchange/signature.h"

namespace quilvane::sync {
namespace {

platform::DateTime At(int year, int month, int day, int hour = 12, int minute = 0) {
  return *platform::TryEncodeDate(year, month, day) + platform::EncodeTime(hour, minute, 0, 0);
}

std::int64_t UnixOf(platform::DateTime local) { return std::llround((local - 25569) * 86400); }

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The expected status, and a part of the detail.
struct Expected {
  CheckStatus status;
  const char* detail;
};

void ExpectResult(const CheckResult& r, const char* item, const Expected& e) {
  EXPECT_EQ(r.item, item);
  EXPECT_EQ(r.status, e.status) << r.detail;
  EXPECT_TRUE(Has(r.detail, e.detail)) << r.detail;
  EXPECT_FALSE(Has(r.detail, "\n")) << r.detail;
}

TEST(SiteCheckVerdicts, Settings) {
  const Expected kFailure{CheckStatus::kFailure, ""}, kWarning{CheckStatus::kWarning, ""};
  struct Case {
    const char* cnpj;
    Expected expected;
  } const cnpjs[] = {
      {"", {CheckStatus::kFailure, "vazio em /s/Quilvane.ini: o ciclo não faz nada"}},
      {"123", {CheckStatus::kWarning, "\"123\" não tem os 14 números"}},
      {"12.345.678/0001-9", {CheckStatus::kWarning, "14 números"}},
      {"12.345.678/0001-90", {CheckStatus::kOk, "12.345.678/0001-90"}},
      {"12345678000190", {CheckStatus::kOk, "12345678000190"}},
  };
  for (const Case& c : cnpjs) {
    ExpectResult(JudgeCnpj(c.cnpj, "/s/Quilvane.ini"), "CNPJServidor", c.expected);
  }

  // The keys that are only judged when written.
  const auto popular = &JudgePopularPrices;
  const auto keys = &JudgePublicKeys;
  const std::string key = exchange::EncodePublicKey(exchange::PublicKey{1, 2, 3});
  struct Optional {
    decltype(popular) judge;
    const char* item;
    std::string text;
    std::optional<Expected> expected;  // none: no item
  } const optional[] = {
      {popular, "SincronizarPrecoFarmaciaPopular", "", std::nullopt},
      {popular, "SincronizarPrecoFarmaciaPopular", "0", Expected{CheckStatus::kOk, "não"}},
      {popular, "SincronizarPrecoFarmaciaPopular", "1", Expected{CheckStatus::kOk, "sim"}},
      {popular, "SincronizarPrecoFarmaciaPopular", "-5", Expected{CheckStatus::kOk, "sim"}},
      {popular, "SincronizarPrecoFarmaciaPopular", "talvez",
       Expected{CheckStatus::kWarning, "\"talvez\" não é um número: vale 0"}},
      {popular, "SincronizarPrecoFarmaciaPopular", "99999999999", kWarning},
      {keys, "ChavePublica", "", std::nullopt},
      {keys, "ChavePublica", "abc",
       Expected{CheckStatus::kFailure, ": copie de novo a chave da matriz"}},
      {keys, "ChavePublica", "%%%, ", kFailure},
      {keys, "ChavePublica", key, Expected{CheckStatus::kOk, "1 chave"}},
      {keys, "ChavePublica", key + "," + key, Expected{CheckStatus::kOk, "2 chaves"}},
  };
  for (const Optional& c : optional) {
    SCOPED_TRACE(c.text);
    const std::optional<CheckResult> r = c.judge(c.text);
    ASSERT_EQ(r.has_value(), c.expected.has_value());
    if (r) ExpectResult(*r, c.item, *c.expected);
  }
}

TEST(SiteCheckVerdicts, LastSyncAgainstTheLocalDay) {
  const platform::FormatSettings fs;
  struct Case {
    const char* text;
    platform::DateTime now;
    Expected expected;
  } const cases[] = {
      {"", At(2026, 12, 10), {CheckStatus::kOk, "nenhuma registrada"}},
      {"31/02/2026", At(2026, 12, 10), {CheckStatus::kWarning, "não é uma data como 10/12/2026"}},
      {"ontem", At(2026, 12, 10), {CheckStatus::kWarning, "apague DataUltimaSincronizacao"}},
      {"11/12/2026", At(2026, 12, 10, 23, 59), {CheckStatus::kWarning, "está no futuro"}},
      {"10/12/2026", At(2026, 12, 10, 0, 0), {CheckStatus::kOk, "10/12/2026 (hoje)"}},
      {"10/12/2026", At(2026, 12, 10, 23, 59), {CheckStatus::kOk, "(hoje)"}},
      {"09/12/2026", At(2026, 12, 10, 0, 0), {CheckStatus::kOk, "09/12/2026: o próximo ciclo"}},
      // Across a new year.
      {"31/12/2026", At(2027, 1, 1), {CheckStatus::kOk, "o próximo ciclo sincroniza"}},
      {"01/01/2027", At(2026, 12, 31), {CheckStatus::kWarning, "no futuro"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ExpectResult(JudgeLastSync(c.text, c.now, fs), "Última sincronização", c.expected);
  }
}

TEST(SiteCheckVerdicts, ClientLibraryAndDatabase) {
  const std::vector<std::string> names = {"libfbclient.so.2", "libfbclient.so"};
  struct Case {
    ClientLibraryProbe probe;
    Expected expected;
  } const cases[] = {
      {{"", false, "not found"},
       {CheckStatus::kFailure,
        "nenhuma de libfbclient.so.2 or libfbclient.so carregou (not found)"}},
      {{"/lib/libz.so", false, ""}, {CheckStatus::kFailure, "/lib/libz.so não é o cliente"}},
      {{"/lib/libfbclient.so.2", true, ""}, {CheckStatus::kOk, "/lib/libfbclient.so.2"}},
  };
  for (const Case& c : cases) {
    const CheckResult r = JudgeClientLibrary(c.probe, names, "x86_64");
    ExpectResult(r, "Biblioteca do Firebird", c.expected);
    if (c.probe.file.empty()) {
      EXPECT_TRUE(Has(r.detail, "instale o cliente do Firebird para x86_64")) << r.detail;
    }
  }

  // The connection's message, whatever its lines, is one line of the item.
  const std::string why = "Unable to complete network request\r\nto host \"h\".\r\n";
  std::vector<CheckResult> results = JudgeDatabaseFailure("h:/db.fdb", why, "");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, CheckStatus::kFailure);
  EXPECT_EQ(results[0].detail,
            "h:/db.fdb: Unable to complete network request; to host \"h\".; confira Servidor e "
            "Caminho em tolmarc.ini e o servidor Firebird");
  // With a CNPJ the role stays unknown, and says what that leaves out.
  results = JudgeDatabaseFailure("h:/db.fdb", why, "12345678000190");
  ASSERT_EQ(results.size(), 2u);
  ExpectResult(results[1], "Função do site", {CheckStatus::kWarning, "não determinada"});
}

TEST(SiteCheckVerdicts, RoleFromPadraoAgainstCnpjServidor) {
  const std::string cnpj = "12.345.678/0001-90", digits = "12345678000190";
  struct Case {
    const char* cgc;
    SiteRole role;
    Expected expected;
  } const cases[] = {
      {"12.345.678/0001-90", SiteRole::kHeadOffice, {CheckStatus::kOk, "matriz"}},
      // The same number written otherwise: most likely a head office.
      {"12345678000190", SiteRole::kBranch, {CheckStatus::kWarning, "filial, mas PADRAO.CGC"}},
      {"98.765.432/0001-10", SiteRole::kBranch, {CheckStatus::kOk, "filial (PADRAO.CGC \"98"}},
      {"", SiteRole::kBranch, {CheckStatus::kOk, "filial (PADRAO.CGC vazio)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cgc);
    const RoleVerdict v = JudgeRole(c.cgc, cnpj, digits);
    EXPECT_EQ(v.role, c.role);
    ASSERT_TRUE(v.result.has_value());
    ExpectResult(*v.result, "Função do site", c.expected);
  }
  // No CNPJServidor: no role, and nothing more to say than its own item.
  const RoleVerdict none = JudgeRole("12.345.678/0001-90", "", "");
  EXPECT_EQ(none.role, SiteRole::kUnknown);
  EXPECT_FALSE(none.result.has_value());
}

TEST(SiteCheckVerdicts, ProgramFolderSpaceAndWritability) {
  SiteCheckOptions options;
  options.min_free_bytes = 64 << 20;
  options.low_free_bytes = 512 << 20;
  struct Case {
    FolderProbe probe;
    Expected expected;
  } const cases[] = {
      {{"Permission denied", 1ull << 40, ""},
       {CheckStatus::kFailure, "/q/: não gravável (Permission denied); dê ao serviço"}},
      {{std::nullopt, std::nullopt, "statvfs failed"},
       {CheckStatus::kWarning, "/q/: gravável, espaço livre desconhecido (statvfs failed)"}},
      {{std::nullopt, 0, ""}, {CheckStatus::kFailure, "/q/: só 0 bytes livres"}},
      {{std::nullopt, (64 << 20) - 1, ""}, {CheckStatus::kFailure, "só 64,0 MB livres"}},
      {{std::nullopt, 64 << 20, ""}, {CheckStatus::kWarning, "64,0 MB livres; pouco espaço"}},
      {{std::nullopt, (512 << 20) - 1, ""}, {CheckStatus::kWarning, "pouco espaço"}},
      {{std::nullopt, 512 << 20, ""}, {CheckStatus::kOk, "/q/: gravável, 512,0 MB livres"}},
      {{std::nullopt, 5ull << 40, ""}, {CheckStatus::kOk, "5,0 TB livres"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.detail);
    ExpectResult(JudgeProgramFolder("/q/", c.probe, options, ','), "Pasta do programa", c.expected);
  }
}

TEST(SiteCheckVerdicts, Log) {
  struct Case {
    LogProbe probe;
    bool folder_writable;
    Expected expected;
  } const cases[] = {
      {{false, std::nullopt}, true, {CheckStatus::kOk, "/q/Quilvane.log: será criado"}},
      {{false, std::nullopt}, false, {CheckStatus::kFailure, "não existe e a pasta não é"}},
      {{true, "Is a directory"}, true, {CheckStatus::kFailure, "Is a directory; o serviço"}},
      {{true, std::nullopt}, false, {CheckStatus::kOk, "/q/Quilvane.log: gravável"}},
  };
  for (const Case& c : cases) {
    ExpectResult(JudgeLog("/q/Quilvane.log", c.probe, c.folder_writable), "Log", c.expected);
  }
}

TEST(SiteCheckVerdicts, ClockToleranceBoundaries) {
  constexpr std::int64_t kLocal = 1'800'000'000;
  struct Case {
    std::optional<std::int64_t> server_minus_local;  // none: no Date came
    Expected expected;
  } const cases[] = {
      {std::nullopt, {CheckStatus::kWarning, "não verificado"}},
      {0, {CheckStatus::kOk, "diferença de 0 s para o servidor de troca"}},
      {119, {CheckStatus::kOk, "diferença de 119 s"}},
      {-120, {CheckStatus::kOk, "diferença de 2 min"}},
      {300, {CheckStatus::kOk, "diferença de 5 min"}},
      {-300, {CheckStatus::kOk, "diferença de 5 min"}},
      {301, {CheckStatus::kWarning, "este computador está 5 min atrasado"}},
      {-301, {CheckStatus::kWarning, "5 min adiantado"}},
      {-86400, {CheckStatus::kWarning, "1440 min adiantado"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.detail);
    std::optional<std::int64_t> server;
    if (c.server_minus_local) server = kLocal + *c.server_minus_local;
    ExpectResult(JudgeClock(server, kLocal, std::chrono::seconds(300)), "Relógio", c.expected);
  }
}

TEST(SiteCheckVerdicts, TimesAndSizesAsTheOperatorReadsThem) {
  // The local offset comes from the two clocks, to the quarter hour: a
  // local clock some seconds off still shows whole minutes of the zone.
  const platform::DateTime local = At(2026, 12, 10, 9, 0);
  platform::FormatSettings fs;
  fs.time_separator = 'h';
  struct Case {
    std::int64_t utc_now;
    const char* text;  // of utc_now + one hour
  } const cases[] = {
      {UnixOf(local) + 3 * 3600, "10/12/2026 10h00"},       // UTC-3
      {UnixOf(local) + 3 * 3600 + 40, "10/12/2026 10h00"},  // drifted 40 s
      {UnixOf(local) - 5 * 3600 - 1800, "10/12/2026 10h00"},
  };
  for (const Case& c : cases) {
    const ClockReading clock{c.utc_now, local, fs};
    EXPECT_EQ(clock.LocalText(c.utc_now + 3600), c.text) << c.utc_now - UnixOf(local);
  }
  // A certificate's end weeks ahead, past midnight and the new year.
  const ClockReading brasilia{UnixOf(local) + 3 * 3600, local, fs};
  EXPECT_EQ(brasilia.LocalText(brasilia.utc_now + 22 * 86400 + 15 * 3600), "02/01/2027 00h00");

  struct Bytes {
    std::uint64_t bytes;
    const char* text;
  } const sizes[] = {
      {0, "0 bytes"},
      {1023, "1023 bytes"},
      {1024, "1,0 KB"},
      {1536, "1,5 KB"},
      {(1ull << 20) - 1, "1024,0 KB"},
      {3ull << 30, "3,0 GB"},
      {1ull << 50, "1024,0 TB"},
  };
  for (const Bytes& b : sizes) EXPECT_EQ(FormatBytes(b.bytes, ','), b.text) << b.bytes;
  EXPECT_EQ(FormatBytes(1536, '.'), "1.5 KB");

  struct Lines {
    const char* text;
    const char* line;
  } const lines[] = {
      {"a\r\nb", "a; b"},
      {"a\n\n\r\nb\n", "a; b"},
      {"\r\nstatement failed", "statement failed"},
      {"a; \r\n", "a"},
      {"", ""},
      {"one", "one"},
  };
  for (const Lines& l : lines) EXPECT_EQ(OneLine(l.text), l.line) << l.text;
}

}  // namespace
}  // namespace quilvane::sync
