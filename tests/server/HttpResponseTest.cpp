// HTTP dates and the answers about freshness: Last-Modified, If-Modified-Since
// and 304.
#include "server/HttpResponse.h"

#include "server/HttpText.h"

#include <gtest/gtest.h>

namespace {

// 2024-03-05 14:07:09 UTC.
constexpr std::time_t kMoment = 1709647629;

TEST(HttpDate, FormatsAndParsesTheFixedForm) {
  EXPECT_EQ("Tue, 05 Mar 2024 14:07:09 GMT", FormatHttpDate(kMoment));
  EXPECT_EQ("Thu, 01 Jan 1970 00:00:00 GMT", FormatHttpDate(0));
  struct Case {
    const char* text;
    bool parsed;
    std::time_t when;
  };
  const Case cases[] = {
      {"Tue, 05 Mar 2024 14:07:09 GMT", true, kMoment},
      {"  Tue, 05 Mar 2024 14:07:09 GMT\t", true, kMoment},
      {"Sat, 29 Feb 2020 23:59:59 GMT", true, 1583020799},
      {"Tue, 05 Mar 2024 14:07:09 UTC", false, 0},
      {"Tuesday, 05-Mar-24 14:07:09 GMT", false, 0},  // the old forms count as none
      {"Tue Mar  5 14:07:09 2024", false, 0},
      {"Tue, 05 Mrz 2024 14:07:09 GMT", false, 0},
      {"Tue, 05 Mar 2024 24:07:09 GMT", false, 0},
      {"Tue, 5 Mar 2024 14:07:09 GMT", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::time_t when = -1;
    EXPECT_EQ(c.parsed, ParseHttpDate(c.text, when));
    if (c.parsed) {
      EXPECT_EQ(c.when, when);
    }
  }
}

TEST(NotModifiedSince, OnlyAnExactOrLaterDateTheVisitorCanHaveHad) {
  const std::time_t now = kMoment + 3600;
  struct Case {
    std::vector<std::string> headers;
    std::time_t modified;
    bool notModified;
  };
  const Case cases[] = {
      {{"If-Modified-Since: Tue, 05 Mar 2024 14:07:09 GMT"}, kMoment, true},
      {{"if-modified-since:Tue, 05 Mar 2024 14:07:09 GMT"}, kMoment - 100, true},
      {{"If-Modified-Since: Tue, 05 Mar 2024 14:07:09 GMT"}, kMoment + 1, false},
      {{"Host: a"}, kMoment, false},
      {{"If-Modified-Since: yesterday"}, kMoment, false},
      // A date from the future is no date.
      {{"If-Modified-Since: Wed, 06 Mar 2024 14:07:09 GMT"}, kMoment, false},
      // Only the head counts: the body's lines follow an empty line.
      {{"Host: a", "", "If-Modified-Since: Tue, 05 Mar 2024 14:07:09 GMT"}, kMoment, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers.front());
    EXPECT_EQ(c.notModified, NotModifiedSince(c.headers, c.modified, now));
  }
}

TEST(NotModifiedSince, TheAnswersCarryTheDateAndNoBody) {
  const THttpResponse r = THttpResponse::NotModified(kMoment);
  EXPECT_EQ(304, r.Status);
  EXPECT_FALSE(r.HasBody());
  EXPECT_TRUE(r.KeepAlive);
  EXPECT_EQ(std::vector<std::string>{"Last-Modified: Tue, 05 Mar 2024 14:07:09 GMT"}, r.Headers);
  THttpResponse page = THttpResponse::Page("x\r\n");
  page.AddLastModified(kMoment);
  EXPECT_EQ(std::vector<std::string>{"Last-Modified: Tue, 05 Mar 2024 14:07:09 GMT"}, page.Headers);
}

}  // namespace
