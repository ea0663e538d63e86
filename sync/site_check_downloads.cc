// -CHECK's verdicts on a branch's three download addresses and the
// certificates they show.
#include "platform/datetime.h"
#include "sync/site_check_verdicts.h"

namespace quilvane::sync {
namespace {

// "TLSv1.3, certificado CN=www.d (emitido por CN=CA), vence em 10/12/2026 14:15".
std::string TlsText(const platform::TlsPeerInfo& tls, const ClockReading& clock) {
  return tls.protocol + ", certificado " + tls.subject + " (emitido por " + tls.issuer +
         "), vence em " + clock.LocalText(tls.not_after_unix);
}

}  // namespace

std::vector<CheckStatus> RateDownloadAddresses(const std::vector<AddressProbe>& probes) {
  // The cycle downloads from the first address that answers and stops.
  size_t used = probes.size();
  for (size_t i = 0; i < probes.size() && used == probes.size(); ++i) {
    if (probes[i].answered) used = i;
  }
  const bool served = used < probes.size() && probes[used].zip;
  std::vector<CheckStatus> rating;
  for (size_t i = 0; i < probes.size(); ++i) {
    if (probes[i].answered && probes[i].zip) {
      rating.push_back(CheckStatus::kOk);
    } else if (served && i > used) {
      rating.push_back(CheckStatus::kOk);  // a spare never reached
    } else if (served) {
      rating.push_back(CheckStatus::kWarning);  // passed over, at the cost of time
    } else {
      rating.push_back(CheckStatus::kFailure);
    }
  }
  return rating;
}

CheckStatus RateCertificate(std::int64_t not_after_unix, std::int64_t now_unix) {
  if (not_after_unix <= now_unix) return CheckStatus::kFailure;
  if (not_after_unix - now_unix < kCertificateWarningDays * platform::kSecondsPerDay) {
    return CheckStatus::kWarning;
  }
  return CheckStatus::kOk;
}

std::vector<CheckResult> JudgeDownloads(const std::array<std::string, 3>& addresses,
                                        const std::array<WebProbe, 3>& probes,
                                        const ClockReading& clock) {
  std::vector<AddressProbe> seen(probes.begin(), probes.end());
  std::vector<CheckStatus> rating = RateDownloadAddresses(seen);
  int used = -1;
  for (int i = 0; i < 3 && used < 0; ++i) {
    if (probes[i].answered) used = i;
  }
  const std::string use = std::to_string(used + 1);
  std::vector<CheckResult> results;
  for (int i = 0; i < 3; ++i) {
    const WebProbe& p = probes[i];
    // The address as the operator reads it, and where it led.
    std::string a = addresses[i];
    if (!p.final_url.empty() && p.final_url != a && p.answered) {
      a += " (redirecionado para " + p.final_url + ")";
    }
    std::string detail;
    if (p.answered && p.zip) {
      detail = a + ": arquivo";
      if (p.last_modified) detail += " de " + clock.LocalText(*p.last_modified);
      if (p.length >= 0) {
        detail += ", " + FormatBytes(static_cast<std::uint64_t>(p.length),
                                     clock.regional.decimal_separator);
      }
      if (i != used) detail += " (reserva)";
    } else if (p.certificate_refused) {
      rating[i] = CheckStatus::kFailure;
      detail = a + ": " + p.error +
               "; o certificado do servidor deve ser renovado, ou confira DominioWeb e "
               "CertificadoCA";
    } else {
      detail = p.answered ? a + ": responde, mas não com um arquivo ZIP" : a + ": " + p.error;
      if (rating[i] == CheckStatus::kOk) {
        detail += "; o ciclo não chega a ele: baixa do endereço " + use;
      } else if (rating[i] == CheckStatus::kWarning) {
        detail += "; o ciclo perde tempo aqui e passa ao endereço " + use;
      } else if (i == used) {
        detail += "; o ciclo baixaria isto e falharia ao descompactar: confira DominioWeb";
      } else {
        detail +=
            "; confira DominioWeb e se a matriz já enviou o arquivo (rode -CHECK na "
            "matriz)";
      }
    }
    if (p.tls) {
      detail += "; " + TlsText(*p.tls, clock);
      const CheckStatus cert = RateCertificate(p.tls->not_after_unix, clock.utc_now);
      if (cert != CheckStatus::kOk && rating[i] != CheckStatus::kFailure) rating[i] = cert;
      if (cert == CheckStatus::kWarning) detail += ": renove o certificado antes do vencimento";
    }
    results.push_back({rating[i], "Download " + std::to_string(i + 1), OneLine(detail)});
  }
  return results;
}

}  // namespace quilvane::sync
