#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sync/receipt.h"

// The receipt file, shared by its writer, its parser and the status page.
// Text of `key=value` lines ended by CR LF, in Windows-1252, at most
// kMaxReceiptBytes; the fields below, in this order. Bytes below 0x20, 0x7F
// and '%' inside a value are written as %XX, so any text round-trips and a
// value never breaks a line. Keys not known here come from a later version
// of the program and are skipped.

namespace quilvane::sync {

inline constexpr int kReceiptFormatVersion = 1;
inline constexpr std::string_view kFormatKey = "recibo";  // the first line
inline constexpr std::string_view kCutKey = "cortado";

// Bounds on what a receipt may claim; a value past them marks the receipt
// as broken rather than being believed.
inline constexpr std::int64_t kMaxStatements = 100'000'000;
inline constexpr std::int64_t kMaxDurationMs = 30LL * 24 * 3600 * 1000;

// Caps on single values as written, so that the codes and the start of the
// failure fit together in the receipt.
inline constexpr size_t kMaxFieldBytes = 100;  // a text field, one code
inline constexpr size_t kMaxLineBytes = 2048;  // any line; one failure line or note

// An outcome as the receipt stores it and as the page and table show it.
struct OutcomeSpelling {
  Outcome outcome;
  std::string_view stored;
  std::string_view shown;
};

inline constexpr OutcomeSpelling kOutcomes[] = {
    {Outcome::kApplied, "aplicado", "aplicado"},
    {Outcome::kNothingNew, "sem_novidade", "sem novidade"},
    {Outcome::kFailed, "falhou", "falhou"},
};

enum class FieldKind {
  kFormat,    // the format's version, 1 to 1000
  kText,      // text, at most kMaxFieldBytes as written
  kMoment,    // "2023-10-17T08:30:05-03:00"
  kDuration,  // milliseconds, at most kMaxDurationMs
  kOutcome,   // one of kOutcomes' stored names
  kDay,       // "2023-10-17"
  kCount,     // a count of statements, at most kMaxStatements
  kCode,      // repeated: a product code, whole or absent, at most kMaxUnmatchedCodes
  kLine,      // repeated: a text line, at most kMaxLineBytes
  kCut,       // "1": lines were cut to keep within the limit
};

// kWhenSet: absent when empty, zero or none.
enum class Presence { kAlways, kWhenSet };

// One field: its key, how its value is spelled, and the member of Receipt
// that holds it (the one pointer its kind uses).
struct ReceiptField {
  std::string_view key;
  FieldKind kind;
  Presence presence = Presence::kAlways;
  bool required = false;  // a receipt without it is broken
  std::string Receipt::*text = nullptr;
  LocalMoment Receipt::*moment = nullptr;
  Outcome Receipt::*outcome = nullptr;
  std::optional<Day> Receipt::*day = nullptr;
  std::int64_t Receipt::*count = nullptr;
  std::optional<std::int64_t> Receipt::*maybe_count = nullptr;
  std::vector<std::string> Receipt::*lines = nullptr;
};

inline constexpr ReceiptField kReceiptFields[] = {
    {.key = kFormatKey, .kind = FieldKind::kFormat},
    {.key = "cgc", .kind = FieldKind::kText, .required = true, .text = &Receipt::cgc},
    // `NomeFilial`
    {.key = "nome",
     .kind = FieldKind::kText,
     .presence = Presence::kWhenSet,
     .text = &Receipt::name},
    {.key = "versao", .kind = FieldKind::kText, .text = &Receipt::version},
    {.key = "inicio", .kind = FieldKind::kMoment, .required = true, .moment = &Receipt::start},
    {.key = "duracao_ms", .kind = FieldKind::kDuration, .count = &Receipt::duration_ms},
    {.key = "resultado",
     .kind = FieldKind::kOutcome,
     .required = true,
     .outcome = &Receipt::outcome},
    // The file's day, when a file was read.
    {.key = "data_arquivo", .kind = FieldKind::kDay, .day = &Receipt::file_day},
    {.key = "data_registrada", .kind = FieldKind::kDay, .day = &Receipt::recorded_day},
    {.key = "sem_atualizacao_desde", .kind = FieldKind::kDay, .day = &Receipt::stale_file_day},
    {.key = "comandos", .kind = FieldKind::kCount, .count = &Receipt::statements_applied},
    // Never written below the number of codes listed.
    {.key = "sem_produto", .kind = FieldKind::kCount, .count = &Receipt::unmatched_count},
    {.key = "sem_codigo",
     .kind = FieldKind::kCount,
     .presence = Presence::kWhenSet,
     .count = &Receipt::no_code_count},
    {.key = "alterados", .kind = FieldKind::kCount, .maybe_count = &Receipt::changed_count},
    {.key = "sem_alteracao", .kind = FieldKind::kCount, .maybe_count = &Receipt::unchanged_count},
    // A note for the reader, e.g. an empty CGC.
    {.key = "aviso", .kind = FieldKind::kLine, .lines = &Receipt::notes},
    // One line per code.
    {.key = "codigo", .kind = FieldKind::kCode, .lines = &Receipt::unmatched_codes},
    // One line per log line of a failure: "17/10/2023 08:30:07 - ...".
    {.key = "falha", .kind = FieldKind::kLine, .lines = &Receipt::failure},
    {.key = kCutKey, .kind = FieldKind::kCut},
};

inline bool IsRepeated(FieldKind kind) {
  return kind == FieldKind::kCode || kind == FieldKind::kLine;
}

// The field of a key; nullptr when this version does not know it.
const ReceiptField* FindReceiptField(std::string_view key);

// The outcome of a stored name; nullopt when unknown.
std::optional<Outcome> OutcomeOfName(std::string_view stored);
// The outcome as the page and the table show it.
std::string_view OutcomeShown(Outcome outcome);

}  // namespace quilvane::sync
