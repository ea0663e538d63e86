#include "sync/receipt.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "platform/codepage.h"

namespace quilvane::sync {
namespace {

constexpr int kFormatVersion = 1;

// Bounds on what a receipt may claim; a value past them marks the receipt
// as broken rather than being believed.
constexpr std::int64_t kMaxStatements = 100'000'000;
constexpr std::int64_t kMaxDurationMs = 30LL * 24 * 3600 * 1000;
constexpr int kMaxOffsetMinutes = 18 * 60;

// Caps on single values as written, so that the codes and the start of the
// failure fit together in the receipt.
constexpr size_t kMaxFieldBytes = 100;  // cgc, name, version, one code
constexpr size_t kMaxLineBytes = 2048;  // one failure line or note
constexpr std::string_view kCutLine = "cortado=1\r\n";
constexpr std::string_view kEmptyCgcNote =
    "PADRAO.CGC sem dígitos: o nome deste recibo não vem do CNPJ da filial";

using platform::AppendUtf8;

std::string ToCp1252(std::string_view utf8) { return platform::Utf8ToWindows1252(utf8); }
std::string FromCp1252(std::string_view bytes) { return platform::Windows1252ToUtf8(bytes); }

bool NeedsEscape(unsigned char b) { return b < 0x20 || b == 0x7F || b == '%'; }

// Appends "key=value\r\n" with the value escaped, cut so that the line takes
// at most `room` bytes. Returns false when not even the key fitted, or the
// value had to be cut.
bool AppendLine(std::string& out, std::string_view key, std::string_view cp1252, size_t room) {
  const size_t fixed = key.size() + 3;  // '=' and CR LF
  if (fixed > room) return false;
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += key;
  out += '=';
  size_t used = fixed;
  bool whole = true;
  for (char c : cp1252) {
    const auto b = static_cast<unsigned char>(c);
    const size_t need = NeedsEscape(b) ? 3 : 1;
    if (used + need > room) {
      whole = false;
      break;
    }
    if (need == 3) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    } else {
      out += c;
    }
    used += need;
  }
  out += "\r\n";
  return whole;
}

std::string Unescape(std::string_view value) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && hex(value[i + 1]) >= 0 &&
        hex(value[i + 2]) >= 0) {
      out += static_cast<char>(hex(value[i + 1]) * 16 + hex(value[i + 2]));
      i += 2;
    } else {
      out += value[i];  // a '%' that escapes nothing stays as written
    }
  }
  return out;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's method).
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy =
      (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

Day CivilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
  return Day{static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)};
}

// Exactly `width` decimal digits.
std::optional<int> Digits(std::string_view text, size_t width) {
  if (text.size() != width) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// An unsigned decimal of at most `max`, without sign, blanks or leading '+'.
std::optional<std::int64_t> Bounded(std::string_view text, std::int64_t max) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<Day> ParseDay(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const auto y = Digits(text.substr(0, 4), 4);
  const auto m = Digits(text.substr(5, 2), 2);
  const auto d = Digits(text.substr(8, 2), 2);
  if (!y || !m || !d || *y < 1900 || !platform::IsValidDate(*y, *m, *d)) return std::nullopt;
  return Day{*y, *m, *d};
}

std::string FormatDay(const Day& day) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", day.year, day.month, day.day);
  return buf;
}

}  // namespace

std::string_view OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kAplicado:
      return "aplicado";
    case Outcome::kSemNovidade:
      return "sem_novidade";
    case Outcome::kFalhou:
      return "falhou";
  }
  return "falhou";
}

std::int64_t DaysBetween(const Day& from, const Day& to) {
  return DaysFromCivil(to.year, to.month, to.day) - DaysFromCivil(from.year, from.month, from.day);
}

std::string FormatLocalMoment(const LocalMoment& moment) {
  const std::int64_t local = moment.unix_seconds + std::int64_t{moment.utc_offset_minutes} * 60;
  std::int64_t days = local / 86400;
  std::int64_t secs = local % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  const Day day = CivilFromDays(days);
  const int offset =
      moment.utc_offset_minutes < 0 ? -moment.utc_offset_minutes : moment.utc_offset_minutes;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", day.year, day.month,
                day.day, static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60), moment.utc_offset_minutes < 0 ? '-' : '+', offset / 60,
                offset % 60);
  return buf;
}

std::optional<LocalMoment> ParseLocalMoment(std::string_view text) {
  // 2023-10-17T08:30:05-03:00, or with "Z" for UTC.
  if (text.size() < 20 || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const auto day = ParseDay(text.substr(0, 10));
  const auto hh = Digits(text.substr(11, 2), 2);
  const auto mm = Digits(text.substr(14, 2), 2);
  const auto ss = Digits(text.substr(17, 2), 2);
  if (!day || !hh || !mm || !ss || *hh > 23 || *mm > 59 || *ss > 59) return std::nullopt;
  int offset = 0;
  const std::string_view zone = text.substr(19);
  if (zone != "Z") {
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') {
      return std::nullopt;
    }
    const auto oh = Digits(zone.substr(1, 2), 2);
    const auto om = Digits(zone.substr(4, 2), 2);
    if (!oh || !om || *om > 59) return std::nullopt;
    offset = *oh * 60 + *om;
    if (offset > kMaxOffsetMinutes) return std::nullopt;
    if (zone[0] == '-') offset = -offset;
  }
  const std::int64_t local =
      DaysFromCivil(day->year, day->month, day->day) * 86400 + *hh * 3600 + *mm * 60 + *ss;
  return LocalMoment{local - std::int64_t{offset} * 60, offset};
}

