// Guards the receipt a branch leaves: that it reads back as written, stays
// within its size with the codes whole, and that a broken or hostile receipt
// is reported as unreadable and never trusted or crashed on.
#include "sync/receipt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace quilvane::sync {
namespace {

Receipt Sample() {
  Receipt r;
  r.cgc = "12.345.678/0002-71";
  r.version = "0.1.0";
  r.start = *ParseLocalMoment("2023-10-17T08:30:05-03:00");
  r.duration_ms = 5120;
  r.outcome = Outcome::kApplied;
  r.file_day = Day{2023, 10, 17};
  r.recorded_day = Day{2023, 10, 17};
  r.statements_applied = 12408;
  r.unmatched_count = 3;
  r.unmatched_codes = {"7891234567890",
                       "ABC\xE2\x80\x93"
                       "1",
                       "x\xC2\x81y"};  // en dash, U+0081
  return r;
}

TEST(Receipt, WritesChaveValorLinesInWindows1252) {
  Receipt r = Sample();
  r.unmatched_codes = {"7891234567890",
                       "ME\xC3\x87\xC3\x83"
                       "O\xE2\x82\xAC"};  // MEÇÃO€
  r.unmatched_count = 2;
  EXPECT_EQ(
      "recibo=1\r\ncgc=12.345.678/0002-71\r\nversao=0.1.0\r\ninicio=2023-10-17T08:30:05-03:00\r\n"
      "duracao_ms=5120\r\nresultado=aplicado\r\ndata_arquivo=2023-10-17\r\n"
      "data_registrada=2023-10-17\r\ncomandos=12408\r\nsem_produto=2\r\n"
      "codigo=7891234567890\r\ncodigo=ME\xC7\xC3O\x80\r\n",
      WriteReceipt(r));
}

TEST(Receipt, RoundTripsEveryField) {
  std::vector<Receipt> cases;
  cases.push_back(Sample());
  Receipt failed = Sample();
  failed.outcome = Outcome::kFailed;
  failed.file_day.reset();
  failed.recorded_day = Day{2023, 10, 15};
  failed.statements_applied = 0;
  failed.unmatched_count = 0;
  failed.unmatched_codes.clear();
  failed.failure = {
      "17/10/2023 08:30:07 - Erro ao baixar: 100% \xE2\x80\x9C"
      "cortado\xE2\x80\x9D",
      "linha com\rCR, LF\n, tab\t e %41 literal", ""};
  failed.start = *ParseLocalMoment("2024-02-29T23:59:59+05:45");
  cases.push_back(failed);
  Receipt nothing_new = Sample();
  nothing_new.outcome = Outcome::kNothingNew;
  nothing_new.start = LocalMoment{0, 0};
  nothing_new.notes = {"nota"};
  cases.push_back(nothing_new);
  Receipt compared = Sample();  // SomenteAlterados
  compared.changed_count = 1042;
  compared.unchanged_count = 0;
  cases.push_back(compared);
  Receipt named = Sample();  // NomeFilial, codeless statements, a stale file
  named.name = "Loja <Centro> & Cia \xE2\x80\x93 100%";
  named.no_code_count = 2;
  named.stale_file_day = Day{2023, 10, 14};
  named.outcome = Outcome::kNothingNew;
  cases.push_back(named);
  for (const Receipt& r : cases) {
    SCOPED_TRACE(WriteReceipt(r));
    const std::string bytes = WriteReceipt(r);
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\n') {
        ASSERT_EQ('\r', bytes[i - 1]) << "bare LF at " << i;
      }
      if (bytes[i] == '\r') {
        ASSERT_EQ('\n', bytes[i + 1]) << "bare CR at " << i;
      }
    }
    const ParsedReceipt parsed = ParseReceipt(bytes);
    ASSERT_TRUE(parsed.receipt) << parsed.error;
    EXPECT_EQ(r, *parsed.receipt);
  }
}

TEST(Receipt, EveryWindows1252ByteSurvivesReadAndWrite) {
  Receipt r = Sample();
  r.outcome = Outcome::kFailed;
  r.failure = {"PLACEHOLDER"};
  std::string raw;  // bytes 0x01 to 0xFF as a receipt value carries them
  for (int b = 1; b < 256; ++b) {
    if (b < 0x20 || b == 0x7F || b == '%') {
      char esc[4];
      std::snprintf(esc, sizeof esc, "%%%02X", b);
      raw += esc;
    } else {
      raw += static_cast<char>(b);
    }
  }
  std::string bytes = WriteReceipt(r);
  bytes.replace(bytes.find("PLACEHOLDER"), 11, raw);
  const ParsedReceipt parsed = ParseReceipt(bytes);
  ASSERT_TRUE(parsed.receipt) << parsed.error;
  EXPECT_EQ(bytes, WriteReceipt(*parsed.receipt));
  // In memory the text is UTF-8: 0x80 is the euro sign, 0x81 (unassigned)
  // its C1 control, 0xE9 the e with acute accent.
  const std::string& text = parsed.receipt->failure[0];
  EXPECT_NE(std::string::npos, text.find("~\x7F\xE2\x82\xAC\xC2\x81\xE2\x80\x9A"));
  EXPECT_NE(std::string::npos, text.find("\xC5\xB8\xC2\xA0"));
  EXPECT_NE(std::string::npos, text.find("\xC3\xA9"));
}

