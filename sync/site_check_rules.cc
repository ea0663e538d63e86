// The rules of the site check that need no site: status names, how the
// download addresses and certificates are rated, the verdict, the probe
// file's name.
#include "platform/random.h"
#include "sync/site_check.h"

namespace quilvane::sync {

const char* CheckStatusText(CheckStatus status) {
  switch (status) {
    case CheckStatus::kOk:
      return "OK";
    case CheckStatus::kAviso:
      return "AVISO";
    case CheckStatus::kFalha:
      return "FALHA";
  }
  return "FALHA";
}

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
      rating.push_back(CheckStatus::kAviso);  // passed over, at the cost of time
    } else {
      rating.push_back(CheckStatus::kFalha);
    }
  }
  return rating;
}

CheckStatus RateCertificate(std::int64_t not_after_unix, std::int64_t now_unix) {
  constexpr std::int64_t kSecondsPerDay = 86400;
  if (not_after_unix <= now_unix) return CheckStatus::kFalha;
  if (not_after_unix - now_unix < kCertificateWarningDays * kSecondsPerDay) {
    return CheckStatus::kAviso;
  }
  return CheckStatus::kOk;
}

bool SiteReady(const std::vector<CheckResult>& results) {
  for (const CheckResult& r : results) {
    if (r.status == CheckStatus::kFalha) return false;
  }
  return true;
}

std::string CheckProbeName() { return "quilvane-check-" + platform::RandomTag() + ".tmp"; }

}  // namespace quilvane::sync