std::string DisplayText(std::string_view text, size_t max_chars) {
  std::string out;
  out.reserve(std::min(text.size(), max_chars * 2));
  size_t chars = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t cp = platform::NextUtf8CodePoint(text, i);
    if (chars + 1 == max_chars && i < text.size()) {
      out += "\u2026";
      return out;
    }
    if (chars == max_chars) return out;
    // Controls would move a terminal's cursor; direction overrides would
    // make a code read as another.
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0x202A && cp <= 0x202E) ||
        (cp >= 0x2066 && cp <= 0x2069)) {
      cp = ' ';
    }
    AppendUtf8(out, cp);
    ++chars;
  }
  return out;
}

size_t CharCount(std::string_view utf8) {
  size_t n = 0;
  for (size_t i = 0; i < utf8.size(); ++n) platform::NextUtf8CodePoint(utf8, i);
  return n;
}

LocalMoment LocalMomentOf(platform::DateTime local, int utc_offset_minutes) {
  // 25569 days from 1899-12-30 to 1970-01-01.
  const auto seconds = static_cast<std::int64_t>(std::llround((local - 25569.0) * 86400.0));
  return LocalMoment{seconds - std::int64_t{utc_offset_minutes} * 60, utc_offset_minutes};
}

std::string ReceiptFileName(std::string_view cgc, std::string_view machine_name) {
  std::string name;
  for (char c : cgc) {
    if (c >= '0' && c <= '9') name += c;
  }
  if (!name.empty()) return name + ".txt";
  // A letter first: no CNPJ's digits can make this name.
  name = "sem-cgc";
  std::string machine;
  for (char c : machine_name) {
    if (machine.size() >= 63) break;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') machine += c;
  }
  if (!machine.empty()) name += "-" + machine;
  return name + ".txt";
}

std::string WriteReceipt(const Receipt& r) {
  auto cap = [](std::string_view utf8, size_t max) {
    std::string bytes = ToCp1252(utf8);
    if (bytes.size() > max) bytes.resize(max);  // one byte a character: any cut is whole
    return bytes;
  };
  std::string out;
  out.reserve(1024);
  // The budget keeps room for the line that says something was cut.
  const size_t budget = kMaxReceiptBytes - kCutLine.size();
  bool cut = r.cut;
  auto line = [&](std::string_view key, std::string_view cp1252, size_t max_line) {
    if (out.size() >= budget) {
      cut = true;
      return;
    }
    const size_t before = out.size();
    if (!AppendLine(out, key, cp1252, std::min(max_line, budget - out.size()))) {
      cut = true;
      if (out.size() == before) return;
    }
  };
  auto number = [&](std::string_view key, std::int64_t value) {
    line(key, std::to_string(value < 0 ? 0 : value), kMaxLineBytes);
  };

  line("recibo", std::to_string(kFormatVersion), kMaxLineBytes);
  line("cgc", cap(r.cgc, kMaxFieldBytes), kMaxLineBytes);
  if (!r.name.empty()) line("nome", cap(r.name, kMaxFieldBytes), kMaxLineBytes);
  line("versao", cap(r.version, kMaxFieldBytes), kMaxLineBytes);
  line("inicio", FormatLocalMoment(r.start), kMaxLineBytes);
  number("duracao_ms", r.duration_ms);
  line("resultado", OutcomeName(r.outcome), kMaxLineBytes);
  if (r.file_day) line("data_arquivo", FormatDay(*r.file_day), kMaxLineBytes);
  if (r.recorded_day) line("data_registrada", FormatDay(*r.recorded_day), kMaxLineBytes);
  if (r.stale_file_day) {
    line("sem_atualizacao_desde", FormatDay(*r.stale_file_day), kMaxLineBytes);
  }
  number("comandos", r.statements_applied);
  number("sem_produto", std::max<std::int64_t>(r.unmatched_count,
                                               static_cast<std::int64_t>(std::min(
                                                   r.unmatched_codes.size(), kMaxUnmatchedCodes))));
  if (r.no_code_count > 0) number("sem_codigo", r.no_code_count);
  if (r.changed_count) number("alterados", *r.changed_count);
  if (r.unchanged_count) number("sem_alteracao", *r.unchanged_count);
  bool empty_cgc = true;
  for (char c : r.cgc) empty_cgc = empty_cgc && !(c >= '0' && c <= '9');
  if (empty_cgc && std::find(r.notes.begin(), r.notes.end(), kEmptyCgcNote) == r.notes.end()) {
    line("aviso", ToCp1252(kEmptyCgcNote), kMaxLineBytes);
  }
  for (const std::string& note : r.notes) line("aviso", cap(note, kMaxLineBytes), kMaxLineBytes);
  for (size_t i = 0; i < r.unmatched_codes.size(); ++i) {
    if (i == kMaxUnmatchedCodes) {
      cut = true;
      break;
    }
    // A code is whole or absent: half a code would name another product.
    const std::string code = cap(r.unmatched_codes[i], kMaxFieldBytes);
    std::string probe;
    if (!AppendLine(probe, "codigo", code, budget - std::min(budget, out.size()))) {
      cut = true;
      break;
    }
    out += probe;
  }
  for (const std::string& failure : r.failure) {
    line("falha", cap(failure, kMaxLineBytes), kMaxLineBytes);
  }
  if (cut) out += kCutLine;
  return out;
}

