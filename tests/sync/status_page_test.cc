// Guards the status page: the colour rules, worst first, what each row and
// the head office's line show, and that a large chain stays readable
// (folded greens, bounded size).
#include "sync/status_page.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/sync/status_fixture.h"

namespace quilvane::sync {
namespace {

using testing_fleet::Branch;
using testing_fleet::Count;
using testing_fleet::Fleet;
using testing_fleet::kPublished;
using testing_fleet::Unreadable;

TEST(StatusPage, ColourRules) {
  struct Case {
    const char* name;
    std::optional<int> behind;  // days the branch's recorded day lies before the head office's
    Outcome outcome;
    bool head_office_known;
    Light light;
    std::optional<std::int64_t> days;
  };
  const Case cases[] = {
      {"applied today's file", 0, Outcome::kApplied, true, Light::kGreen, 0},
      {"nothing new, up to date", 0, Outcome::kNothingNew, true, Light::kGreen, 0},
      {"up to date but last try failed", 0, Outcome::kFailed, true, Light::kAmber, 0},
      {"one day behind", 1, Outcome::kNothingNew, true, Light::kAmber, 1},
      {"one day behind and failed", 1, Outcome::kFailed, true, Light::kAmber, 1},
      {"two days behind", 2, Outcome::kApplied, true, Light::kRed, 2},
      {"a week behind, failing", 7, Outcome::kFailed, true, Light::kRed, 7},
      {"ahead of a stale head office", -1, Outcome::kApplied, true, Light::kGreen, 0},
      {"never applied", std::nullopt, Outcome::kFailed, true, Light::kRed, std::nullopt},
      {"never applied, nothing new", std::nullopt, Outcome::kNothingNew, true, Light::kRed,
       std::nullopt},
      {"head office unknown", 3, Outcome::kApplied, false, Light::kGreen, std::nullopt},
      {"head office unknown, failed", 3, Outcome::kFailed, false, Light::kAmber, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const BranchReport report = Branch("1", c.behind, c.outcome);
    const StatusRow row =
        RankBranch(report, c.head_office_known ? std::optional<Day>(kPublished) : std::nullopt);
    EXPECT_EQ(c.light, row.light);
    EXPECT_EQ(c.days, row.days_behind);
  }
  const BranchReport broken = Unreadable("lixo.txt");
  EXPECT_EQ(Light::kRed, RankBranch(broken, kPublished).light);
}

TEST(StatusPage, WorstFirst) {
  FleetStatus status;
  status.published_day = kPublished;
  status.now = testing_fleet::kNow;
  status.reports = {
      Branch("g-b", 0, Outcome::kApplied),
      Branch("a-1", 1, Outcome::kApplied),
      Branch("r-3", 3, Outcome::kApplied),
      Branch("g-a", 0, Outcome::kNothingNew),
      Branch("a-f", 0, Outcome::kFailed),
      Branch("r-9", 9, Outcome::kFailed),
      Branch("r-n", std::nullopt, Outcome::kFailed),
      Unreadable("x.txt"),
      Branch("r-3f", 3, Outcome::kFailed),
  };
  std::vector<std::string> order;
  for (const StatusRow& row : RankBranches(status)) {
    order.push_back(row.report->parsed.receipt ? row.report->parsed.receipt->cgc
                                               : row.report->file_name);
  }
  EXPECT_EQ(
      (std::vector<std::string>{"x.txt", "r-n", "r-9", "r-3f", "r-3", "a-1", "a-f", "g-a", "g-b"}),
      order);
}

TEST(StatusPage, SummaryCountsGreenOfAll) {
  FleetStatus status;
  status.published_day = kPublished;
  status.now = testing_fleet::kNow;
  for (int i = 0; i < 37; ++i) status.reports.push_back(Branch(std::to_string(i), 0));
  status.reports.push_back(Branch("late", 1));
  status.reports.push_back(Branch("never", std::nullopt));
  status.reports.push_back(Unreadable("broken.txt"));
  EXPECT_EQ("37 de 40 filiais em dia", SummaryLine(RankBranches(status)));
  const std::string html = StatusHtml(status);
  EXPECT_NE(std::string::npos, html.find("37 de 40 filiais em dia"));
  EXPECT_NE(std::string::npos, html.find("17/10/2023"));  // the head office's day
  EXPECT_EQ(40u, Count(html, "<tr class=\"f "));
  EXPECT_EQ(std::string::npos, html.find("<details"));  // 37 greens are not folded
  status.reports.resize(1);
  EXPECT_EQ("1 de 1 filial em dia", SummaryLine(RankBranches(status)));
  status.reports.clear();
  EXPECT_EQ("Nenhum recibo de filial", SummaryLine(RankBranches(status)));
}

TEST(StatusPage, MoreThanFiftyGreenRowsAreFolded) {
  for (int greens : {50, 51, 400}) {
    SCOPED_TRACE(greens);
    FleetStatus status;
    status.published_day = kPublished;
    status.now = testing_fleet::kNow;
    for (int i = 0; i < greens; ++i) status.reports.push_back(Branch("g" + std::to_string(i), 0));
    status.reports.push_back(Branch("red", 4, Outcome::kFailed));
    status.reports.push_back(Branch("amber", 1));
    const std::string html = StatusHtml(status);
    EXPECT_EQ(static_cast<size_t>(greens) + 2, Count(html, "<tr class=\"f "));
    const size_t details = html.find("<details>");
    if (greens <= 50) {
      EXPECT_EQ(std::string::npos, details);
      continue;
    }
    ASSERT_NE(std::string::npos, details);
    EXPECT_EQ(1u, Count(html, "<details>"));
    const std::string before = html.substr(0, details);
    const std::string inside = html.substr(details);
    EXPECT_EQ(2u, Count(before, "<tr class=\"f "));  // the red and the amber stay in view
    EXPECT_EQ(static_cast<size_t>(greens), Count(inside, "<tr class=\"f v\""));
    EXPECT_NE(std::string::npos,
              inside.find("<summary>" + std::to_string(greens) + " filiais em dia"));
  }
}

// A branch with SomenteAlterados shows how many products changed; one
// without shows no such count.
TEST(StatusPage, ShowsTheChangedCountOfBranchesThatCompare) {
  Receipt comparing = testing_fleet::Applied("11.111.111/0001-11", kPublished);
  comparing.changed_count = 1042;
  comparing.unchanged_count = 98958;
  FleetStatus status;
  status.published_day = kPublished;
  status.now = testing_fleet::kNow;
  status.reports.push_back(testing_fleet::Report(comparing));
  status.reports.push_back(
      testing_fleet::Report(testing_fleet::Applied("22.222.222/0001-22", kPublished)));
  const std::string html = StatusHtml(status);
  EXPECT_EQ(1u, Count(html, "1042 alterados"));
  EXPECT_EQ(1u, Count(html, " alterados)"));
}

// The page's head, where facts of the head office go, and its rows.
std::pair<std::string, std::string> HeadAndRows(const std::string& html) {
  const size_t main = html.find("<main>");
  return {html.substr(0, main), html.substr(main)};
}

TEST(StatusPage, ReceiptNamedForItsOwnBranchOnly) {
  struct Case {
    const char* file;
    const char* cgc;
    bool foreign;
  };
  const Case cases[] = {
      {"12345678000271.txt", "12.345.678/0002-71", false},
      {"11111111000111.txt", "12.345.678/0002-71", true},
      {"sem-cgc-loja12.txt", "", false},
      {"sem-cgc-loja12.txt", "  ", false},
      {"sem-cgc-loja12.txt", "12.345", true},
      {"12345678000271.txt", "", true},
      {"1234567800027.txt", "12.345.678/0002-71", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " / " + c.cgc);
    EXPECT_EQ(c.foreign,
              ClaimsOtherBranch(BranchReport{
                  c.file, ParsedReceipt{testing_fleet::Applied(c.cgc, kPublished), ""}}));
  }
  EXPECT_FALSE(ClaimsOtherBranch(testing_fleet::Unreadable("1.txt")));
}

// A receipt stored under another branch's name is a flagged row of its
// own: the branch it claims to be keeps its own (red) row and nothing of
// the forged one is counted as green.
TEST(StatusPage, ReceiptInAnotherBranchsNameIsFlaggedNotMerged) {
  BranchReport forged = Branch("22.222.222/0001-22", 0);
  forged.file_name = "33333333000133.txt";
  forged.parsed.receipt->name = "Loja Forjada";
  const FleetStatus status = Fleet({Branch("22.222.222/0001-22", 4), forged});
  const std::vector<StatusRow> rows = RankBranches(status);
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ("0 de 2 filiais em dia", SummaryLine(rows));
  EXPECT_TRUE(rows[0].foreign);
  EXPECT_EQ(Light::kRed, rows[0].light);

  const std::string html = StatusHtml(status);
  EXPECT_EQ(1u, Count(html, "<span class=\"nw\">33333333000133.txt</span>"));
  EXPECT_EQ(1u, Count(html, "<span class=\"nw\">22.222.222/0001-22</span>"));
  EXPECT_EQ(1u, Count(html, ">recibo em nome de outra filial</span>"));
  EXPECT_EQ(1u, Count(html, "33333333000133.txt diz ser de 22.222.222/0001-22"));
  EXPECT_EQ(0u, Count(html, "Loja Forjada"));
  EXPECT_EQ(1u, Count(html, ">4 dias</span>"));

  const std::string table = StatusTable(status);
  EXPECT_NE(std::string::npos, table.find("recibo em nome de outra filial"));
  EXPECT_NE(std::string::npos, table.find("o recibo 33333333000133.txt diz ser de"));
  EXPECT_EQ(std::string::npos, table.find("Loja Forjada"));
}

// Products without a code are the head office's data: said once, at its
// line, from the branches that applied its newest file; never per branch.
TEST(StatusPage, CodelessProductsShowOnceAtTheHeadOfficeLine) {
  auto with_no_code = [](const std::string& cgc, int behind, std::int64_t no_code) {
    Receipt r = testing_fleet::Applied(cgc, testing_fleet::AddDays(kPublished, -behind));
    r.no_code_count = no_code;
    return testing_fleet::Report(r);
  };
  struct Case {
    const char* name;
    std::vector<BranchReport> reports;
    const char* head;  // "": nothing said
  };
  const Case cases[] = {
      {"two",
       {with_no_code("11.111.111/0001-11", 0, 2), with_no_code("22.222.222/0001-22", 0, 2),
        with_no_code("33.333.333/0001-33", 3, 7)},
       "<p class=\"matriz\">2 produtos da matriz sem código</p>"},
      {"one",
       {with_no_code("11.111.111/0001-11", 0, 1)},
       "<p class=\"matriz\">1 produto da matriz sem código</p>"},
      {"only an older file's",
       {with_no_code("11.111.111/0001-11", 1, 4)},
       "<p class=\"matriz\">4 produtos da matriz sem código no arquivo de 16/10/2023</p>"},
      {"none", {with_no_code("11.111.111/0001-11", 0, 0), Branch("22.222.222/0001-22", 2)}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FleetStatus status = Fleet(c.reports);
    const auto [head, rows] = HeadAndRows(StatusHtml(status));
    EXPECT_EQ(0u, Count(rows, "sem código"));
    EXPECT_EQ(*c.head ? 1u : 0u, Count(head, "sem código"));
    if (*c.head) {
      EXPECT_EQ(1u, Count(head, c.head)) << head;
    }
    EXPECT_EQ(*c.head ? 1u : 0u, Count(StatusTable(status), "sem código"));
  }
}

TEST(StatusPage, ReceiptsPastTheReadingLimitAreCounted) {
  FleetStatus status = Fleet({Branch("11.111.111/0001-11", 0)});
  status.unread_receipts = 17;
  const auto [head, rows] = HeadAndRows(StatusHtml(status));
  EXPECT_EQ(1u, Count(head, "17 recibos não lidos"));
  EXPECT_EQ(1u, Count(StatusTable(status), "17 recibos não lidos"));
  status.unread_receipts = 0;
  EXPECT_EQ(0u, Count(StatusHtml(status), "não lido"));
  EXPECT_EQ(0u, Count(StatusTable(status), "não lido"));
}

// A branch that could only get an old file says so in its row, counted
// from its own day; a claim of less than two days is not believed.
TEST(StatusPage, StaleFileShowsInTheBranchRow) {
  BranchReport stale = Branch("11.111.111/0001-11", 3, Outcome::kNothingNew);
  stale.parsed.receipt->stale_file_day = testing_fleet::AddDays(kPublished, -3);
  BranchReport fresh = Branch("22.222.222/0001-22", 0);
  fresh.parsed.receipt->stale_file_day = testing_fleet::AddDays(kPublished, -1);
  const FleetStatus status = Fleet({stale, fresh});
  const std::string line = "Arquivo da matriz de 14/10/2023: 3 dias sem atualização";
  EXPECT_EQ(1u, Count(StatusHtml(status), line));
  EXPECT_EQ(1u, Count(StatusHtml(status), "sem atualização"));
  EXPECT_EQ(1u, Count(StatusTable(status), "    " + line + "\n"));
  EXPECT_EQ(1u, Count(StatusTable(status), "sem atualização"));
}

TEST(StatusPage, ThousandBranchesMakeAPageOfAFewHundredKilobytes) {
  const FleetStatus status = testing_fleet::Chain(1000);
  const std::string html = StatusHtml(status);
  EXPECT_EQ(1000u, Count(html, "<tr class=\"f "));
  EXPECT_LT(html.size(), 600u * 1024) << html.size();
  EXPECT_NE(std::string::npos, html.find("<details>"));
}

// A chain of 2,000 named branches still makes a page under 1 MB, its greens
// folded, so a phone on a slow link opens it.
TEST(StatusPage, TwoThousandNamedBranchesStayUnderAMegabyte) {
  FleetStatus status = testing_fleet::Chain(2000);
  for (BranchReport& report : status.reports) {
    if (report.parsed.receipt) report.parsed.receipt->name = std::string(60, 'L');
  }
  const std::string html = StatusHtml(status);
  EXPECT_EQ(2000u, Count(html, "<tr class=\"f "));
  EXPECT_EQ(1u, Count(html, "<details>"));
  EXPECT_LT(html.size(), 1000u * 1000) << html.size();
}

}  // namespace
}  // namespace quilvane::sync