TEST(Receipt, OneMegabyteFailureIsCutToTheLimitWithCodesWhole) {
  Receipt r = Sample();
  r.outcome = Outcome::kFailed;
  r.unmatched_codes.clear();
  for (int i = 0; i < 60; ++i) r.unmatched_codes.push_back(std::string(90, 'A' + i % 26));
  r.unmatched_count = 60;
  r.failure = {std::string(1 << 20, 'x'), std::string(1 << 20, '%')};
  for (int i = 0; i < 10; ++i) r.failure.push_back(std::string(1 << 20, 'y'));
  const std::string bytes = WriteReceipt(r);
  EXPECT_LE(bytes.size(), kMaxReceiptBytes);
  EXPECT_GE(bytes.size(), kMaxReceiptBytes - 20);
  EXPECT_TRUE(bytes.ends_with("cortado=1\r\n"));
  const ParsedReceipt parsed = ParseReceipt(bytes);
  ASSERT_TRUE(parsed.receipt) << parsed.error;
  EXPECT_TRUE(parsed.receipt->cut);
  EXPECT_EQ(60, parsed.receipt->unmatched_count);
  ASSERT_EQ(kMaxUnmatchedCodes, parsed.receipt->unmatched_codes.size());
  for (size_t i = 0; i < kMaxUnmatchedCodes; ++i) {
    EXPECT_EQ(r.unmatched_codes[i], parsed.receipt->unmatched_codes[i]);
  }
  ASSERT_FALSE(parsed.receipt->failure.empty());
  const auto& failure = parsed.receipt->failure;
  ASSERT_GE(failure.size(), 3u);
  EXPECT_LT(failure.size(), r.failure.size());
  EXPECT_EQ(std::string(failure[0].size(), 'x'), failure[0]);
  // A cut never splits a %XX escape: what is left of the '%' line is '%'s.
  EXPECT_EQ(std::string(failure[1].size(), '%'), failure[1]);
  for (size_t i = 2; i < failure.size(); ++i) {
    EXPECT_EQ(std::string(failure[i].size(), 'y'), failure[i]);
  }
}

TEST(Receipt, BrokenReceiptsAreUnreadable) {
  const std::string head = "recibo=1\r\ncgc=1\r\ninicio=2023-10-17T08:30:05-03:00\r\n";
  const std::string ok = head + "resultado=aplicado\r\n";
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty", ""},
      {"blank lines only", "\r\n\r\n"},
      {"not a receipt", "cgc=1\r\nrecibo=1\r\nresultado=aplicado\r\n"},
      {"html", "<html><body>404</body></html>"},
      {"line without =", ok + "garbage\r\n"},
      {"empty key", ok + "=x\r\n"},
      {"NUL byte", ok + std::string("cgc2=\0\r\n", 8)},
      {"format version 0",
       "recibo=0\r\ncgc=1\r\ninicio=2023-10-17T08:30:05Z\r\nresultado=falhou\r\n"},
      {"format version text", "recibo=x\r\n"},
      {"missing outcome", head},
      {"missing cgc", "recibo=1\r\ninicio=2023-10-17T08:30:05Z\r\nresultado=falhou\r\n"},
      {"missing start", "recibo=1\r\ncgc=1\r\nresultado=falhou\r\n"},
      {"unknown outcome", head + "resultado=ok\r\n"},
      {"repeated key", ok + "cgc=2\r\n"},
      {"count overflow", ok + "comandos=99999999999999999999\r\n"},
      {"count past bound", ok + "comandos=100000001\r\n"},
      {"negative count", ok + "sem_produto=-1\r\n"},
      {"negative no-code count", ok + "sem_codigo=-2\r\n"},
      {"huge no-code count", ok + "sem_codigo=99999999999999999999\r\n"},
      {"repeated name", ok + "nome=a\r\nnome=b\r\n"},
      {"no such stale day", ok + "sem_atualizacao_desde=2023-13-01\r\n"},
      {"garbage changed count", ok + "alterados=12x\r\n"},
      {"huge unchanged count", ok + "sem_alteracao=99999999999999999999\r\n"},
      {"signed count", ok + "comandos=+1\r\n"},
      {"blank count", ok + "comandos= 1\r\n"},
      {"empty count", ok + "comandos=\r\n"},
      {"hex count", ok + "comandos=0x10\r\n"},
      {"duration past bound", ok + "duracao_ms=2592000001\r\n"},
      {"fewer unmatched than codes", ok + "sem_produto=1\r\ncodigo=a\r\ncodigo=b\r\n"},
      {"no such day", ok + "data_arquivo=2023-02-29\r\n"},
      {"short day", ok + "data_arquivo=2023-1-01\r\n"},
      {"day before 1900", ok + "data_registrada=1899-12-31\r\n"},
      {"regional day", ok + "data_registrada=17/10/2023\r\n"},
      {"start without T",
       "recibo=1\r\ncgc=1\r\ninicio=2023-10-17 08:30:05-03:00\r\nresultado=falhou\r\n"},
      {"start hour 24", "recibo=1\r\ncgc=1\r\ninicio=2023-10-17T24:00:00Z\r\nresultado=falhou\r\n"},
      {"offset 25h",
       "recibo=1\r\ncgc=1\r\ninicio=2023-10-17T08:00:00+25:00\r\nresultado=falhou\r\n"},
      {"start without zone",
       "recibo=1\r\ncgc=1\r\ninicio=2023-10-17T08:00:00\r\nresultado=falhou\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedReceipt parsed = ParseReceipt(c.bytes);
    EXPECT_FALSE(parsed.receipt);
    EXPECT_FALSE(parsed.error.empty());
  }
}

