// Guards the receipt's format table, which the writer, the parser and the
// page all walk: a field that names the wrong member would be written or
// read as another (or crash), and an outcome's stored name is what every
// head office reads back.
#include "sync/receipt_format.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sync/status_page.h"

namespace quilvane::sync {
namespace {

TEST(ReceiptFormat, EachFieldNamesTheOneMemberItsKindUses) {
  std::set<std::string_view> keys;
  for (const ReceiptField& f : kReceiptFields) {
    SCOPED_TRACE(f.key);
    EXPECT_TRUE(keys.insert(f.key).second) << "key twice";
    const int members = (f.text != nullptr) + (f.moment != nullptr) + (f.outcome != nullptr) +
                        (f.day != nullptr) + (f.count != nullptr) + (f.maybe_count != nullptr) +
                        (f.lines != nullptr);
    switch (f.kind) {
      case FieldKind::kFormat:
      case FieldKind::kCut:
        EXPECT_EQ(0, members);
        break;
      case FieldKind::kText:
        EXPECT_TRUE(f.text && members == 1);
        break;
      case FieldKind::kMoment:
        EXPECT_TRUE(f.moment && members == 1);
        break;
      case FieldKind::kOutcome:
        EXPECT_TRUE(f.outcome && members == 1);
        break;
      case FieldKind::kDay:
        EXPECT_TRUE(f.day && members == 1);
        break;
      case FieldKind::kDuration:
        EXPECT_TRUE(f.count && members == 1);
        break;
      case FieldKind::kCount:
        EXPECT_TRUE((f.count || f.maybe_count) && members == 1);
        break;
      case FieldKind::kCode:
      case FieldKind::kLine:
        EXPECT_TRUE(f.lines && members == 1);
        break;
    }
  }
  // The version opens the receipt; the cut line closes it, past the budget
  // kept for it.
  EXPECT_EQ(kFormatKey, std::begin(kReceiptFields)->key);
  EXPECT_EQ(kCutKey, std::rbegin(kReceiptFields)->key);
}

// Each outcome as stored, read back, and shown by the terminal table.
TEST(ReceiptFormat, EveryOutcomeIsWrittenReadAndShown) {
  const struct {
    Outcome outcome;
    const char* stored;
    const char* shown;
  } cases[] = {{Outcome::kApplied, "aplicado", "aplicado"},
               {Outcome::kNothingNew, "sem_novidade", "sem novidade"},
               {Outcome::kFailed, "falhou", "falhou"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    Receipt r;
    r.cgc = "12.345.678/0002-71";
    r.outcome = c.outcome;
    const std::string bytes = WriteReceipt(r);
    EXPECT_NE(std::string::npos, bytes.find(std::string("\r\nresultado=") + c.stored + "\r\n"));
    const ParsedReceipt parsed = ParseReceipt(bytes);
    ASSERT_TRUE(parsed.receipt) << parsed.error;
    EXPECT_EQ(c.outcome, parsed.receipt->outcome);
    FleetStatus status;
    status.reports.push_back({"12345678000271.txt", parsed});
    EXPECT_NE(std::string::npos, StatusTable(status).find(c.shown));
  }
}

}  // namespace
}  // namespace quilvane::sync
