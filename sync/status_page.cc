#include "sync/status_page.h"

#include <algorithm>

#include "sync/status_text.h"

#ifndef QUILVANE_VERSION
#define QUILVANE_VERSION "?"
#endif

namespace quilvane::sync {
namespace {

using status_text::BehindText;
using status_text::BranchName;
using status_text::DayText;
using status_text::kMaxError;
using status_text::kMaxLabel;
using status_text::kMaxVersion;
using status_text::Label;
using status_text::MomentText;
using status_text::NoCodeText;
using status_text::OutcomeText;
using status_text::OwnReceipt;
using status_text::Plural;
using status_text::Readable;
using status_text::StaleText;
using status_text::UnreadText;

// Lengths, in characters, of what a receipt may put on the page besides the
// shared ones. With them a row costs at most a few KB, whatever the receipt
// holds.
constexpr size_t kMaxFailureLines = 3;
constexpr size_t kMaxFailureLine = 240;
constexpr size_t kMaxCode = 30;
constexpr size_t kMaxNotes = 2;
constexpr size_t kMaxNote = 160;
constexpr size_t kMaxWholeLabel = 24;  // a CNPJ with its punctuation is 18

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Receipt text for the page: cut, cleaned, escaped.
std::string Show(std::string_view text, size_t max_chars) {
  return Escape(DisplayText(text, max_chars));
}

// Text that must stay on one line: a CNPJ, a date, a count.
std::string Whole(std::string_view escaped) {
  return "<span class=\"nw\">" + std::string(escaped) + "</span>";
}

const char* LightClass(Light light) {
  switch (light) {
    case Light::kRed:
      return "r";
    case Light::kAmber:
      return "a";
    case Light::kGreen:
      return "v";
  }
  return "r";
}

// ---- The page ----

constexpr std::string_view kStyle = R"(
*{box-sizing:border-box}
body{margin:0;font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,Arial,sans-serif;
background:#f3f4f6;color:#1f2937}
header{background:#1f2937;color:#f9fafb;padding:18px 20px 16px}
header h1{margin:0;font-size:15px;font-weight:600;color:#9ca3af;letter-spacing:.03em}
header .resumo{margin:4px 0 2px;font-size:26px;font-weight:700}
header p{margin:0;color:#d1d5db}
header .alerta{color:#fcd34d;font-weight:600}
header .matriz{margin-top:4px}
main{max-width:1180px;margin:0 auto;padding:14px 12px 28px}
.barra{display:flex;height:10px;border-radius:5px;overflow:hidden;background:#e5e7eb;
margin:2px 0 10px}
.barra i{display:block}
.barra .r{background:#dc2626}.barra .a{background:#f59e0b}.barra .v{background:#16a34a}
.chips{display:flex;flex-wrap:wrap;gap:6px;margin:0 0 12px}
.chips span{padding:2px 10px;border-radius:999px;font-size:13px;font-weight:600}
.chips .r,tr.r .s{background:#fee2e2;color:#991b1b}
.chips .a,tr.a .s{background:#fef3c7;color:#92400e}
.chips .v,tr.v .s{background:#dcfce7;color:#166534}
table{width:100%;border-collapse:collapse;background:#fff;border-radius:10px;overflow:hidden;
box-shadow:0 1px 3px rgba(0,0,0,.08)}
th{font-size:12px;text-transform:uppercase;letter-spacing:.04em;color:#6b7280;background:#f9fafb;
text-align:left;padding:9px 10px;font-weight:600}
td{padding:9px 10px;border-top:1px solid #eceef2;vertical-align:top}
tr.r{--c:#dc2626}tr.a{--c:#f59e0b}tr.v{--c:#16a34a}
tr td:first-child{border-left:6px solid var(--c)}
td.b{font-weight:600}
td.b .nome{overflow-wrap:anywhere}
td.b .nome+.nw{font-weight:400;color:#4b5563;font-size:13px}
.nw{white-space:nowrap;font-variant-numeric:tabular-nums}
td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
td.z{color:#9ca3af}
.s{display:inline-block;padding:1px 9px;border-radius:999px;font-size:13px;font-weight:600;
white-space:nowrap}
tr.x td{border-top:0;padding-top:0;font-size:13px;color:#4b5563}
.falha{white-space:pre-wrap;word-break:break-word;font:12px/1.4 ui-monospace,Consolas,monospace;
background:#fef2f2;color:#7f1d1d;border-radius:6px;padding:6px 8px;margin:0 0 4px}
.cod{word-break:break-word;margin:0 0 4px}
.cod b,.nota b{color:#374151}
.nota{margin:0 0 4px}
details{margin-top:14px}
summary{cursor:pointer;background:#fff;border-radius:10px;padding:12px 14px;font-weight:600;
color:#166534;box-shadow:0 1px 3px rgba(0,0,0,.08)}
details[open] summary{margin-bottom:8px}
footer{max-width:1180px;margin:0 auto;padding:0 12px 24px;font-size:12px;color:#6b7280}
@media (max-width:700px){
header .resumo{font-size:22px}
thead{display:none}
table,tbody{display:block;width:100%}
tr.f{display:flex;flex-wrap:wrap;align-items:baseline;border-top:1px solid #e5e7eb;
border-left:6px solid var(--c);padding:8px 0 6px}
tr.x{display:block;border-left:6px solid var(--c);padding:0 0 8px}
tr td:first-child{border-left:0}
td{display:block;border:0;padding:1px 12px}
tr.f td:first-child{flex:1 1 auto}
tr.f td:nth-child(n+3){width:50%;font-size:14px}
tr.f td:nth-child(4){width:100%}
td.n{text-align:left}
tr.f td:nth-child(n+3)::before{color:#6b7280;font-size:12px}
tr.f td:nth-child(4)::before{content:"Recibo: "}
tr.f td:nth-child(5)::before{content:"Comandos: "}
tr.f td:nth-child(6)::before{content:"Sem produto: "}
tr.f td:nth-child(7)::before{content:"Versão: "}
}
)";

constexpr std::string_view kTableHead =
    "<table><thead><tr><th>Filial</th><th>Atraso</th><th>Último resultado</th>"
    "<th>Último recibo</th><th class=\"n\">Comandos</th><th class=\"n\">Sem produto</th>"
    "<th>Versão</th></tr></thead><tbody>\n";

void AppendRow(std::string& out, const StatusRow& row, const Day& today) {
  const BranchReport& report = *row.report;
  const Receipt* r = OwnReceipt(row);
  const char* cls = LightClass(row.light);
  out += "<tr class=\"f ";
  out += cls;
  out += "\"><td class=\"b\">";
  if (const std::string name = BranchName(row); !name.empty()) {
    out += "<span class=\"nome\">" + Escape(name) + "</span> ";
  }
  // A CNPJ never wraps; a longer label (a file name, a CGC of junk) may,
  // or it would push a phone's page sideways.
  const std::string label = Label(row);
  out += CharCount(label) <= kMaxWholeLabel ? Whole(Escape(label))
                                            : "<span class=\"nome\">" + Escape(label) + "</span>";
  out += "</td><td><span class=\"s\">";
  out += Escape(BehindText(row));
  out += "</span></td><td>";
  out += OutcomeText(row);
  out += "</td><td>";
  if (r) {
    const auto [day, text] = MomentText(r->start);
    out += Whole(text);
    const std::int64_t age = DaysBetween(day, today);
    if (age >= 2) out += " " + Whole("(há " + std::to_string(age) + " dias)");
    // A bare count is one word and cannot wrap: no span needed.
    auto number = [&](std::int64_t n) {
      out += n == 0 ? "</td><td class=\"n z\">0" : "</td><td class=\"n\">" + std::to_string(n);
    };
    number(r->statements_applied);
    // A branch with SomenteAlterados: how many of them changed a product.
    if (r->changed_count) {
      out += " " + Whole("(" + std::to_string(*r->changed_count) + " alterados)");
    }
    number(r->unmatched_count);
    out += "</td><td>" + Show(r->version, kMaxVersion);
  } else {
    out += "-</td><td class=\"n\">-</td><td class=\"n\">-</td><td>-";
  }
  out += "</td></tr>\n";

  std::string detail;
  if (!Readable(report)) {
    detail += "<div class=\"falha\">Recibo ilegível (" + Show(report.file_name, kMaxLabel) +
              "): " + Show(report.parsed.error, kMaxError) + "</div>";
  } else if (!r) {
    detail += "<div class=\"falha\">Recibo em nome de outra filial: " +
              Show(report.file_name, kMaxLabel) + " diz ser de " +
              Show(report.parsed.receipt->cgc, kMaxLabel) + " e não conta como dela.</div>";
  } else {
    if (!r->failure.empty()) {
      detail += "<div class=\"falha\">";
      for (size_t i = 0; i < r->failure.size() && i < kMaxFailureLines; ++i) {
        if (i > 0) detail += '\n';
        detail += Show(r->failure[i], kMaxFailureLine);
      }
      if (r->failure.size() > kMaxFailureLines) {
        detail += "\n… e mais " + Plural(r->failure.size() - kMaxFailureLines, "linha", "linhas");
      }
      detail += "</div>";
    }
    if (auto stale = StaleText(*r)) detail += "<div class=\"nota\"><b>" + *stale + "</b></div>";
    if (r->unmatched_count > 0) {
      detail += "<div class=\"cod\"><b>Produtos não encontrados (" +
                std::to_string(r->unmatched_count) + "):</b> ";
      for (size_t i = 0; i < r->unmatched_codes.size(); ++i) {
        if (i > 0) detail += ", ";
        detail += Show(r->unmatched_codes[i], kMaxCode);
      }
      const auto listed = static_cast<std::int64_t>(r->unmatched_codes.size());
      if (r->unmatched_count > listed) {
        detail += (listed > 0 ? " e mais " : "códigos não enviados: ") +
                  std::to_string(r->unmatched_count - listed);
      }
      detail += "</div>";
    }
    for (size_t i = 0; i < r->notes.size() && i < kMaxNotes; ++i) {
      detail += "<div class=\"nota\"><b>Aviso:</b> " + Show(r->notes[i], kMaxNote) + "</div>";
    }
    if (r->cut) detail += "<div class=\"nota\">Recibo cortado: parte do texto não coube.</div>";
  }
  if (!detail.empty()) {
    out += "<tr class=\"x ";
    out += cls;
    out += "\"><td colspan=\"7\">" + detail + "</td></tr>\n";
  }
}

}  // namespace

std::string StatusHtml(const FleetStatus& status) {
  const std::vector<StatusRow> rows = RankBranches(status);
  const Day today = LocalPartsOf(status.now).day;
  size_t counts[3] = {0, 0, 0};
  for (const StatusRow& row : rows) ++counts[static_cast<int>(row.light)];
  const size_t green = counts[static_cast<int>(Light::kGreen)];
  const bool fold = green > kFoldGreenRows;

  std::string out;
  out.reserve(4096 + rows.size() * 260);
  out +=
      "<!DOCTYPE html>\n<html lang=\"pt-BR\"><head><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
      "<title>Quilvane - situação das filiais</title>\n<style>";
  out += kStyle;
  out += "</style></head><body>\n<header><h1>QUILVANE · SITUAÇÃO DAS FILIAIS</h1>\n";
  out += "<div class=\"resumo\">" + SummaryLine(rows) + "</div>\n<p>Último arquivo da matriz: ";
  if (status.published_day) {
    out += "<b class=\"nw\">" + DayText(*status.published_day) + "</b>";
    const std::int64_t idle = DaysBetween(*status.published_day, today);
    if (idle >= 2) {
      out += " <span class=\"alerta\">(há " + std::to_string(idle) + " dias sem publicar)</span>";
    }
  } else {
    out += "<b>desconhecido</b>";
  }
  out += "</p>\n";
  // Facts of the head office's file and of the reading: once, here.
  if (const std::string no_code = NoCodeText(rows, status.published_day); !no_code.empty()) {
    out += "<p class=\"matriz\">" + no_code + "</p>\n";
  }
  if (const std::string unread = UnreadText(status.unread_receipts); !unread.empty()) {
    out += "<p class=\"alerta\">" + unread + "</p>\n";
  }
  out += "</header>\n<main>\n";
  if (!rows.empty()) {
    out += "<div class=\"barra\">";
    for (int l = 0; l < 3; ++l) {
      if (counts[l] == 0) continue;
      out += "<i class=\"" + std::string(LightClass(static_cast<Light>(l))) +
             "\" style=\"flex:" + std::to_string(counts[l]) + "\"></i>";
    }
    out += "</div>\n<div class=\"chips\">";
    out += "<span class=\"r\">" + std::to_string(counts[0]) + " em vermelho</span>";
    out += "<span class=\"a\">" + std::to_string(counts[1]) + " em âmbar</span>";
    out += "<span class=\"v\">" + std::to_string(counts[2]) + " em verde</span></div>\n";
  }
  const size_t shown = fold ? rows.size() - green : rows.size();
  if (shown > 0) {
    out += kTableHead;
    for (size_t i = 0; i < shown; ++i) AppendRow(out, rows[i], today);
    out += "</tbody></table>\n";
  }
  if (fold) {
    // Green rows come last; a chain this big reads its problems first.
    out +=
        "<details><summary>" + Plural(green, "filial", "filiais") + " em dia (mostrar)</summary>\n";
    out += kTableHead;
    for (size_t i = shown; i < rows.size(); ++i) AppendRow(out, rows[i], today);
    out += "</tbody></table></details>\n";
  }
  out += "</main>\n<footer>Gerado em " + MomentText(status.now).second + " pelo Quilvane " +
         Escape(QUILVANE_VERSION) +
         ". Verde: aplicou o último arquivo da matriz. Âmbar: um dia atrás ou a última "
         "tentativa falhou. Vermelho: dois dias ou mais, nunca aplicou, ou recibo "
         "ilegível ou em nome de outra filial.</footer>\n</body></html>\n";
  return out;
}

}  // namespace quilvane::sync
