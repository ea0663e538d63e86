// -CHECK's verdicts on the settings, the database, the site's role, the
// program's folder, the log and the clock.
#include "sync/site_check_verdicts.h"

#include <exception>

#include "db/fbclient.h"
#include "exchange/literal.h"
#include "exchange/signature.h"
#include "platform/ini_file.h"
#include "sync/settings.h"
#include "sync/site_files.h"

namespace quilvane::sync {
namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

CheckResult Result(CheckStatus status, std::string item, const std::string& detail) {
  return {status, std::move(item), OneLine(detail)};
}

}  // namespace

CheckResult JudgeCnpj(const std::string& cnpj, const std::string& settings_path) {
  const char* item = "CNPJServidor";
  if (cnpj.empty()) {
    return Result(CheckStatus::kFailure, item,
                  "vazio em " + settings_path + ": o ciclo não faz nada; informe o CNPJ da matriz");
  }
  if (exchange::ExtraiNumero(cnpj).size() != 14) {
    return Result(CheckStatus::kWarning, item,
                  Quoted(cnpj) + " não tem os 14 números de um CNPJ: confira");
  }
  return Result(CheckStatus::kOk, item, cnpj);
}

std::optional<CheckResult> JudgePopularPrices(const std::string& text) {
  const char* item = "SincronizarPrecoFarmaciaPopular";
  if (text.empty()) return std::nullopt;
  std::int32_t value = 0;
  if (!platform::ParseIniInteger(text, value)) {
    return Result(CheckStatus::kWarning, item,
                  Quoted(text) + " não é um número: vale 0 (não); escreva 0 ou 1");
  }
  return Result(CheckStatus::kOk, item, value != 0 ? "sim" : "não");
}

std::optional<CheckResult> JudgePublicKeys(const std::string& text) {
  const char* item = "ChavePublica";
  if (text.empty()) return std::nullopt;
  try {
    const size_t n = exchange::ParsePublicKeys(text).size();
    return Result(CheckStatus::kOk, item, std::to_string(n) + (n == 1 ? " chave" : " chaves"));
  } catch (const std::exception& e) {
    return Result(CheckStatus::kFailure, item,
                  std::string(e.what()) + ": copie de novo a chave da matriz");
  }
}

CheckResult JudgeLastSync(const std::string& text, platform::DateTime now,
                          const platform::FormatSettings& regional) {
  const char* item = "Última sincronização";
  if (text.empty()) {
    return Result(CheckStatus::kOk, item, "nenhuma registrada: o próximo ciclo sincroniza");
  }
  const auto day = ParseRecordedDay(text, regional, now);
  if (!day) {
    return Result(CheckStatus::kWarning, item,
                  Quoted(text) + " não é uma data como " +
                      platform::FormatShortDate(now, regional) +
                      ": o ciclo a trata como ausente; corrija ou apague "
                      "DataUltimaSincronizacao");
  }
  if (platform::DayOf(*day) > platform::DayOf(now)) {
    return Result(CheckStatus::kWarning, item,
                  text + " está no futuro: o ciclo a ignora; confira o relógio e apague " +
                      "DataUltimaSincronizacao");
  }
  if (platform::DayOf(*day) == platform::DayOf(now)) {
    return Result(CheckStatus::kOk, item, text + " (hoje): o próximo ciclo só trabalha amanhã");
  }
  return Result(CheckStatus::kOk, item, text + ": o próximo ciclo sincroniza");
}

CheckResult JudgeClientLibrary(const ClientLibraryProbe& probe,
                               const std::vector<std::string>& names,
                               const std::string& architecture) {
  const char* item = "Biblioteca do Firebird";
  if (probe.file.empty()) {
    return Result(CheckStatus::kFailure, item,
                  "nenhuma de " + db::JoinLibraryNames(names) + " carregou (" + probe.last_error +
                      "): instale o cliente do Firebird para " + architecture);
  }
  if (!probe.has_entry) {
    return Result(CheckStatus::kFailure, item,
                  probe.file + " não é o cliente do Firebird: instale o cliente (fbclient)");
  }
  return Result(CheckStatus::kOk, item, probe.file);
}

