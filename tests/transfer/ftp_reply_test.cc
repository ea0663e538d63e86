#include "transfer/ftp_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quilvane::transfer {
namespace {

using Lines = std::vector<std::string>;

struct FramingCase {
  const char* name;
  Lines received;  // the lines as they arrive, line breaks removed
  size_t used;     // how many of them make the reply
  int code;
  Lines text;
};

TEST(FtpReplyFramerTest, FramesRepliesAsServersWriteThem) {
  const FramingCase cases[] = {
      {"one line", {"220 ready", "next"}, 1, 220, {"ready"}},
      {"code alone", {"230"}, 1, 230, {""}},
      {"code and blank", {"230 "}, 1, 230, {""}},
      {"blanks and controls trimmed", {" \t220 ready \x7f\x01"}, 1, 220, {"ready"}},
      {"blank lines skipped", {"", "   ", "\t", "220 ok"}, 4, 220, {"ok"}},
      {"multi-line",
       {"211-Features:", " UTF8", " PRET", "211 End", "200 next"},
       4,
       211,
       {"Features:", "UTF8", "PRET", "End"}},
      {"inner lines with the code keep the rest",
       {"220-first", "220-second", "220 last"},
       3,
       220,
       {"first", "second", "last"}},
      {"another code inside does not end it",
       {"220-a", "221 b", "220 c"},
       3,
       220,
       {"a", "221 b", "c"}},
      {"code with a dash does not end it", {"220-a", "220-b", "220"}, 3, 220, {"a", "b", ""}},
      {"inner blank lines skipped", {"220-a", "", "  ", "220 z"}, 4, 220, {"a", "z"}},
      // Without a code the first line still loses its first four characters,
      // as every line that starts like it does.
      {"no code", {"hello there"}, 1, 0, {"o there"}},
      {"two digits", {"22 x"}, 1, 0, {""}},
      {"code longer than three digits", {"2201 x"}, 1, 220, {" x"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    FtpReplyFramer framer;
    size_t used = 0;
    bool complete = false;
    while (!complete && used < tc.received.size()) complete = framer.Add(tc.received[used++]);
    EXPECT_TRUE(complete);
    EXPECT_EQ(used, tc.used);
    FtpReply reply = framer.reply();
    EXPECT_EQ(reply.code, tc.code);
    EXPECT_EQ(reply.text, tc.text);
  }
}

TEST(FtpReplyFramerTest, UnfinishedMultiLineRepliesAreNotComplete) {
  FtpReplyFramer framer;
  for (const char* line : {"220-a", "220-b", "22 c", "2200x", "abc"}) {
    EXPECT_FALSE(framer.Add(line)) << line;
  }
  EXPECT_EQ(framer.reply().Text(), "a\r\nb\r\n22 c\r\nx\r\nabc\r\n");
  // Without digits the end line can never come: the byte cap ends it.
  FtpReplyFramer no_code;
  for (const char* line : {"abc-x", "abc y", "abc", "123 z"}) {
    EXPECT_FALSE(no_code.Add(line)) << line;
  }
  EXPECT_EQ(no_code.reply().code, 0);
}

TEST(FtpFeatureTest, FirstWordsAndSiteFacts) {
  const Lines features = {"UTF8", " pret  x", "SITE CHMOD;ZONE ;IDLE", "MDTM"};
  EXPECT_TRUE(HasFeature(features, "PRET"));
  EXPECT_TRUE(HasFeature(features, "utf8"));
  EXPECT_FALSE(HasFeature(features, "CLNT"));
  EXPECT_FALSE(HasFeature(features, "MDT"));
  FtpReply plain{220, {"vsFTPd 3.0.3"}};
  EXPECT_TRUE(ServerTakesSiteZone(plain, features));
  EXPECT_FALSE(ServerTakesSiteZone(plain, {"SITE CHMOD;ZONES", "ZONE"}));
  EXPECT_TRUE(ServerTakesSiteZone(FtpReply{220, {"serv-u ready"}}, {}));
}

TEST(FtpPassiveTest, ParsesTheAddressField) {
  struct Case {
    std::string line;
    std::string host;
    int port;
  };
  const Case cases[] = {
      {"Entering Passive Mode (203,0,113,5,4,1)", "203.0.113.5", 1025},
      {"Entering Passive Mode (10,0,0,5,195,80).", "10.0.0.5", 50000},
      {"Entering Passive Mode 127,0,0,1,1,2", "127.0.0.1", 258},
      {"=(127,0,0,1,300,-1", "127.0.0.1", (300 & 255) * 256 + 255},
      {"x (1,2,3,4,  5 , 6 )", "1.2.3.4", 5 * 256 + 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    PassiveAddress a = ParsePassiveReply(c.line);
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
  }
  for (const char* bad : {"(1,2,3,4,5)", "(1,2,3,4,,6)", "(1,2,3,4,99999999999,1)", "no numbers"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParsePassiveReply(bad), platform::Error);
  }
}

TEST(FtpPassiveTest, PrivateAddressGivesWayToAPublicControlPeer) {
  EXPECT_EQ(ChoosePassiveHost("10.0.0.5", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("192.168.1.2", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("172.16.0.1", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("172.31.0.1", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("172.32.0.1", "203.0.113.7"), "172.32.0.1");
  EXPECT_EQ(ChoosePassiveHost("172.5.0.1", "203.0.113.7"), "172.5.0.1");  // one digit: routable
  EXPECT_EQ(ChoosePassiveHost("169.254.3.3", "203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(ChoosePassiveHost("203.0.113.5", "198.51.100.1"), "203.0.113.5");
  // A private control peer keeps the reply's host.
  EXPECT_EQ(ChoosePassiveHost("10.0.0.5", "127.0.0.1"), "10.0.0.5");
  EXPECT_EQ(ChoosePassiveHost("127.0.0.1", "192.168.0.1"), "127.0.0.1");
}

}  // namespace
}  // namespace quilvane::transfer
