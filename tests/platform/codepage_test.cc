// Guards the code-page edges: exchange files and logs in Windows-1252,
// archive names in CP850, database text in ISO-8859-1, logs in UTF-16.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace quilvane::platform {
namespace {

struct ByteCase {
  const char* name;
  std::string utf8;
  std::string ansi;
  std::string oem;
};

const ByteCase kCases[] = {
    {"ascii", "PRECOCUSTO = 1.5", "PRECOCUSTO = 1.5", "PRECOCUSTO = 1.5"},
    {"a_tilde", "N\xC3\xA3o", "N\xE3o", "N\xC6o"},
    {"c_cedilla", "\xC3\xA7\xC3\x87", "\xE7\xC7", "\x87\x80"},
    {"euro", "\xE2\x82\xAC", "\x80", "?"},
    {"box_drawing", "\xE2\x95\x90", "?", "\xCD"},
};

TEST(CodePage, ConvertsBothWays) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.ansi, Utf8ToAnsi(c.utf8));
    EXPECT_EQ(c.oem, Utf8ToOem(c.utf8));
    if (c.ansi.find('?') == std::string::npos) {
      EXPECT_EQ(c.utf8, AnsiToUtf8(c.ansi));
    }
    if (c.oem.find('?') == std::string::npos) {
      EXPECT_EQ(c.utf8, OemToUtf8(c.oem));
    }
  }
}

TEST(CodePage, EveryHighByteRoundTrips) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(one, Utf8ToAnsi(AnsiToUtf8(one))) << b;
    EXPECT_EQ(one, Utf8ToOem(OemToUtf8(one))) << b;
    EXPECT_EQ(one, Utf8ToLatin1(Latin1ToUtf8(one))) << b;
  }
}

TEST(CodePage, ReportsWhatCannotBeHeld) {
  bool lossless = true;
  EXPECT_EQ("?", Utf8ToAnsi("\xE4\xB8\xAD", &lossless));  // a CJK letter
  EXPECT_FALSE(lossless);
  EXPECT_TRUE(
      AnsiCanHold("Farm\xC3\xA1"
                  "cia"));
  EXPECT_FALSE(AnsiCanHold("\xCE\xA9"));  // Greek omega
  EXPECT_EQ("?", Utf8ToLatin1("\xE2\x82\xAC", &lossless));
  EXPECT_FALSE(lossless);
}

// The ERP's text travels as Windows-1252 on every system: a byte 0x80-0x9F
// read as Latin-1 became a C1 control that the exchange file wrote as '?'.
TEST(CodePage, Windows1252OnEverySystem) {
  struct Case {
    const char* bytes;
    const char* utf8;
  };
  constexpr Case kWindows1252[] = {
      {"\x80", "\xE2\x82\xAC"},                                              // euro sign
      {"\x93\x94", "\xE2\x80\x9C\xE2\x80\x9D"},                              // quotation marks
      {"\x96", "\xE2\x80\x93"},                                              // en dash
      {"\x9F", "\xC5\xB8"},                                                  // Y with diaeresis
      {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},  // undefined
      {"\xC7\xE3\xFF", "\xC3\x87\xC3\xA3\xC3\xBF"},
  };
  for (const Case& c : kWindows1252) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(c.utf8, Windows1252ToUtf8(c.bytes));
    bool lossless = false;
    EXPECT_EQ(c.bytes, Utf8ToWindows1252(c.utf8, &lossless));
    EXPECT_TRUE(lossless);
  }

  std::string every;
  for (int b = 0x01; b <= 0xFF; ++b) every += static_cast<char>(b);
  bool lossless = false;
  EXPECT_EQ(every, Utf8ToWindows1252(Windows1252ToUtf8(every), &lossless));
  EXPECT_TRUE(lossless);

  // Characters it lacks, the C1 controls it gives other bytes to included.
  for (const char* lacking : {"\xC2\x80", "\xC2\x85", "\xC4\x80", "\xE4\xB8\xAD"}) {
    SCOPED_TRACE(lacking);
    lossless = true;
    EXPECT_EQ("?", Utf8ToWindows1252(lacking, &lossless));
    EXPECT_FALSE(lossless);
  }
}

TEST(CodePage, InvalidUtf8BecomesReplacement) {
  EXPECT_FALSE(IsValidUtf8("\xC3"));
  EXPECT_FALSE(IsValidUtf8("\xC0\x80"));  // overlong
  EXPECT_TRUE(IsValidUtf8("N\xC3\xA3o \xEF\xBF\xBD"));
  EXPECT_EQ("?a", Utf8ToAnsi("\xFF"
                             "a"));
}

TEST(CodePage, Utf16BothOrders) {
  const std::string text = "N\xC3\xA3o \xF0\x9F\x98\x80";  // with a surrogate pair
  for (bool be : {false, true}) {
    const std::string wide = Utf8ToUtf16(text, be);
    EXPECT_EQ(text, Utf16ToUtf8(wide, be));
  }
  EXPECT_EQ(std::string("N\0\xE3\0", 4), Utf8ToUtf16("N\xC3\xA3", false));
  EXPECT_THROW(Utf16ToUtf8(std::string("\x00\xD8", 2), false), Error);  // lone surrogate
  EXPECT_THROW(Utf16ToUtf8("abc", false), Error);                       // odd length
}

}  // namespace
}  // namespace quilvane::platform
