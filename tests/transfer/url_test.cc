#include "transfer/url.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace quilvane::transfer {
namespace {

TEST(UrlTest, ParsesTheParts) {
  ParsedUrl u = ParseUrl("http://user:pw:x@www.D:8080/a/b/F.ZIP?x=1#frag");
  EXPECT_EQ(u.scheme, "http");
  EXPECT_EQ(u.username, "user");
  EXPECT_EQ(u.password, "pw:x");
  EXPECT_EQ(u.host, "www.D");
  EXPECT_EQ(u.port, "8080");
  EXPECT_EQ(u.path, "/a/b/");
  EXPECT_EQ(u.document, "F.ZIP");
  EXPECT_EQ(u.query, "x=1");
  EXPECT_EQ(u.fragment, "frag");

  ParsedUrl bare = ParseUrl("http://host");
  EXPECT_EQ(bare.path, "/");
  EXPECT_EQ(bare.document, "");

  ParsedUrl v6 = ParseUrl("http://[::1]:81/x");
  EXPECT_TRUE(v6.ipv6);
  EXPECT_EQ(v6.host, "::1");
  EXPECT_EQ(v6.port, "81");

  ParsedUrl back = ParseUrl("http:\\\\h\\a\\F.ZIP?q=\\");
  EXPECT_EQ(back.host, "h");
  EXPECT_EQ(back.path, "/a/");
  EXPECT_EQ(back.query, "q=\\");

  ParsedUrl rel = ParseUrl("D/halvoraquin/quilvane/N.ZIP");
  EXPECT_EQ(rel.scheme, "");
  EXPECT_EQ(rel.host, "");
  EXPECT_EQ(rel.path, "D/halvoraquin/quilvane/");
  EXPECT_EQ(rel.document, "N.ZIP");
}

struct ResolveCase {
  const char* address;
  const char* host;
  int port;
  const char* target;
  const char* host_field;
};

TEST(UrlTest, ResolvesTheDownloadAttemptsInTurn) {
  CurrentAddress current;
  const ResolveCase steps[] = {
      {"http://www.D/halvoraquin/quilvane/N.ZIP", "www.D", 80, "/halvoraquin/quilvane/N.ZIP",
       "www.D"},
      {"D/halvoraquin/quilvane/N.ZIP", "www.D", 80,
       "/halvoraquin/quilvane/D/halvoraquin/quilvane/N.ZIP", "www.D"},
      {"http://D/halvoraquin/quilvane/N.ZIP", "D", 80, "/halvoraquin/quilvane/N.ZIP", "D"},
      {"http://localhost:8080/a/b/F.ZIP", "localhost", 8080, "/a/b/F.ZIP", "localhost:8080"},
      {"T/a/b/F.ZIP", "localhost", 8080, "/a/b/T/a/b/F.ZIP", "localhost:8080"},
      {"../../x//y/G.ZIP?v=2", "localhost", 8080, "/a/b/T/x/y/G.ZIP?v=2", "localhost:8080"},
      {"/abs/H", "localhost", 8080, "/abs/H", "localhost:8080"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.address);
    ResolvedUrl r = ResolveUrl(ParseUrl(s.address), current);
    EXPECT_EQ(r.scheme, "http");
    EXPECT_EQ(r.host, s.host);
    EXPECT_EQ(r.port, s.port);
    EXPECT_EQ(r.target, s.target);
    EXPECT_EQ(r.host_field, s.host_field);
  }
}

TEST(UrlTest, RelativeFirstRequestIsAnUnknownProtocol) {
  CurrentAddress current;
  try {
    ResolveUrl(ParseUrl("D/halvoraquin/quilvane/N.ZIP"), current);
    FAIL();
  } catch (const platform::Error& e) {
    EXPECT_EQ(std::string(e.what()), "Unknown Protocol");
  }
  // An unknown scheme without a port cannot be reached either.
  EXPECT_THROW(ResolveUrl(ParseUrl("gopher://h/x"), current), platform::Error);
}

TEST(UrlTest, PortsAreChecked) {
  for (const char* bad : {"http://h:0/x", "http://h:65536/x", "http://h:8o/x", "http://h:123456/x",
                          "http://h:-1/x"}) {
    SCOPED_TRACE(bad);
    CurrentAddress current;
    EXPECT_THROW(ResolveUrl(ParseUrl(bad), current), platform::Error);
  }
  CurrentAddress current;
  EXPECT_EQ(ResolveUrl(ParseUrl("http://h:65535/x"), current).port, 65535);
  EXPECT_EQ(ResolveUrl(ParseUrl("http://h:80/x"), current).host_field, "h");
}

}  // namespace
}  // namespace quilvane::transfer
