// Turning the tracker's user list into table rows.
#include "network/UserSearch.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Names(const std::vector<TUserRow>& rows) {
  std::vector<std::string> names;
  for (const auto& r : rows) names.push_back(r.UserName);
  return names;
}

}  // namespace

TEST(ParseUserList, ShowsTheLastLineFirst) {
  const auto rows = ParseUserList(
      "aaaaaaa*http://1.1.1.1:1*t1*1*-*1*Tag1*Tag2*Tag3\r\n"
      "bbbbbbb*http://2.2.2.2:2*t2*2*-*1*Tag1*Tag2*Tag3\r\n"
      "ccccccc*http://3.3.3.3:3*t3*3*-*1*Tag1*Tag2*Tag3\r\n");
  EXPECT_EQ((std::vector<std::string>{"ccccccc", "bbbbbbb", "aaaaaaa"}), Names(rows));
  ASSERT_EQ(3u, rows.size());
  EXPECT_EQ("http://3.3.3.3:3", rows[0].UserIp);
  EXPECT_EQ("t3", rows[0].PresentAt);
  EXPECT_EQ("3", rows[0].SharedFiles);
  EXPECT_EQ("-", rows[0].ShareSize);
  EXPECT_EQ("1", rows[0].ShareRatio);
}

TEST(ParseUserList, FieldRules) {
  struct Case {
    const char* line;
    bool shown;
    TUserRow row;
  };
  const Case cases[] = {
      {"a*b*c*d*e*f", true, {"a", "b", "c", "d", "e", "f"}},  // six fields, no tags
      {"a*b*c*d*e", false, {}},                               // five: skipped
      {"a*b*c*d*e*", false, {}},                              // a trailing "*" adds nothing
      {"a*b*c*d*e**", true, {"a", "b", "c", "d", "e", ""}},   // but an empty field inside counts
      {"*b*c*d*e*f", true, {"", "b", "c", "d", "e", "f"}},    // empty user name
      {"a*b*c*d*e*f*", true, {"a", "b", "c", "d", "e", "f"}},
      // A time-zone text with a "*" shifts the fields to the right.
      {"u*w*2008/06/05 17:05GMT*5*12*-*1*Tag1*Tag2*Tag3",
       true,
       {"u", "w", "2008/06/05 17:05GMT", "5", "12", "-"}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto rows = ParseUserList(c.line);
    ASSERT_EQ(c.shown ? 1u : 0u, rows.size());
    if (!c.shown) continue;
    EXPECT_EQ(c.row.UserName, rows[0].UserName);
    EXPECT_EQ(c.row.UserIp, rows[0].UserIp);
    EXPECT_EQ(c.row.PresentAt, rows[0].PresentAt);
    EXPECT_EQ(c.row.SharedFiles, rows[0].SharedFiles);
    EXPECT_EQ(c.row.ShareSize, rows[0].ShareSize);
    EXPECT_EQ(c.row.ShareRatio, rows[0].ShareRatio);
  }
}

TEST(ParseUserList, EmptyAndShortLinesAmongRecordsAreSkipped) {
  const auto rows = ParseUserList("x*1*2*3*4*5\n\nshort*1\r\ny*1*2*3*4*5\rz*1*2*3*4*5");
  EXPECT_EQ((std::vector<std::string>{"z", "y", "x"}), Names(rows));
  EXPECT_TRUE(ParseUserList("").empty());
  EXPECT_TRUE(ParseUserList("\r\n\r\n").empty());
}

TEST(AddressToOpen, OnlyARowOpensSomething) {
  const auto rows = ParseUserList("a*http://1.2.3.4:5*c*d*e*f\r\nb*http://6.7.8.9:1*c*d*e*f\r\n");
  EXPECT_EQ("http://6.7.8.9:1", AddressToOpen(rows, 0));
  EXPECT_EQ("http://1.2.3.4:5", AddressToOpen(rows, 1));
  EXPECT_EQ("", AddressToOpen(rows, 2));   // below the last row
  EXPECT_EQ("", AddressToOpen(rows, -1));  // nothing hit
}
