#include "sync/site_files.h"

#include "exchange/literal.h"
#include "platform/path.h"

namespace quilvane::sync {

std::string SettingsPath(const std::string& dir) { return dir + kSettingsFileName; }
std::string LogPath(const std::string& dir) { return dir + kLogFileName; }
std::string KeyFilePath(const std::string& dir) { return dir + kKeyFileName; }
std::string PendingReceiptPath(const std::string& dir) { return dir + kPendingReceiptName; }
std::string LockFilePath(const std::string& dir) { return dir + kLockFileName; }
std::string DatabaseSettingsPath(const std::string& dir) { return dir + kDatabaseSettingsName; }

std::string ChangesFolderPath(const std::string& dir) {
  return platform::WithTrailingSeparator(dir) + kChangesFolderName;
}

std::string ExchangeFileName(const std::string& cnpj_servidor) {
  return exchange::ExtraiNumero(cnpj_servidor) + kExchangeFileExtension;
}

std::string ExchangeFilePath(const std::string& dir, const std::string& cnpj_servidor) {
  return dir + ExchangeFileName(cnpj_servidor);
}

std::string ArchiveName(const std::string& cnpj_servidor) {
  return exchange::ExtraiNumero(cnpj_servidor) + kArchiveExtension;
}

}  // namespace quilvane::sync
