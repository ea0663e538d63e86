#include "transfer/otp.h"

#include <gtest/gtest.h>

namespace quilvane::transfer {
namespace {

TEST(OtpTest, MatchesTheStandardsTestVectors) {
  struct Case {
    OtpChallenge::Hash hash;
    int sequence;
    const char* response;
  };
  // Pass phrase "This is a test.", seed "TeSt".
  const Case cases[] = {
      {OtpChallenge::Hash::kMd4, 0, "D1854218EBBB0B51"},
      {OtpChallenge::Hash::kMd5, 0, "9E876134D90499DD"},
      {OtpChallenge::Hash::kMd5, 1, "7965E05436F5029F"},
      {OtpChallenge::Hash::kMd5, 99, "50FE1962C4965880"},
      {OtpChallenge::Hash::kSha1, 0, "BB9E6AE1979D8FF4"},
      {OtpChallenge::Hash::kSha1, 1, "63D936639734385B"},
      {OtpChallenge::Hash::kSha1, 99, "87FEC7768B73CCF9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.response);
    OtpChallenge ch{c.hash, c.sequence, "TeSt"};
    EXPECT_EQ(OtpResponse(ch, "This is a test."), c.response);
  }
}

TEST(OtpTest, FindsTheChallengeInAReply) {
  auto ch = FindOtpChallenge("Response to OTP-MD5 499 Ke1234 required for skey.\r\n");
  ASSERT_TRUE(ch);
  EXPECT_EQ(ch->hash, OtpChallenge::Hash::kMd5);
  EXPECT_EQ(ch->sequence, 499);
  EXPECT_EQ(ch->seed, "ke1234");
  auto sha = FindOtpChallenge("331 otp-sha1 0 abc ext");
  ASSERT_TRUE(sha);
  EXPECT_EQ(sha->hash, OtpChallenge::Hash::kSha1);
  for (const char* none : {"Password required", "otp-md6 1 x", "otp-md5 x seed",
                           "otp-md5 10000 seed", "otp-md5 99999999999999999999 seed", "otp-md5 5",
                           "otp-md5 5 ", "otp-md5 5 seedtoolongforthestandard"}) {
    EXPECT_FALSE(FindOtpChallenge(none)) << none;
  }
}

}  // namespace
}  // namespace quilvane::transfer
