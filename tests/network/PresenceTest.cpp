// The presence record, its multipart body and the refusals before sending.
#include "network/Presence.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

TEST(FormatDecimals, CutsAfterTheGivenDigits) {
  struct Case {
    double value;
    int decimals;
    const char* text;
  };
  const Case cases[] = {
      {1, 2, "1"},       {1.5, 2, "1.5"}, {1.23456, 2, "1.23"}, {-0.125, 2, "-0.12"},
      {2.999, 1, "2.9"}, {42, 0, "42"},   {3.5, 0, "3."},       {1000000, 2, "1000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(c.text, FormatDecimals(c.value, c.decimals));
  }
}

TEST(PresenceRecord, WorkedExample) {
  std::tm when{};
  when.tm_year = 2008 - 1900;
  when.tm_mon = 5;
  when.tm_mday = 5;
  when.tm_hour = 17;
  when.tm_min = 5;
  const std::string time = PresenceTimeText(when, {"/", ":"}, "GMT +1");
  EXPECT_EQ("2008/06/05 17:05GMT +1", time);
  EXPECT_EQ("abcdefg*http://203.0.113.5:3724*2008/06/05 17:05GMT +1*12*-*1*Tag1*Tag2*Tag3",
            BuildPresenceRecord("abcdefg", "http://203.0.113.5:3724", time, 12));

  // The user's separators replace "/" and ":"; single digits keep their zero.
  when.tm_hour = 7;
  when.tm_min = 4;
  EXPECT_EQ("2008.06.05 07.04GMT -3", PresenceTimeText(when, {".", "."}, "GMT -3"));
}

TEST(PresenceRecord, TimeZoneTextWithAStarIsNotChecked) {
  std::tm when{};
  when.tm_year = 100;
  when.tm_mon = 0;
  when.tm_mday = 1;
  const std::string record =
      BuildPresenceRecord("abcdefg", "http://h:1", PresenceTimeText(when, {}, "GMT*5"), 0);
  EXPECT_EQ("abcdefg*http://h:1*2000/01/01 00:00GMT*5*0*-*1*Tag1*Tag2*Tag3", record);
}

TEST(UserDateTimeSeparators, CLocaleUsesSlashAndColon) {
  const char* old = std::getenv("LC_ALL");
  const std::string saved = old ? old : "";
  setenv("LC_ALL", "C", 1);
  const TDateTimeSeparators separators = UserDateTimeSeparators();
  if (old) {
    setenv("LC_ALL", saved.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
  EXPECT_EQ("/", separators.Date);
  EXPECT_EQ(":", separators.Time);
}

TEST(Boundary, AlwaysEightUpperCaseHexDigits) {
  EXPECT_EQ("00000000_Mirelo_boundary", MakeBoundary(0));
  EXPECT_EQ("00000ABC_Mirelo_boundary", MakeBoundary(0xABC));
  EXPECT_EQ("7FFFFFFE_Mirelo_boundary", MakeBoundary(2147483646u));
  const std::regex shape("[0-9A-F]{8}_Mirelo_boundary");
  for (int i = 0; i < 200; ++i) {
    const std::string b = DrawBoundary();
    ASSERT_TRUE(std::regex_match(b, shape)) << b;
    ASSERT_LE(b.substr(0, 8), "7FFFFFFE") << b;
  }
}

TEST(MultipartBody, ByteForByte) {
  const std::string body =
      BuildMultipartBody("0000BEEF_Mirelo_boundary", "nume_fis", "usrpk070.$$$", "rec*ord\r\n");
  const std::string expected =
      "--0000BEEF_Mirelo_boundary\r\n"
      "content-disposition: form-data; name=\"nume_fis\"; filename=\"usrpk070.$$$\"\r\n"
      "Content-Type: Application/octet-string\r\n"
      "\r\n"
      "rec*ord\r\n"
      "\r\n"
      "--0000BEEF_Mirelo_boundary--\r\n";
  EXPECT_EQ(expected, body);
}

TEST(SendIpRefusals, InternalServerAndEmptyAddressSendNothing) {
  EXPECT_EQ(TSendIpCheck::RefuseInternal, CheckSendIp(true, "http://10.0.0.1:3724"));
  EXPECT_EQ(TSendIpCheck::RefuseInternal, CheckSendIp(true, ""));
  EXPECT_EQ(TSendIpCheck::RefuseEmptyAddress, CheckSendIp(false, ""));
  EXPECT_EQ(TSendIpCheck::Send, CheckSendIp(false, "http://<unknown>:3724"));

  EXPECT_TRUE(IsRefusedPresenceAddress("192.168.0.4"));
  EXPECT_FALSE(IsRefusedPresenceAddress("http://192.168.0.4:3724"));
  EXPECT_FALSE(IsRefusedPresenceAddress("10.192.0.1"));
}

TEST(TrackerUrl, JoinsHostAndPath) {
  EXPECT_EQ("tracker.example/mirelo-share/public_network/receiver.php",
            TrackerUrl("tracker.example", kReceiverPath));
  EXPECT_EQ("http://127.0.0.1:8080/mirelo-share/public_network/usrpk070.$$$",
            TrackerUrl("http://127.0.0.1:8080/", kUserListPath));
}
