#include "sync/receipt.h"

#include <algorithm>
#include <iterator>
#include <set>

#include "platform/codepage.h"
#include "sync/receipt_format.h"

namespace quilvane::sync {
namespace {

// The line that says something was cut: "cortado=1" and CR LF.
constexpr size_t kCutLineBytes = kCutKey.size() + 4;
constexpr std::string_view kEmptyCgcNote =
    "PADRAO.CGC sem dígitos: o nome deste recibo não vem do CNPJ da filial";

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

// Text as written: Windows-1252, at most `max` bytes.
std::string Capped(std::string_view utf8, size_t max) {
  std::string bytes = ToCp1252(utf8);
  if (bytes.size() > max) bytes.resize(max);  // one byte a character: any cut is whole
  return bytes;
}

bool HasDigit(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Lines appended within the budget, which keeps room for the line that says
// something was cut.
class ReceiptWriter {
 public:
  explicit ReceiptWriter(bool cut) : cut_(cut) { out_.reserve(1024); }

  void Line(std::string_view key, std::string_view cp1252) {
    if (out_.size() >= kBudget) {
      cut_ = true;
      return;
    }
    if (!AppendLine(out_, key, cp1252, std::min(kMaxLineBytes, kBudget - out_.size()))) {
      cut_ = true;
    }
  }

  void Number(std::string_view key, std::int64_t value) {
    Line(key, std::to_string(value < 0 ? 0 : value));
  }

  // A code is whole or absent: half a code would name another product.
  void Codes(std::string_view key, const std::vector<std::string>& codes) {
    for (size_t i = 0; i < codes.size(); ++i) {
      if (i == kMaxUnmatchedCodes) {
        cut_ = true;
        return;
      }
      std::string probe;
      if (!AppendLine(probe, key, Capped(codes[i], kMaxFieldBytes),
                      kBudget - std::min(kBudget, out_.size()))) {
        cut_ = true;
        return;
      }
      out_ += probe;
    }
  }

  void Field(const ReceiptField& f, const Receipt& r) {
    const bool when_set = f.presence == Presence::kWhenSet;
    switch (f.kind) {
      case FieldKind::kFormat:
        return Line(f.key, std::to_string(kReceiptFormatVersion));
      case FieldKind::kText:
        if (when_set && (r.*f.text).empty()) return;
        return Line(f.key, Capped(r.*f.text, kMaxFieldBytes));
      case FieldKind::kMoment:
        return Line(f.key, FormatLocalMoment(r.*f.moment));
      case FieldKind::kOutcome:
        return Line(f.key, OutcomeName(r.*f.outcome));
      case FieldKind::kDay:
        if (r.*f.day) Line(f.key, IsoDayText(*(r.*f.day)));
        return;
      case FieldKind::kDuration:
      case FieldKind::kCount:
        if (f.maybe_count) {
          if (r.*f.maybe_count) Number(f.key, *(r.*f.maybe_count));
        } else if (!when_set || r.*f.count > 0) {
          Number(f.key, r.*f.count);
        }
        return;
      case FieldKind::kCode:
        return Codes(f.key, r.*f.lines);
      case FieldKind::kLine:
        for (const std::string& line : r.*f.lines) Line(f.key, Capped(line, kMaxLineBytes));
        return;
      case FieldKind::kCut:
        if (cut_) out_ += std::string(f.key) + "=1\r\n";
        return;
    }
  }

  std::string Take() { return std::move(out_); }

 private:
  static constexpr size_t kBudget = kMaxReceiptBytes - kCutLineBytes;
  std::string out_;
  bool cut_;
};

const OutcomeSpelling& SpellingOf(Outcome outcome) {
  for (const OutcomeSpelling& o : kOutcomes) {
    if (o.outcome == outcome) return o;
  }
  return kOutcomes[std::size(kOutcomes) - 1];  // not reached: every outcome has its row
}

// Reads one field's value into `r`; why it could not, or empty.
std::string ReadField(const ReceiptField& f, std::string_view raw, Receipt& r) {
  switch (f.kind) {
    case FieldKind::kFormat: {
      const auto version = Bounded(raw, 1000);
      return version && *version >= 1 ? "" : "versão de recibo inválida";
    }
    case FieldKind::kText:
      r.*f.text = FromCp1252(Unescape(raw));
      return "";
    case FieldKind::kMoment: {
      const auto moment = ParseLocalMoment(raw);
      if (!moment) return "início inválido";
      r.*f.moment = *moment;
      return "";
    }
    case FieldKind::kOutcome: {
      const auto outcome = OutcomeOfName(raw);
      if (!outcome) return "resultado desconhecido";
      r.*f.outcome = *outcome;
      return "";
    }
    case FieldKind::kDay: {
      const auto day = ParseIsoDay(raw);
      if (!day) return "data inválida";
      r.*f.day = *day;
      return "";
    }
    case FieldKind::kDuration:
    case FieldKind::kCount: {
      const bool duration = f.kind == FieldKind::kDuration;
      const auto v = Bounded(raw, duration ? kMaxDurationMs : kMaxStatements);
      if (!v) return duration ? "duração inválida" : "número inválido";
      (f.maybe_count ? (r.*f.maybe_count).emplace() : r.*f.count) = *v;
      return "";
    }
    case FieldKind::kCode:
      if ((r.*f.lines).size() < kMaxUnmatchedCodes) {
        (r.*f.lines).push_back(FromCp1252(Unescape(raw)));
      } else {
        r.cut = true;
      }
      return "";
    case FieldKind::kLine:
      (r.*f.lines).push_back(FromCp1252(Unescape(raw)));
      return "";
    case FieldKind::kCut:
      r.cut = r.cut || raw == "1";
      return "";
  }
  return "";
}

}  // namespace

const ReceiptField* FindReceiptField(std::string_view key) {
  for (const ReceiptField& f : kReceiptFields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

std::optional<Outcome> OutcomeOfName(std::string_view stored) {
  for (const OutcomeSpelling& o : kOutcomes) {
    if (o.stored == stored) return o.outcome;
  }
  return std::nullopt;
}

std::string_view OutcomeName(Outcome outcome) { return SpellingOf(outcome).stored; }

std::string_view OutcomeShown(Outcome outcome) { return SpellingOf(outcome).shown; }

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
  Receipt shown = r;
  shown.unmatched_count = std::max<std::int64_t>(
      r.unmatched_count,
      static_cast<std::int64_t>(std::min(r.unmatched_codes.size(), kMaxUnmatchedCodes)));
  if (!HasDigit(r.cgc) &&
      std::find(r.notes.begin(), r.notes.end(), kEmptyCgcNote) == r.notes.end()) {
    shown.notes.insert(shown.notes.begin(), std::string(kEmptyCgcNote));
  }
  ReceiptWriter writer(r.cut);
  for (const ReceiptField& field : kReceiptFields) writer.Field(field, shown);
  return writer.Take();
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
  size_t required_seen = 0;
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
    if (seen.empty() && key != kFormatKey) {
      return fail("não começa por " + std::string(kFormatKey) + "=");
    }
    // Keys not known here come from a later version: checked for repeats
    // like any other, then skipped.
    const ReceiptField* field = FindReceiptField(key);
    if (!(field && IsRepeated(field->kind)) && !seen.insert(std::string(key)).second) {
      return fail("chave repetida na " + where);
    }
    if (!field) continue;
    std::string error = ReadField(*field, raw, r);
    if (!error.empty())
      return fail(error + (field->kind == FieldKind::kFormat ? "" : " na " + where));
    if (field->required) ++required_seen;
  }
  const auto required = std::count_if(std::begin(kReceiptFields), std::end(kReceiptFields),
                                      [](const ReceiptField& f) { return f.required; });
  if (required_seen != static_cast<size_t>(required))
    return fail("faltam cgc, inicio ou resultado");
  if (r.unmatched_count < static_cast<std::int64_t>(r.unmatched_codes.size())) {
    return fail("sem_produto menor que a lista de códigos");
  }
  result.receipt = std::move(r);
  return result;
}

}  // namespace quilvane::sync
