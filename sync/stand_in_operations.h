#pragma once

#include "sync/log.h"
#include "sync/operations.h"

namespace quilvane::sync {

// Operations for a build without the database, archive and transfer work:
// each fails with one clear log line (or error), so the cycle goes on to
// its cleanup.
class StandInOperations : public Operations {
 public:
  explicit StandInOperations(Log& log) : log_(log) {}

  void Configure(const Settings&) override {}
  bool ConectarBanco() override;
  std::string PadraoCgc() override;
  void ExportPrices(const std::string&, bool) override;
  bool CompactarArquivo(const std::string&) override;
  bool Upload(const std::string&) override;
  std::string DownloadSource(const std::string& digits) override { return digits; }
  bool DownloadFile(const std::string&, const std::string&, bool) override;
  void ImportPrices(const std::string&, platform::DateTime) override;
  void CloseQueries() override {}
  void Disconnect() override {}

 private:
  Log& log_;
};

}  // namespace quilvane::sync
