// Guards the status page and the terminal table against what a receipt
// holds: nothing in it can run or load anything on the page, or move the
// terminal's cursor.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "sync/status_page.h"
#include "tests/sync/status_fixture.h"

namespace quilvane::sync {
namespace {

using testing_fleet::Branch;
using testing_fleet::Count;
using testing_fleet::Fleet;
using testing_fleet::kPublished;
using testing_fleet::Unreadable;

// Every tag and attribute on the page is one the page itself writes: no
// receipt text became markup, and nothing loads or runs.
void ExpectOnlyOwnMarkup(const std::string& html) {
  static const std::set<std::string> kTags = {
      "!DOCTYPE", "html",  "head", "meta", "title", "style",   "body",    "header",
      "h1",       "div",   "p",    "b",    "span",  "main",    "i",       "table",
      "thead",    "tbody", "tr",   "th",   "td",    "details", "summary", "footer"};
  static const std::set<std::string> kAttributes = {"lang",  "charset", "name", "content",
                                                    "class", "colspan", "style"};
  const std::regex tag("<(/?)([!A-Za-z0-9]+)([^>]*)>");
  const std::regex attribute("([A-Za-z-]+)=\"([^\"]*)\"");
  size_t tags = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), tag); it != std::sregex_iterator();
       ++it) {
    ++tags;
    const std::string name = (*it)[2];
    EXPECT_TRUE(kTags.count(name)) << "tag " << it->str();
    const std::string rest = (*it)[3];
    for (auto a = std::sregex_iterator(rest.begin(), rest.end(), attribute);
         a != std::sregex_iterator(); ++a) {
      EXPECT_TRUE(kAttributes.count((*a)[1])) << "attribute " << a->str();
      if ((*a)[1] == "style") {
        EXPECT_TRUE(std::regex_match((*a)[2].str(), std::regex("flex:[0-9]+"))) << a->str();
      }
    }
    if (name == "!DOCTYPE") continue;
    // Whatever is left after the known attributes is blank.
    EXPECT_TRUE(std::regex_match(std::regex_replace(rest, attribute, ""), std::regex("\\s*")))
        << it->str();
  }
  EXPECT_GT(tags, 20u);
  const size_t style = html.find("<style>");
  const std::string css = html.substr(style, html.find("</style>") - style);
  for (const char* banned : {"url(", "@import", "expression(", "http", "//"}) {
    EXPECT_EQ(std::string::npos, css.find(banned)) << banned;
  }
}

// What a hostile or broken receipt holds reaches the page only escaped and
// cut, and the page loads nothing and runs nothing.
TEST(StatusPage, ReceiptTextIsEscapedAndCut) {
  Receipt r = testing_fleet::Applied("<script>alert(1)</script>", kPublished);
  r.outcome = Outcome::kFailed;
  r.version = "<img src=http://127.0.0.1:9/x onerror=alert(2)>";
  r.failure = {"<script src=\"http://127.0.0.1:9/a.js\"></script>" + std::string(1 << 20, 'A'),
               "</td></tr></table><iframe src=//127.0.0.1:9>", "x", "y", "z"};
  r.unmatched_count = 2;
  r.unmatched_codes = {"<style>body{display:none}</style>", std::string(1 << 20, '&')};
  r.notes = {"<a href=\"javascript:alert(3)\">x</a>"};
  FleetStatus status;
  status.published_day = kPublished;
  status.now = testing_fleet::kNow;
  status.reports.push_back(BranchReport{"1.txt", ParsedReceipt{r, ""}});
  status.reports.push_back(
      ReadBranchReport("<b onmouseover=alert(4)>.txt", "<script>alert(5)</script>"));
  const std::string html = StatusHtml(status);

  ExpectOnlyOwnMarkup(html);
  EXPECT_EQ(1u, Count(html, "<style>"));  // the page's own
  EXPECT_NE(std::string::npos, html.find("&lt;script&gt;alert(1)&lt;/script&gt;"));
  EXPECT_NE(std::string::npos, html.find("Recibo ilegível"));
  EXPECT_NE(std::string::npos, html.find("e mais 2 linhas"));
  EXPECT_LT(html.size(), 16u * 1024);  // 2 MB of receipt text, a few KB of page
  EXPECT_EQ(2u, Count(html, "<tr class=\"f "));
}

TEST(StatusPage, TerminalTableHasNoControlSequences) {
  Receipt r = testing_fleet::Applied(
      "\x1b[2J\x1b]0;title\x07"
      "12.345",
      kPublished);
  r.outcome = Outcome::kFailed;
  r.failure = {"Falha\r\x1b[31m vermelha"};
  FleetStatus status;
  status.published_day = kPublished;
  status.now = testing_fleet::kNow;
  status.reports.push_back(testing_fleet::Report(r));
  status.reports.push_back(Branch("12.345.678/0002-71", 3));
  status.reports.push_back(Unreadable("lixo.txt"));
  const std::string table = StatusTable(status);
  for (char c : table) {
    const auto b = static_cast<unsigned char>(c);
    EXPECT_TRUE(b >= 0x20 || b == '\n') << "control byte " << int{b};
  }
  // Worst first; columns in the order the operator reads them.
  const std::vector<std::string> want = {
      "Cor",           "Filial",   "Atraso",      "Último resultado",
      "Último recibo", "Comandos", "Sem produto", "Versão"};
  size_t at = 0;
  for (const std::string& w : want) {
    const size_t found = table.find(w, at);
    ASSERT_NE(std::string::npos, found) << w;
    at = found;
  }
  EXPECT_LT(table.find("lixo.txt"), table.find("12.345.678/0002-71"));
  EXPECT_LT(table.find("12.345.678/0002-71"), table.find("vermelha"));
  EXPECT_NE(std::string::npos, table.find("3 dias"));
  EXPECT_NE(std::string::npos, table.find("recibo ilegível (lixo.txt)"));
}

// NomeFilial shows beside the CNPJ, escaped and cut; the CNPJ stays whole.
TEST(StatusPage, BranchNameShowsBesideTheCnpj) {
  BranchReport named = Branch("11.111.111/0001-11", 0);
  named.parsed.receipt->name = "<b>Loja</b> Centro & Cia";
  BranchReport huge = Branch("22.222.222/0001-22", 3);
  huge.parsed.receipt->name = "\x1b[2J" + std::string(1 << 20, 'N');
  const FleetStatus status = Fleet({named, huge, Branch("33.333.333/0001-33", 0)});
  const std::string html = StatusHtml(status);
  ExpectOnlyOwnMarkup(html);
  EXPECT_EQ(1u, Count(html,
                      "&lt;b&gt;Loja&lt;/b&gt; Centro &amp; Cia</span> "
                      "<span class=\"nw\">11.111.111/0001-11</span>"));
  EXPECT_EQ(1u, Count(html, " [2J" + std::string(35, 'N') + "\u2026</span>"));
  EXPECT_LT(html.size(), 16u * 1024);

  const std::string table = StatusTable(status);
  EXPECT_NE(std::string::npos, table.find("Nome"));
  EXPECT_NE(std::string::npos, table.find("11.111.111/0001-11  <b>Loja</b> Centro & Cia"));
  EXPECT_EQ(std::string::npos, table.find('\x1b'));
  EXPECT_EQ(std::string::npos, table.find(std::string(40, 'N')));
  // Without any name, no empty column.
  EXPECT_EQ(std::string::npos, StatusTable(Fleet({Branch("33.333.333/0001-33", 0)})).find("Nome"));
}

}  // namespace
}  // namespace quilvane::sync