std::vector<CheckResult> JudgeDatabaseFailure(const std::string& name, const std::string& why,
                                              const std::string& cnpj) {
  std::vector<CheckResult> results;
  results.push_back(Result(CheckStatus::kFailure, "Banco de dados",
                           name + ": " + OneLine(why) + "; confira Servidor e Caminho em " +
                               std::string(kDatabaseSettingsName) + " e o servidor " + "Firebird"));
  if (!cnpj.empty()) {
    results.push_back(
        Result(CheckStatus::kWarning, "Função do site",
               "não determinada sem o banco de dados: FTP e downloads não verificados"));
  }
  return results;
}

RoleVerdict JudgeRole(const std::string& cgc, const std::string& cnpj, const std::string& digits) {
  const char* item = "Função do site";
  if (cnpj.empty()) return {};  // no role without CNPJServidor; reported apart
  const std::string shown = cgc.empty() ? "vazio" : Quoted(cgc);
  if (cgc == cnpj) {
    return {SiteRole::kHeadOffice,
            Result(CheckStatus::kOk, item,
                   "matriz (PADRAO.CGC = CNPJServidor): exporta e envia os preços")};
  }
  if (exchange::ExtraiNumero(cgc) == digits) {
    return {SiteRole::kBranch,
            Result(CheckStatus::kWarning, item,
                   "filial, mas PADRAO.CGC " + shown + " tem os números de CNPJServidor " +
                       Quoted(cnpj) + ": se este site é a matriz, escreva CNPJServidor como " +
                       "em PADRAO.CGC")};
  }
  return {SiteRole::kBranch,
          Result(CheckStatus::kOk, item,
                 "filial (PADRAO.CGC " + shown + "): baixa e aplica os preços de " + cnpj)};
}

CheckResult JudgeProgramFolder(const std::string& dir, const FolderProbe& probe,
                               const SiteCheckOptions& options, char decimal_separator) {
  const char* item = "Pasta do programa";
  if (probe.write_error) {
    return Result(CheckStatus::kFailure, item,
                  dir + ": não gravável (" + *probe.write_error +
                      "); dê ao serviço permissão de escrita nessa pasta");
  }
  if (!probe.free_bytes) {
    return Result(CheckStatus::kWarning, item,
                  dir + ": gravável, espaço livre desconhecido (" + probe.space_error + ")");
  }
  const std::string space = FormatBytes(*probe.free_bytes, decimal_separator) + " livres";
  if (*probe.free_bytes < options.min_free_bytes) {
    return Result(CheckStatus::kFailure, item,
                  dir + ": só " + space + "; libere espaço para os arquivos do dia");
  }
  if (*probe.free_bytes < options.low_free_bytes) {
    return Result(CheckStatus::kWarning, item, dir + ": " + space + "; pouco espaço, libere algum");
  }
  return Result(CheckStatus::kOk, item, dir + ": gravável, " + space);
}

CheckResult JudgeLog(const std::string& path, const LogProbe& probe, bool folder_writable) {
  const char* item = "Log";
  if (!probe.exists) {
    // Not made by the check to be deleted again: the running service may
    // create it meanwhile, and its first entries would go with it.
    if (folder_writable) return Result(CheckStatus::kOk, item, path + ": será criado");
    return Result(CheckStatus::kFailure, item, path + ": não existe e a pasta não é gravável");
  }
  if (probe.open_error) {
    return Result(CheckStatus::kFailure, item,
                  *probe.open_error + "; o serviço precisa gravar " + path);
  }
  return Result(CheckStatus::kOk, item, path + ": gravável");
}

CheckResult JudgeClock(std::optional<std::int64_t> server_date, std::int64_t local_at_date,
                       std::chrono::seconds tolerance) {
  const char* item = "Relógio";
  if (!server_date) {
    return Result(CheckStatus::kWarning, item,
                  "não verificado: o servidor de troca não respondeu com a hora");
  }
  const std::int64_t difference = *server_date - local_at_date;
  const std::int64_t size = difference < 0 ? -difference : difference;
  const std::string amount =
      size < 120 ? std::to_string(size) + " s" : std::to_string(size / 60) + " min";
  if (size <= tolerance.count()) {
    return Result(CheckStatus::kOk, item, "diferença de " + amount + " para o servidor de troca");
  }
  return Result(CheckStatus::kWarning, item,
                std::string("este computador está ") + amount +
                    (difference < 0 ? " adiantado" : " atrasado") +
                    " em relação ao servidor de troca; acerte a data e a hora");
}

}  // namespace quilvane::sync