TEST(Receipt, ToleratesWhatLaterVersionsAndOtherToolsWrite) {
  const std::string bytes =
      "recibo=2\ncgc=1\ninicio=2023-10-17T11:30:05Z\nresultado=sem_novidade\n"
      "novo_campo=valor\ncodigo=100%\ncodigo=%zz\nsem_produto=2";  // LF ends, no final break
  const ParsedReceipt parsed = ParseReceipt(bytes);
  ASSERT_TRUE(parsed.receipt) << parsed.error;
  EXPECT_EQ(Outcome::kNothingNew, parsed.receipt->outcome);
  EXPECT_EQ((std::vector<std::string>{"100%", "%zz"}), parsed.receipt->unmatched_codes);
  EXPECT_FALSE(parsed.receipt->recorded_day);
  EXPECT_EQ(0, parsed.receipt->start.utc_offset_minutes);
}

// The keys added for names, codeless statements and stale files are
// written only when they say something, so a receipt of an older branch and
// a plain one of this version are the same bytes, and read the same.
TEST(Receipt, OlderReceiptWithoutNameOrNewCountsStillReads) {
  const std::string older =
      "recibo=1\r\ncgc=12.345.678/0002-71\r\nversao=0.1.0\r\n"
      "inicio=2023-10-17T08:30:05-03:00\r\nduracao_ms=5120\r\nresultado=aplicado\r\n"
      "data_arquivo=2023-10-17\r\ndata_registrada=2023-10-17\r\ncomandos=12408\r\n"
      "sem_produto=0\r\n";
  const ParsedReceipt parsed = ParseReceipt(older);
  ASSERT_TRUE(parsed.receipt) << parsed.error;
  EXPECT_EQ("", parsed.receipt->name);
  EXPECT_EQ(0, parsed.receipt->no_code_count);
  EXPECT_FALSE(parsed.receipt->stale_file_day);
  EXPECT_EQ(older, WriteReceipt(*parsed.receipt));
}

// A name is capped like the CGC, so 1 MB of it cannot push the codes and the
// failure out of the receipt.
TEST(Receipt, HugeNameIsCappedAndKeepsTheRestWhole) {
  Receipt r = Sample();
  r.name = std::string(1 << 20, 'N');
  const std::string bytes = WriteReceipt(r);
  ASSERT_LE(bytes.size(), kMaxReceiptBytes);
  const ParsedReceipt parsed = ParseReceipt(bytes);
  ASSERT_TRUE(parsed.receipt) << parsed.error;
  EXPECT_EQ(100u, parsed.receipt->name.size());
  EXPECT_EQ(Sample().unmatched_codes, parsed.receipt->unmatched_codes);
}

TEST(Receipt, OversizedReceiptIsReadUpToTheLimitAndMarkedCut) {
  std::string bytes = "recibo=1\r\ncgc=1\r\ninicio=2023-10-17T08:30:05Z\r\nresultado=falhou\r\n";
  for (int i = 0; i < 80; ++i) bytes += "codigo=" + std::to_string(i) + "\r\n";
  bytes += "sem_produto=80\r\nfalha=" + std::string(1 << 20, '<') + "\r\n";
  const ParsedReceipt parsed = ParseReceipt(bytes);
  ASSERT_TRUE(parsed.receipt) << parsed.error;
  EXPECT_TRUE(parsed.receipt->cut);
  EXPECT_EQ(kMaxUnmatchedCodes, parsed.receipt->unmatched_codes.size());
  EXPECT_EQ(80, parsed.receipt->unmatched_count);
  EXPECT_TRUE(parsed.receipt->failure.empty());  // its line ends past the limit
}

