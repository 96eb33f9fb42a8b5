// Tests of the router's text helpers: percent coding, markers, confinement,
// escaping, name order and the size and time texts.
#include "server/RequestText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>

namespace {

// Sizes and times are written in the user's conventions; these tests expect
// the plain C ones, whatever the machine's locale.
const bool kPlainLocale = [] { return setenv("LC_ALL", "C", 1) == 0; }();

TEST(UrlDecode, DecodesEscapesAndPlus) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"%41", "A"},    {"%%", "%"},
      {"a+b", "a b"},  {"%2f", "/"},
      {"%2F", "/"},    {"a/b?c", "a/b?c"},
      {"%e9", "\xE9"}, {"100%%+x", "100% x"},
      {"", ""},        {"%C3%A9t%C3%A9", "\xC3\xA9t\xC3\xA9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.out, UrlDecode(c.in));
  }
}

TEST(UrlDecode, MalformedEscapesFailWithTheirPosition) {
  struct Case {
    const char* in;
    const char* message;
  };
  const Case cases[] = {
      {"abc%4", "Error decoding URL style (%XX) encoded string at position 4"},
      {"%", "Error decoding URL style (%XX) encoded string at position 1"},
      {"x%G1y", "Invalid URL encoded character (%G1) at position 2"},
      {"%1Z", "Invalid URL encoded character (%1Z) at position 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    try {
      UrlDecode(c.in);
      ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(c.message, e.what());
    }
  }
}

TEST(UrlEncode, KeepsOnlyTheSafeSet) {
  EXPECT_EQ("AZaz09*@._-$!'()", UrlEncode("AZaz09*@._-$!'()"));
  EXPECT_EQ("a+b%26c.jpg", UrlEncode("a b&c.jpg"));
  EXPECT_EQ("sub%2Fdir%2F%5C%E9%25%2B%3F%23%22%3C", UrlEncode("sub/dir/\\\xE9%+?#\"<"));
  EXPECT_EQ("x", UrlDecode(UrlEncode("x")));
  const std::string all = [] {
    std::string s;
    for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
    return s;
  }();
  EXPECT_EQ(all, UrlDecode(UrlEncode(all)));
}

TEST(RequestPath, DecodesAndDropsOneLeadingSlash) {
  EXPECT_EQ("sub/a b.txt", DecodeRequestPath("/sub/a+b.txt"));
  EXPECT_EQ("/x", DecodeRequestPath("//x"));
  EXPECT_EQ("download?sub/a.txt", DecodeRequestPath("/download?sub%2Fa.txt"));
  EXPECT_EQ("a/b/", ToUrlSlashes("a/b/"));
}

TEST(JoinFolder, AddsOneSeparatorToNonEmptyParts) {
  EXPECT_EQ("", WithSeparator(""));
  EXPECT_EQ("a/", WithSeparator("a"));
  EXPECT_EQ("a/", WithSeparator("a/"));
  EXPECT_EQ("/srv/share/", JoinFolder("/srv/share/", ""));
  EXPECT_EQ("/srv/share/sub/", JoinFolder("/srv/share/", "sub"));
  EXPECT_EQ("/srv/share/sub/", JoinFolder("/srv/share", "sub/"));
}

TEST(PosNoCase, FindsTheLeftmostMarkerInAnyCase) {
  struct Case {
    const char* marker;
    const char* text;
    size_t pos;
  };
  const Case cases[] = {
      {"DOWNLOAD?", "download?a.txt", 1},
      {"DOWNLOAD?", "x/DownLoad?a", 3},
      {"UPLOAD", "My Uploads/", 4},
      {"SEARCH?", "search", 0},
      {"?", "a?b?c", 2},
      {"ABC", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.pos, PosNoCase(c.marker, c.text));
  }
  EXPECT_EQ("a.txt", TextAfter("DOWNLOAD?", "x/Download?a.txt"));
  EXPECT_EQ("b?c", TextAfter("?", "a?b?c"));
  EXPECT_EQ("CmdUploadFile", TextAfter("?", "CmdUploadFile"));
  EXPECT_EQ("", TextAfter("TAMBNEIL/", "TAMBNEIL/"));
}

