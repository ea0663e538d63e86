#include "exchange/literal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/datetime.h"

namespace quilvane::exchange {
namespace {

struct ValorCase {
  std::int64_t valor;  // ten-thousandths
  int casas;
  const char* expected;
};

TEST(FormataValorTest, RoundsTheScaledIntegerHalfToEven) {
  const ValorCase cases[] = {
      {0, 2, "NULL"},
      {0, 3, "NULL"},
      {105000, 2, "10.50"},
      {12345678910, 2, "1234567.89"},
      {-30000, 2, "-3.00"},
      {12350, 2, "1.24"},
      {12450, 2, "1.24"},
      {12451, 2, "1.25"},
      {-12350, 2, "-1.24"},
      {-12450, 2, "-1.24"},
      {40, 2, "0.00"},
      {-40, 2, "0.00"},  // a rounded zero carries no sign
      {-50, 2, "0.00"},  // half to the even zero
      {-51, 2, "-0.01"},
      {50, 2, "0.00"},
      {150, 2, "0.02"},
      {20000, 3, "2.000"},
      {12345, 3, "1.234"},
      {12355, 3, "1.236"},
      {-5, 3, "0.000"},
      {-6, 3, "-0.001"},
      {99995, 2, "10.00"},  // the carry reaches the integer digits
      {-99995, 2, "-10.00"},
      {12345, 4, "1.2345"},
      {12345, 6, "1.234500"},
      {12345, 0, "1"},
      {15000, 0, "2"},
      {25000, 0, "2"},
      {12345, -3, "1"},
      {1, 40, "0.0001000000000000000000"},  // at most 22 decimals
      {std::numeric_limits<std::int64_t>::max(), 2, "922337203685477.58"},
      {std::numeric_limits<std::int64_t>::min(), 2, "-922337203685477.58"},
      {std::numeric_limits<std::int64_t>::min(), 4, "-922337203685477.5808"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormataValor(c.valor, c.casas), c.expected) << c.valor << " / " << c.casas;
  }
}

platform::DateTime Day(int y, int m, int d) { return *platform::TryEncodeDate(y, m, d); }

TEST(FormataDataTest, MonthFirstWithSlashesWhateverTheRegion) {
  const struct {
    platform::DateTime data;
    const char* expected;
  } cases[] = {
      {0, "NULL"},
      {Day(2024, 3, 5), "'3/5/2024'"},
      {Day(2023, 10, 17), "'10/17/2023'"},
      {Day(2023, 10, 17) + 0.75, "'10/17/2023'"},  // the time is dropped
      {platform::EncodeTime(8, 0, 0, 0), "'12/30/1899'"},
      {-1, "'12/29/1899'"},
      {-1.5, "'12/29/1899'"},
      {Day(1, 1, 1), "'1/1/0001'"},
      {Day(9999, 12, 31) + 0.5, "'12/31/9999'"},
      {Day(9999, 12, 31) + 1, "NULL"},
      {std::numeric_limits<double>::quiet_NaN(), "NULL"},
      {std::numeric_limits<double>::infinity(), "NULL"},
      {-1e300, "NULL"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormataData(c.data), c.expected) << c.data;
}

TEST(FormataTextoTest, QuotesAndDoublesApostrophes) {
  const struct {
    std::string_view texto;
    const char* expected;
  } cases[] = {
      {"", "NULL"},  {"P", "'P'"}, {"7891234", "'7891234'"}, {"D'AVILA", "'D''AVILA'"},
      {"'", "''''"}, {" ", "' '"}, {"A\r\nB", "'A\r\nB'"},   {"JOS\xc3\x89", "'JOS\xc3\x89'"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormataTexto(c.texto), c.expected) << c.texto;
}

TEST(ExtraiNumeroTest, KeepsAsciiDigitsOnly) {
  EXPECT_EQ(ExtraiNumero("12.345.678/0001-90"), "12345678000190");
  EXPECT_EQ(ExtraiNumero("sem digitos"), "");
  EXPECT_EQ(ExtraiNumero(""), "");
  // Arabic-Indic and full-width digits are not ASCII digits.
  EXPECT_EQ(ExtraiNumero("1\xd9\xa3"
                         "2\xef\xbc\x95"
                         "3"),
            "123");
}

}  // namespace
}  // namespace quilvane::exchange