TEST(Receipt, DamagedBytesNeverCrash) {
  // Every prefix, and random byte changes, of a real receipt: each either
  // reads or says why not.
  Receipt r = Sample();
  r.failure = {"17/10/2023 08:30:07 - Falha ao baixar o arquivo: 404"};
  const std::string good = WriteReceipt(r);
  for (size_t n = 0; n <= good.size(); ++n) {
    const ParsedReceipt parsed = ParseReceipt(good.substr(0, n));
    EXPECT_NE(parsed.receipt.has_value(), !parsed.error.empty());
  }
  std::mt19937 rng(15);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = good;
    const int changes = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < changes; ++k) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    const ParsedReceipt parsed = ParseReceipt(bytes);
    EXPECT_NE(parsed.receipt.has_value(), !parsed.error.empty());
    if (parsed.receipt) {
      EXPECT_LE(parsed.receipt->statements_applied, 100'000'000);
      EXPECT_LE(parsed.receipt->unmatched_codes.size(), kMaxUnmatchedCodes);
    }
  }
}

TEST(Receipt, FileNameIsTheBranchsDigitsOrCannotBeACnpj) {
  struct Case {
    const char* cgc;
    const char* machine;
    const char* name;
  };
  const Case cases[] = {
      {"12.345.678/0002-71", "LOJA7", "12345678000271.txt"},
      {"12345678000271", "", "12345678000271.txt"},
      {"", "LOJA-07", "sem-cgc-loja-07.txt"},
      {"", "", "sem-cgc.txt"},
      {"  ./-", "pc 1/../x\\y", "sem-cgc-pc1xy.txt"},
      {"",
       "CAIXA\xC3\x87"
       "01",
       "sem-cgc-caixa01.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cgc);
    const std::string name = ReceiptFileName(c.cgc, c.machine);
    EXPECT_EQ(c.name, name);
    EXPECT_EQ(std::string::npos, name.find_first_of("/\\ "));
  }
}

TEST(Receipt, EmptyCgcSaysSoInTheReceipt) {
  Receipt r = Sample();
  r.cgc = "";
  const ParsedReceipt parsed = ParseReceipt(WriteReceipt(r));
  ASSERT_TRUE(parsed.receipt) << parsed.error;
  EXPECT_EQ("", parsed.receipt->cgc);
  ASSERT_EQ(1u, parsed.receipt->notes.size());
  EXPECT_NE(std::string::npos, parsed.receipt->notes[0].find("PADRAO.CGC"));
  // Written again, the note is not repeated.
  EXPECT_EQ(WriteReceipt(*parsed.receipt), WriteReceipt(r));
}

TEST(Receipt, LocalMomentsKeepTheirOffset) {
  struct Case {
    const char* text;
    std::int64_t unix_seconds;
    int offset;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00+00:00", 0, 0},
      {"2023-10-17T08:30:05-03:00", 1697542205, -180},
      {"2024-02-29T23:59:59+05:45", 1709230499, 345},
      {"1969-12-31T21:00:00-03:00", 0, -180},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto m = ParseLocalMoment(c.text);
    ASSERT_TRUE(m);
    EXPECT_EQ(c.unix_seconds, m->unix_seconds);
    EXPECT_EQ(c.offset, m->utc_offset_minutes);
    EXPECT_EQ(c.text, FormatLocalMoment(*m));
  }
  const platform::DateTime local =
      *platform::TryEncodeDate(2023, 10, 17) + platform::EncodeTime(8, 30, 5, 0);
  EXPECT_EQ("2023-10-17T08:30:05-03:00", FormatLocalMoment(LocalMomentOf(local, -180)));
}

TEST(Receipt, DisplayTextIsCleanAndCut) {
  EXPECT_EQ("a b c", DisplayText("a\x1b"
                                 "b\nc",
                                 10));
  EXPECT_EQ("ab\xE2\x80\xA6", DisplayText("abcdef", 3));
  EXPECT_EQ("abc", DisplayText("abc", 3));
  EXPECT_EQ("\xC3\xA9\xC3\xA9", DisplayText("\xC3\xA9\xC3\xA9", 2));
  EXPECT_EQ("\xEF\xBF\xBDx", DisplayText("\xFFx", 5));  // invalid UTF-8
  EXPECT_EQ(" x", DisplayText("\xE2\x80\xAEx", 5));     // right-to-left override
  EXPECT_EQ(3u, CharCount("a\xC3\xA9\xE2\x82\xAC"));
}

}  // namespace
}  // namespace quilvane::sync
