// The tracker's record checks, form parsing and one-line-per-user book.
#include "network/NetworkLimits.h"
#include "network/Presence.h"
#include "network/TrackerBook.h"

#include <gtest/gtest.h>

namespace {

std::string Record(const std::string& name, const std::string& address = "http://1.2.3.4:5") {
  return name + "*" + address + "*2008/06/05 17:05GMT +1*12*-*1*Tag1*Tag2*Tag3";
}

}  // namespace

TEST(CheckPresenceRecord, RefusesWhatIsNotOneRecordLine) {
  const std::string good = Record("abcdefg");
  // A record exactly at the size limit, and one byte over it.
  std::string atLimit = Record("u");
  atLimit.insert(1, NetworkLimits::kMaxRecordBytes - atLimit.size(), 'x');
  ASSERT_EQ(NetworkLimits::kMaxRecordBytes, atLimit.size());
  const std::string overLimit = "y" + atLimit;

  struct Case {
    std::string content;
    bool accepted;
  };
  const Case cases[] = {
      {good + "\r\n", true},
      {good, true},
      {good + "\n", true},
      {atLimit + "\r\n", true},
      {overLimit + "\r\n", false},
      {overLimit, false},
      {good + "\r\n" + good + "\r\n", false},       // two lines
      {"abcdefg*a\r\nb*c*d*e*f*g*h*i\r\n", false},  // a line break inside
      {good + "\r\n\r\n", false},                   // an empty second line
      {"a*b*c*d*e*f*g*h\r\n", false},               // eight fields
      {"a*b*c*d*e*f*g*h*i*j\r\n", false},           // ten (a "*" in the time zone)
      {"*b*c*d*e*f*g*h*i\r\n", false},              // no user name
      {"\r\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 60));
    EXPECT_EQ(c.accepted, CheckPresenceRecord(c.content).empty()) << CheckPresenceRecord(c.content);
  }
}

TEST(FindFormField, FindsTheNamedPartWithEitherSeparator) {
  const std::string body =
      BuildMultipartBody("12AB34CD_Mirelo_boundary", "nume_fis", "usrpk070.$$$", "R\r\n");
  for (const char* type : {"multipart/form-data, boundary=12AB34CD_Mirelo_boundary",
                           "multipart/form-data; boundary=\"12AB34CD_Mirelo_boundary\""}) {
    SCOPED_TRACE(type);
    const auto field = FindFormField(type, body, "nume_fis");
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ("R\r\n", *field);
  }
  EXPECT_FALSE(FindFormField("multipart/form-data, boundary=other", body, "nume_fis"));
  EXPECT_FALSE(FindFormField("text/plain", body, "nume_fis"));
  EXPECT_FALSE(FindFormField("multipart/form-data, boundary=12AB34CD_Mirelo_boundary", body, "x"));
  // The file name is not the field name.
  const std::string byFileName = BuildMultipartBody("B", "other", "nume_fis", "R");
  EXPECT_FALSE(FindFormField("multipart/form-data; boundary=B", byFileName, "nume_fis"));
  // A part cut before its closing delimiter is not taken.
  EXPECT_FALSE(FindFormField("multipart/form-data; boundary=B",
                             "--B\r\ncontent-disposition: form-data; name=\"nume_fis\"\r\n\r\nR",
                             "nume_fis"));
}

TEST(TrackerBook, KeepsTheNewestLinePerUserAndNeverAnotherUsersLine) {
  TTrackerBook book(15 * 60);
  EXPECT_EQ("", book.Post(Record("abcdefg", "http://1.1.1.1:1") + "\r\n", 1000));
  EXPECT_EQ("", book.Post(Record("abcdefgh", "http://2.2.2.2:2") + "\r\n", 1001));
  EXPECT_EQ("", book.Post(Record("bcdefgh", "http://3.3.3.3:3") + "\r\n", 1002));
  // The same name again replaces only its own line, which moves to the end.
  EXPECT_EQ("", book.Post(Record("abcdefg", "http://4.4.4.4:4") + "\r\n", 1003));
  EXPECT_EQ(Record("abcdefgh", "http://2.2.2.2:2") + "\r\n" +
                Record("bcdefgh", "http://3.3.3.3:3") + "\r\n" +
                Record("abcdefg", "http://4.4.4.4:4") + "\r\n",
            book.ListText(1004));

  // A refused post, even one naming another user, changes nothing.
  const std::string before = book.ListText(1005);
  EXPECT_NE("", book.Post(Record("bcdefgh") + "\r\n" + Record("abcdefg") + "\r\n", 1005));
  EXPECT_NE("", book.Post("bcdefgh*x\r\n", 1005));
  EXPECT_EQ(before, book.ListText(1005));
}

TEST(TrackerBook, DropsLinesOlderThanTheMaximumAge) {
  TTrackerBook book(60);
  book.Post(Record("old-user") + "\r\n", 0);
  book.Post(Record("new-user") + "\r\n", 30);
  EXPECT_EQ(Record("old-user") + "\r\n" + Record("new-user") + "\r\n", book.ListText(60));
  EXPECT_EQ(Record("new-user") + "\r\n", book.ListText(61));
  EXPECT_EQ("", book.ListText(91));
}
