#include "sync/site_check_triggers.h"

#include <exception>
#include <string>
#include <vector>

#include "exchange/product_scan.h"

namespace quilvane::sync {

std::string TriggerWhen(std::int64_t trigger_type) {
  // A table trigger is 1 to 6 for one action; several actions are packed
  // two bits each from bit 1 of (type + 1), the phase in its bit 0.
  if (trigger_type < 1 || trigger_type > 127) return "";
  const std::int64_t packed = trigger_type + 1;
  static const char* const kActions[] = {nullptr, "inserir", "alterar", "apagar"};
  std::string actions;
  for (int slot = 0; slot < 3; ++slot) {
    const std::int64_t action = (packed >> (1 + 2 * slot)) & 3;
    if (action == 0) {
      if ((packed >> (1 + 2 * slot)) != 0) return "";  // a gap: not a table trigger
      break;
    }
    if (!actions.empty()) actions += " ou ";
    actions += kActions[action];
  }
  if (actions.empty()) return "";
  return std::string((packed & 1) != 0 ? "depois de " : "antes de ") + actions;
}

void CheckProductTriggers(SiteDatabase& db, bool somente_alterados, const CheckSink& add) {
  add(CheckStatus::kOk, "SomenteAlterados",
      somente_alterados
          ? "sim: só os produtos com algum valor diferente são gravados; lista em Alteracoes"
          : "não: todo produto do arquivo é gravado a cada dia");
  const char* item = "Gatilhos de PRODUTOS";
  std::vector<std::string> found;
  bool on_update = false;
  try {
    db::Query q(db.Connvelstrand, db.TransReadOnly);
    q.SetSQL(
        "SELECT TRIM(RDB$TRIGGER_NAME) AS NAME, RDB$TRIGGER_TYPE AS KIND\n"
        "FROM RDB$TRIGGERS\n"
        "WHERE " +
        std::string(exchange::kProductTriggers) +
        "\n"
        "ORDER BY RDB$TRIGGER_SEQUENCE, RDB$TRIGGER_NAME");
    q.Open();
    q.FetchAll();
    for (q.First(); !q.Eof(); q.Next()) {
      const std::int64_t type = q.FieldByName("KIND").AsInteger();
      std::string when = TriggerWhen(type);
      if (when.find("alterar") != std::string::npos) on_update = true;
      if (when.empty()) when = "tipo " + std::to_string(type);
      found.push_back(q.FieldByName("NAME").AsString() + " (" + when + ")");
    }
    q.Close();
  } catch (const std::exception& e) {
    add(CheckStatus::kWarning, item, "não puderam ser lidos: " + std::string(e.what()));
    return;
  }
  if (found.empty()) {
    add(CheckStatus::kOk, item, "nenhum ativo");
    return;
  }
  std::string detail;
  for (const std::string& f : found) detail += (detail.empty() ? "" : ", ") + f;
  if (on_update) {
    detail += somente_alterados
                  ? "; com SomenteAlterados=1 os de alteração só disparam para os produtos que "
                    "mudaram"
                  : "; com SomenteAlterados=1 os de alteração só dispararão para os produtos "
                    "que mudarem";
  }
  add(CheckStatus::kOk, item, detail);
}

}  // namespace quilvane::sync