ParsedReceipt ParseReceipt(std::string_view bytes) {
  ParsedReceipt result;
  auto fail = [&](std::string why) {
    result.receipt.reset();
    result.error = std::move(why);
    return result;
  };
  Receipt r;
  if (bytes.size() > kMaxReceiptBytes) {
    // Only the first lines count: a receipt is never this long, and the rest
    // is not worth the page's room.
    bytes = bytes.substr(0, kMaxReceiptBytes);
    const size_t last = bytes.rfind('\n');
    bytes = bytes.substr(0, last == std::string_view::npos ? 0 : last + 1);
    r.cut = true;
  }
  if (bytes.empty()) return fail("recibo vazio");
  if (bytes.find('\0') != std::string_view::npos) return fail("recibo não é texto");

  std::set<std::string, std::less<>> seen;
  bool has_cgc = false, has_start = false, has_outcome = false;
  size_t line_number = 0;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    const std::string where = "linha " + std::to_string(line_number);
    if (eq == std::string_view::npos) return fail(where + " sem '='");
    const std::string_view key = line.substr(0, eq);
    const std::string_view raw = line.substr(eq + 1);
    if (key.empty()) return fail(where + " sem chave");
    if (seen.empty() && key != "recibo") return fail("não começa por recibo=");

    const bool repeatable = key == "codigo" || key == "falha" || key == "aviso";
    if (!repeatable && !seen.insert(std::string(key)).second) {
      return fail("chave repetida na " + where);
    }
    const std::string value = FromCp1252(Unescape(raw));
    if (key == "recibo") {
      if (!Bounded(raw, 1000) || *Bounded(raw, 1000) < 1) return fail("versão de recibo inválida");
    } else if (key == "cgc") {
      r.cgc = value;
      has_cgc = true;
    } else if (key == "nome") {
      r.name = value;
    } else if (key == "versao") {
      r.version = value;
    } else if (key == "inicio") {
      const auto start = ParseLocalMoment(raw);
      if (!start) return fail("início inválido na " + where);
      r.start = *start;
      has_start = true;
    } else if (key == "duracao_ms") {
      const auto v = Bounded(raw, kMaxDurationMs);
      if (!v) return fail("duração inválida na " + where);
      r.duration_ms = *v;
    } else if (key == "resultado") {
      if (raw == "aplicado")
        r.outcome = Outcome::kAplicado;
      else if (raw == "sem_novidade")
        r.outcome = Outcome::kSemNovidade;
      else if (raw == "falhou")
        r.outcome = Outcome::kFalhou;
      else
        return fail("resultado desconhecido na " + where);
      has_outcome = true;
    } else if (key == "data_arquivo" || key == "data_registrada" ||
               key == "sem_atualizacao_desde") {
      const auto day = ParseDay(raw);
      if (!day) return fail("data inválida na " + where);
      (key == "data_arquivo"      ? r.file_day
       : key == "data_registrada" ? r.recorded_day
                                  : r.stale_file_day) = *day;
    } else if (key == "comandos" || key == "sem_produto" || key == "sem_codigo") {
      const auto v = Bounded(raw, kMaxStatements);
      if (!v) return fail("número inválido na " + where);
      (key == "comandos"      ? r.statements_applied
       : key == "sem_produto" ? r.unmatched_count
                              : r.no_code_count) = *v;
    } else if (key == "alterados" || key == "sem_alteracao") {
      const auto v = Bounded(raw, kMaxStatements);
      if (!v) return fail("número inválido na " + where);
      (key == "alterados" ? r.changed_count : r.unchanged_count) = *v;
    } else if (key == "codigo") {
      if (r.unmatched_codes.size() < kMaxUnmatchedCodes)
        r.unmatched_codes.push_back(value);
      else
        r.cut = true;
    } else if (key == "falha") {
      r.failure.push_back(value);
    } else if (key == "aviso") {
      r.notes.push_back(value);
    } else if (key == "cortado") {
      r.cut = r.cut || raw == "1";
    }
    // Other keys come from a later version of the program: skipped.
  }
  if (!has_cgc || !has_start || !has_outcome) return fail("faltam cgc, inicio ou resultado");
  if (r.unmatched_count < static_cast<std::int64_t>(r.unmatched_codes.size())) {
    return fail("sem_produto menor que a lista de códigos");
  }
  result.receipt = std::move(r);
  return result;
}

}  // namespace quilvane::sync