TEST(ConfinePath, NeverLeavesTheBase) {
  struct Case {
    const char* path;
    bool accepted;
    const char* resolved;  // when accepted
  };
  const Case cases[] = {
      {"/srv/share/a.jpg", true, "/srv/share/a.jpg"},
      {"/srv/share/a..b.jpg", true, "/srv/share/a..b.jpg"},
      {"/srv/share/../../etc/passwd", true, "/srv/share/etc/passwd"},  // "../" removed
      {"/srv/share/sub/..", true, "/srv/share/"},
      {"/srv/share/..", false, ""},
      {"/srv/share/./..", false, ""},
      {"/srv/share/sub/./../..", true, "/srv/share/"},  // "../" removed first
      {"/srv/share/....//", true, "/srv/share/"},
      {"/srv/share/...\\.\\", true, "/srv/share/"},  // a new "..\\" after each removal
      {"/srv/share/..\\..\\x", true, "/srv/share/x"},
      {"/srv/share/.../...//x", true, "/srv/share/x"},
      {"/srv/share", false, ""},
      {"/srv/shar", false, ""},
      {"/srv/sharex/a", false, ""},
      {"/srv/share//etc/passwd", true, "/srv/share/etc/passwd"},
      {"/srv/share/a/b/", true, "/srv/share/a/b/"},
      {"/srv/share/.", true, "/srv/share/"},
      {"/srv/share/a/..", true, "/srv/share/"},
      {"/srv/share/a/b/..", true, "/srv/share/a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const TConfined r = ConfinePath("/srv/share/", c.path);
    EXPECT_EQ(c.accepted, r.accepted);
    if (c.accepted) {
      EXPECT_EQ(c.resolved, r.path);
    }
  }
  EXPECT_FALSE(ConfinePath("", "etc/passwd").accepted);
  // A zero byte would shorten the name the kernel sees.
  EXPECT_FALSE(ConfinePath("/srv/share/", std::string("/srv/share/x\0y", 14)).accepted);
}

TEST(Escaping, HtmlHeaderAndScriptPlaces) {
  EXPECT_EQ("&lt;img src=x onerror=alert(1)&gt;.jpg",
            HtmlEscape("<img src=x onerror=alert(1)>.jpg"));
  EXPECT_EQ("&quot;&gt;&lt;script&gt; &amp; &#39;", HtmlEscape("\"><script> & '"));
  EXPECT_EQ("a_b_c \\\"q\\\" \\\\", HeaderQuoted("a\rb\nc \"q\" \\"));
  EXPECT_EQ("x%27%2Balert%281%29%2B%27/sub-_.~/", EncodePathForScript("x'+alert(1)+'/sub-_.~/"));
  EXPECT_EQ("a%23b/c%25d/e+f/", EncodePathComponents("a#b/c%d/e f/"));
  EXPECT_EQ("", EncodePathComponents(""));
}

TEST(FirstChars, NeverCutsInsideAUtf8Sequence) {
  const std::string e = "\xC3\xA9";         // é
  const std::string euro = "\xE2\x82\xAC";  // €
  EXPECT_EQ("ab", FirstChars("abc", 2));
  EXPECT_EQ("a" + e, FirstChars("a" + e + euro, 2));
  EXPECT_EQ("a" + e + euro, FirstChars("a" + e + euro, 3));
  EXPECT_EQ(3u, CharCount("a" + e + euro));
  std::string seventyOne;
  for (int i = 0; i < 71; ++i) seventyOne += e;
  EXPECT_EQ(140u, FirstChars(seventyOne, 70).size());
  // Invalid UTF-8 passes through byte by byte.
  EXPECT_EQ("\xFF\xFE", FirstChars("\xFF\xFE\xFD", 2));
}

TEST(CompareNames, FoldsOnlyAsciiLettersAndComparesBytes) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"alpha", "Zeta", -1}, {"Zeta", "_x", -1}, {"abc", "abcd", -1}, {"ABC", "abc", 0},
      {"!x", "..", -1},      {" a", "..", -1},   {"..", "a", -1},     {"\xC3\xA9", "z", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const int r = CompareNames(c.a, c.b);
    EXPECT_EQ(c.sign, (r > 0) - (r < 0));
    const int back = CompareNames(c.b, c.a);
    EXPECT_EQ(-c.sign, (back > 0) - (back < 0));
  }
}

TEST(FormatFileSize, UsesTheLargestUnitReached) {
  // The test program runs in the C locale: "," and "." as separators.
  struct Case {
    uint64_t size;
    const char* text;
  };
  const Case cases[] = {
      {0, "0 Byte"},
      {1, "1 Byte"},
      {1023, "1,023 Byte"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {1048575, "1,024.0 KB"},
      {1048576, "1.0 MB"},
      {5368709120ull, "5.0 GB"},
      {1099511627776ull * 2048, "2,048.0 TB"},
      {1126, "1.1 KB"},  // 1.0996 rounds up
      {1075, "1.0 KB"},  // 1.0498 rounds down
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(c.text, FormatFileSize(c.size));
  }
}

class LocalTimeUtc : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? tz : "";
    had_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::string saved_;
  bool had_ = false;
};

TEST_F(LocalTimeUtc, FileTimeTextInUsConventions) {
  struct Case {
    std::time_t t;
    const char* text;
  };
  const Case cases[] = {
      {1709647629, "3/5/2024 2:07:08 PM"},  // 14:07:09, seconds rounded down to even
      {1709596800, "3/5/2024"},             // exactly midnight
      {1709596801, "3/5/2024"},             // 00:00:01 rounds down to midnight
      {1709600400, "3/5/2024 1:00:00 AM"},
      {1709640000, "3/5/2024 12:00:00 PM"},
      {1709683199, "3/5/2024 11:59:58 PM"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.t);
    EXPECT_EQ(c.text, FormatFileTime(c.t));
  }
}

}  // namespace

TEST(JsonQuoted, EscapesAndReplacesWhatIsNotUtf8) {
  struct Case {
    const char* text;
    const char* json;
  };
  const Case cases[] = {
      {"plain name.jpg", "\"plain name.jpg\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\there\nline\x7f", "\"tab\\u0009here\\u000aline\\u007f\""},
      {"</script><b>", "\"</script><b>\""},
      {"na\xC3\xAFve \xF0\x9F\x98\x80", "\"na\xC3\xAFve \xF0\x9F\x98\x80\""},
      {"bad\xFF"
       "byte",
       "\"bad\xEF\xBF\xBD"
       "byte\""},
      {"cut\xC3", "\"cut\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate, byte by byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.json, JsonQuoted(c.text));
  }
}
