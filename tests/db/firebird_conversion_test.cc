// Every column kind read by every conversion against the real Firebird
// server (label integration), and the conversions it refuses.

#include "tests/db/firebird_fixture.h"

namespace quilvane::db {
namespace {

class FirebirdConversion : public FirebirdTest {
 protected:
  void SetUp() override {
    FirebirdTest::SetUp();
    if (HasFatalFailure()) return;
    env_.SetNow(2026, 6, 1);
    db_->Execute(R"(
CREATE TABLE CONV (ID INTEGER, SI SMALLINT, I INTEGER, BI BIGINT, N1 NUMERIC(4,1),
  N2 NUMERIC(15,2), N3 NUMERIC(9,3), N4 DECIMAL(18,4), N6 NUMERIC(18,6), DBL DOUBLE PRECISION,
  FLT FLOAT, DT DATE, TS TIMESTAMP, CH CHAR(10), VC VARCHAR(10), TXTDATE VARCHAR(20));
COMMIT;
INSERT INTO CONV VALUES (1, -7, 123456, 9000000000, 12.3, 12.5, -1.234, 3.1416, 2.123456,
  0.03125, 0.5, '2026-03-31', '2026-03-31 06:00:00', 'abc', 'abc  ', '31/03/2026 12:00');
INSERT INTO CONV (ID) VALUES (2);
INSERT INTO CONV VALUES (3, 0, -1, 0, -0.5, 0, 0, 0.0001, 2.000015,
  0.09375, -0.25, '1899-12-30', '1899-12-30 00:00:00', '   ', '', 'garbage');
)");
  }
};

constexpr const char* kConvColumns[] = {"SI",  "I",   "BI", "N1", "N2", "N3", "N4",     "N6",
                                        "DBL", "FLT", "DT", "TS", "CH", "VC", "TXTDATE"};

TEST_F(FirebirdConversion, EachColumnKindByEachConversion) {
  Components c{platform::Env::Default()};
  Connect(c);
  Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT * FROM CONV ORDER BY ID");
  q.Open();
  const double day = *platform::TryEncodeDate(2026, 3, 31);

  struct Want {
    const char* column;
    std::optional<std::int64_t> currency;  // nullopt: the conversion is refused
    std::string text;
    std::optional<double> datetime;  // nullopt: the conversion is refused
    bool is_null;
  };
  // Row 1: values.
  const Want row1[] = {
      {"SI", -70000, "-7", {}, false},
      {"I", 1234560000, "123456", {}, false},
      {"BI", 90000000000000, "9000000000", {}, false},
      {"N1", 123000, "12,3", {}, false},
      {"N2", 125000, "12,5", {}, false},
      {"N3", -12340, "-1,234", {}, false},
      {"N4", 31416, "3,1416", {}, false},
      {"N6", 21235, "2,123456", {}, false},
      {"DBL", 312, "0,03125", {}, false},
      {"FLT", 5000, "0,5", {}, false},
      {"DT", {}, "31/03/2026", day, false},
      {"TS", {}, "31/03/2026 06:00:00", day + 0.25, false},
      {"CH", {}, "abc", {}, false},
      {"VC", {}, "abc  ", {}, false},
      {"TXTDATE", {}, "31/03/2026 12:00", day + 0.5, false},
  };
  // Row 2: every column NULL.
  const Want row2[] = {
      {"SI", 0, "", {}, true},  {"I", 0, "", {}, true},    {"BI", 0, "", {}, true},
      {"N1", 0, "", {}, true},  {"N2", 0, "", {}, true},   {"N3", 0, "", {}, true},
      {"N4", 0, "", {}, true},  {"N6", 0, "", {}, true},   {"DBL", 0, "", {}, true},
      {"FLT", 0, "", {}, true}, {"DT", {}, "", 0.0, true}, {"TS", {}, "", 0.0, true},
      {"CH", {}, "", {}, true}, {"VC", {}, "", {}, true},  {"TXTDATE", {}, "", {}, true},
  };
  // Row 3: zeros, halves, blanks and the first day of the date scale.
  const Want row3[] = {
      {"SI", 0, "0", {}, false},
      {"I", -10000, "-1", {}, false},
      {"BI", 0, "0", {}, false},
      {"N1", -5000, "-0,5", {}, false},
      {"N2", 0, "0", {}, false},
      {"N3", 0, "0", {}, false},
      {"N4", 1, "0,0001", {}, false},
      {"N6", 20000, "2,000015", {}, false},  // 2.000015: an exact half goes to the even 2.0000
      {"DBL", 938, "0,09375", {}, false},    // 937.5 ten-thousandths: to the even 938
      {"FLT", -2500, "-0,25", {}, false},
      {"DT", {}, "30/12/1899", 0.0, false},
      {"TS", {}, "30/12/1899", 0.0, false},
      {"CH", {}, "", {}, true},  // blanks only: empty once trimmed
      {"VC", {}, "", {}, true},
      {"TXTDATE", {}, "garbage", {}, false},
  };
  const Want* rows[] = {row1, row2, row3};
  for (int r = 0; r < 3; ++r, q.Next()) {
    ASSERT_FALSE(q.Eof());
    for (int i = 0; i < 15; ++i) {
      const Want& w = rows[r][i];
      SCOPED_TRACE(std::string("row ") + std::to_string(r + 1) + " column " + w.column);
      const Field f = q.FieldByName(w.column);
      EXPECT_EQ(f.IsNull(), w.is_null);
      EXPECT_EQ(f.AsString(), w.text);
      if (w.currency) {
        EXPECT_EQ(f.AsCurrency(), *w.currency);
      } else {
        EXPECT_THROW(f.AsCurrency(), DbError);
      }
      if (w.datetime) {
        EXPECT_DOUBLE_EQ(f.AsDateTime(), *w.datetime);
      } else {
        EXPECT_THROW(f.AsDateTime(), DbError);
      }
    }
  }
  EXPECT_TRUE(q.Eof());
}

TEST_F(FirebirdConversion, RefusedConversionsNameFieldAndType) {
  Components c{platform::Env::Default()};
  Connect(c);
  Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT I AS INICIOPROM, CH, TXTDATE FROM CONV ORDER BY ID");
  q.Open();
  for (int r = 0; r < 3; ++r, q.Next()) {  // also when the value is NULL
    try {
      q.FieldByName("inicioprom").AsDateTime();
      FAIL() << "an INTEGER read as a date";
    } catch (const DbError& e) {
      EXPECT_STREQ(e.what(), "Cannot access field 'INICIOPROM' as type DateTime");
    }
  }
  q.First();
  EXPECT_THROW(q.FieldByName("CH").AsDateTime(), DbError);  // "abc"
  EXPECT_THROW(q.FieldByName("NOPE"), DbError);
}

}  // namespace
}  // namespace quilvane::db
