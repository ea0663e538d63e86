// -CHECK's verdict on a branch's three download addresses from what each
// request gave: how the cycle would use them, and the certificates shown.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "sync/site_check_verdicts.h"

namespace quilvane::sync {
namespace {

constexpr std::int64_t kDay = 86400;

struct Expected {
  CheckStatus status;
  std::vector<const char*> parts;  // of the detail
  const char* absent = nullptr;    // never in the detail
};

WebProbe Zip(std::int64_t length = -1) {
  WebProbe p;
  p.answered = p.zip = true;
  p.length = length;
  return p;
}
WebProbe Other() {
  WebProbe p;
  p.answered = true;
  return p;
}
WebProbe Down(const char* error, bool certificate_refused = false) {
  WebProbe p;
  p.error = error;
  p.certificate_refused = certificate_refused;
  return p;
}
WebProbe WithTls(WebProbe p, std::int64_t not_after) {
  p.tls = platform::TlsPeerInfo{"TLSv1.3", "CN=www.d", "CN=CA", not_after};
  return p;
}

TEST(SiteCheckDownloads, EachAddressAsTheCycleUsesIt) {
  // 09:00 local, UTC-3.
  const platform::DateTime local = *platform::TryEncodeDate(2026, 12, 10) + 0.375;
  const std::int64_t now = std::llround((local - 25569) * kDay) + 3 * 3600;
  const ClockReading clock{now, local, {}};
  const std::array<std::string, 3> addresses = {"http://www.d/q/N.ZIP", "d/q/N.ZIP",
                                                "http://d/q/N.ZIP"};
  WebProbe dated = Zip(1536);
  dated.last_modified = now - 3600;
  WebProbe redirected = Zip();
  redirected.final_url = "https://d/q/N.ZIP";
  WebProbe refused_redirect = Down("connection refused");
  refused_redirect.final_url = "https://d/q/N.ZIP";
  using S = CheckStatus;
  struct Case {
    const char* name;
    std::array<WebProbe, 3> probes;
    std::array<Expected, 3> expected;
  } const cases[] = {
      {"first_serves",
       {dated, Down("refused"), Other()},
       {{{S::kOk, {"http://www.d/q/N.ZIP: arquivo de 10/12/2026 08:00, 1,5 KB"}, "reserva"},
         {S::kOk, {"d/q/N.ZIP: refused; o ciclo não chega a ele: baixa do endereço 1"}},
         {S::kOk, {"responde, mas não com um arquivo ZIP; o ciclo não chega a ele"}}}}},
      {"passed_over",
       {Down("refused"), Zip(), Zip(10)},
       {{{S::kWarning, {"refused; o ciclo perde tempo aqui e passa ao endereço 2"}},
         {S::kOk, {"d/q/N.ZIP: arquivo"}, "reserva"},
         {S::kOk, {"arquivo, 10 bytes (reserva)"}}}}},
      {"first_answer_is_no_archive",
       {Other(), Zip(), Down("timeout")},
       {{{S::kFailure, {"o ciclo baixaria isto e falharia ao descompactar"}},
         {S::kOk, {"arquivo (reserva)"}},
         {S::kFailure, {"timeout; confira DominioWeb e se a matriz já enviou o arquivo"}}}}},
      {"nothing_answers",
       {Down("a"), Down("b"), Down("c")},
       {{{S::kFailure, {"http://www.d/q/N.ZIP: a; confira DominioWeb"}},
         {S::kFailure, {"d/q/N.ZIP: b"}},
         {S::kFailure, {"c; confira DominioWeb"}}}}},
      // A refused certificate fails wherever the address stands.
      {"certificate_refused",
       {Zip(), Down("certificate has expired", true), Down("refused")},
       {{{S::kOk, {"arquivo"}},
         {S::kFailure, {"certificate has expired; o certificado do servidor deve ser renovado"}},
         {S::kOk, {"o ciclo não chega a ele"}}}}},
      {"redirects_shown_when_answered",
       {refused_redirect, redirected, Zip()},
       {{{S::kWarning, {"connection refused"}, "redirecionado"},
         {S::kOk, {"d/q/N.ZIP (redirecionado para https://d/q/N.ZIP): arquivo"}},
         {S::kOk, {"(reserva)"}}}}},
      // The certificate three weeks ahead, at its end, and on an address
      // that already fails.
      {"certificates",
       {WithTls(Zip(), now + 21 * kDay - 1), WithTls(Zip(), now + 21 * kDay), WithTls(Zip(), now)},
       {{{S::kWarning,
          {"arquivo; TLSv1.3, certificado CN=www.d (emitido por CN=CA), vence em 31/12/2026 "
           "08:59: renove o certificado antes do vencimento"}},
         {S::kOk, {"vence em 31/12/2026 09:00"}, "renove"},
         {S::kFailure, {"vence em 10/12/2026 09:00"}, "renove"}}}},
      {"certificate_soon_on_a_failing_address",
       {WithTls(Other(), now + kDay), WithTls(Down("x"), now + kDay), Down("y")},
       {{{S::kFailure, {"falharia ao descompactar", "renove o certificado"}},
         {S::kFailure, {"x; confira DominioWeb"}},
         {S::kFailure, {"y"}, "TLS"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<CheckResult> results = JudgeDownloads(addresses, c.probes, clock);
    ASSERT_EQ(results.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const CheckResult& r = results[i];
      const Expected& e = c.expected[i];
      EXPECT_EQ(r.item, "Download " + std::to_string(i + 1));
      EXPECT_EQ(r.status, e.status) << r.detail;
      EXPECT_EQ(r.detail.find(addresses[i]), 0u) << r.detail;
      for (const char* part : e.parts) {
        EXPECT_NE(r.detail.find(part), std::string::npos) << part << "\n" << r.detail;
      }
      if (e.absent) {
        EXPECT_EQ(r.detail.find(e.absent), std::string::npos) << r.detail;
      }
    }
  }
}

}  // namespace
}  // namespace quilvane::sync
