// Prints the statements the Wine suite feeds its sites, one line for each
// product code given, built from the exchange file's own fixed texts so that
// a change of the format reaches the suite: the head office's line without
// the popular-pharmacy pair, a cost of 1.00 and every other column NULL.
//   exchange_line 7891000000001 7891000000002 >>file.SQL
#include <cstdio>
#include <string>

#include "exchange/format.h"

namespace {

std::string Line(const std::string& code) {
  namespace ex = quilvane::exchange;
  std::string line;
  for (std::size_t i = 0; i < ex::kStatementPartCount; ++i) {
    if (i == ex::kPopularPart) continue;
    const ex::StatementPart& part = ex::kStatementParts[i];
    line += part.fixed_text;
    if (i == 0) {
      line += "1.00";
    } else if (part.column == "CODIGO") {
      line += "'" + code + "'";
    } else {
      line += "NULL";
    }
  }
  line += ex::kLineEnd;
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: exchange_line PRODUCT_CODE...\n", stderr);
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string code = argv[i];
    if (code.find_first_not_of("0123456789") != std::string::npos) {
      std::fprintf(stderr, "exchange_line: not a product code: %s\n", argv[i]);
      return 2;
    }
    std::fputs(Line(code).c_str(), stdout);
  }
  return 0;
}
