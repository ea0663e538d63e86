#include "sync/stand_in_operations.h"

#include "platform/error.h"

namespace quilvane::sync {
namespace {
constexpr char kMissing[] = "esta versão do Quilvane não traz esta operação";
}

bool StandInOperations::ConectarBanco() {
  log_.DoSaveLog(std::string("Falha na conexão do banco de dados: ") + kMissing);
  return false;
}

std::string StandInOperations::PadraoCgc() { throw platform::Error(kMissing); }

void StandInOperations::ExportPrices(const std::string&, bool) { throw platform::Error(kMissing); }

bool StandInOperations::CompactarArquivo(const std::string&) {
  log_.DoSaveLog(std::string("Falha ao compactar o arquivo: ") + kMissing);
  return false;
}

bool StandInOperations::Upload(const std::string&) {
  log_.DoSaveLog(std::string("Falha ao conectar no FTP: ") + kMissing);
  return false;
}

bool StandInOperations::DownloadFile(const std::string&, const std::string&, bool) {
  log_.DoSaveLog(std::string("Falha ao realizar o download do arquivo: ") + kMissing);
  return false;
}

void StandInOperations::ImportPrices(const std::string&, platform::DateTime) {
  throw platform::Error(kMissing);
}

}  // namespace quilvane::sync
