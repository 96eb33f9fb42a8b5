// Address splitting, wildcard search, stream-to-text and location resolving.
#include "net/StreamWrap1.h"
#include "net/fetchwrap.h"
#include "net/httpclient.h"

#include <gtest/gtest.h>

TEST(SplitUrl, FindsEveryPart) {
  struct Case {
    const char* url;
    const char* protocol;
    const char* user;
    const char* password;
    const char* host;
    const char* port;
    const char* path;
    const char* query;
    const char* target;
  };
  const Case cases[] = {
      {"h", "http", "", "", "h", "80", "/", "", "/"},
      {"http://h/a/b?c=1", "http", "", "", "h", "80", "/a/b", "c=1", "/a/b?c=1"},
      {"127.0.0.1:8080", "http", "", "", "127.0.0.1", "8080", "/", "", "/"},
      {"127.0.0.1:8080/x/y", "http", "", "", "127.0.0.1", "8080", "/x/y", "", "/x/y"},
      {"HTTPS://secure.example/", "HTTPS", "", "", "secure.example", "443", "/", "", "/"},
      {"ftp://files.example/pub", "ftp", "", "", "files.example", "21", "/pub", "", "/pub"},
      {"https://h:8443/p", "https", "", "", "h", "8443", "/p", "", "/p"},
      {"http://u:pw@h:81/p", "http", "u", "pw", "h", "81", "/p", "", "/p"},
      {"http://u@h", "http", "u", "", "h", "80", "/", "", "/"},
      // "@" after the first "/" belongs to the path.
      {"http://h/p@q", "http", "", "", "h", "80", "/p@q", "", "/p@q"},
      {"http://[::1]:8080/v6", "http", "", "", "::1", "8080", "/v6", "", "/v6"},
      {"http://[fe80::1]/", "http", "", "", "fe80::1", "80", "/", "", "/"},
      {"http:///only/path", "http", "", "", "localhost", "80", "/only/path", "", "/only/path"},
      {"", "http", "", "", "localhost", "80", "/", "", "/"},
      {"h/a?b?c", "http", "", "", "h", "80", "/a", "b?c", "/a?b?c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const TUrlParts p = SplitUrl(c.url);
    EXPECT_EQ(c.protocol, p.Protocol);
    EXPECT_EQ(c.user, p.User);
    EXPECT_EQ(c.password, p.Password);
    EXPECT_EQ(c.host, p.Host);
    EXPECT_EQ(c.port, p.Port);
    EXPECT_EQ(c.path, p.Path);
    EXPECT_EQ(c.query, p.Query);
    EXPECT_EQ(c.target, p.Target);
  }
}

TEST(PosWild, MatchesQuestionMarksAndCase) {
  struct Case {
    const char* pattern;
    const char* text;
    int position;
  };
  const Case cases[] = {
      {"Location: ", "Location: http://x/", 1},
      {"Location: ", "X-Location: y", 3},
      {"Location: ", "location: http://x/", 0},  // letter case counts
      {"a?c", "xxabcxx", 3},
      {"a?c", "xxacxx", 0},
      {"???", "ab", 0},
      {"???", "abc", 1},
      {"", "abc", 0},
      {"c", "abc", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " in " + c.text);
    EXPECT_EQ(c.position, PosWild(c.pattern, c.text));
  }
}

TEST(StreamToText, ReadsTheWholeStreamFromItsStart) {
  TMemoryStream empty;
  EXPECT_EQ("", StreamToText(empty));

  TMemoryStream stream;
  const std::string bytes("ab\0\r\ncd\xff", 7);
  stream.Write(bytes);
  EXPECT_EQ(7u, stream.Position());
  EXPECT_EQ(bytes, StreamToText(stream));  // position at the end does not matter
  stream.Seek(3);
  EXPECT_EQ(bytes, StreamToText(stream));
}

TEST(TextToLines, EndsLinesAtCrLfOrEither) {
  struct Case {
    const char* text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb", {"a", "b"}},
      {"a\rb\nc", {"a", "b", "c"}},
      {"a\n\rb", {"a", "", "b"}},  // LF then CR: two line ends
      {"a\r\n\r\n", {"a", ""}},
      {"\r\n", {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.lines, TextToLines(c.text));
  }
}

TEST(ResolveLocation, ResolvesAgainstTheAddressThatGaveIt) {
  struct Case {
    const char* base;
    const char* location;
    const char* result;
  };
  const Case cases[] = {
      {"http://a:1/x/y", "http://b:2/z", "http://b:2/z"},
      {"http://a:1/x/y?q=1", "/z", "http://a:1/z"},
      {"http://a:1/x/y?q=/w", "z?k", "http://a:1/x/z?k"},
      {"http://a:1", "z", "http://a:1/z"},
      {"a:1/x/", "z", "a:1/x/z"},
      {"https://a/x", "//b/c", "https://b/c"},
      {"a:1/x", "//b/c", "http://b/c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.location);
    EXPECT_EQ(c.result, ResolveLocation(c.base, c.location));
  }
}
