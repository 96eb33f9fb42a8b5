// Body text extraction and address filtering of the IP-echo answer.
#include "network/ExternalIP.h"
#include "network/OrvelInternet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

TEST(ExtractBodyText, TakesTheTextBetweenTheBodyTags) {
  struct Case {
    const char* html;
    const char* body;
  };
  const Case cases[] = {
      {"<html><body>Current IP Address: 10.1.2.3</body></html>", "Current IP Address: 10.1.2.3"},
      {"<HTML><BODY>x</body></HTML>", "x"},                // opening tag in any case
      {"<html><BoDy>x</BODY></html>", "x</BODY></html>"},  // closing tag only in lower case
      {"10.0.0.7\r\n", "10.0.0.7\r\n"},                    // no body tag: the whole text
      {"<body>open to the end", "open to the end"},
      {"a<body>b<body>c</body>", "b<body>c"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(c.body, ExtractBodyText(c.html));
  }
}

TEST(KeepIpCharacters, KeepsDigitsAndDotsOnly) {
  struct Case {
    const char* text;
    const char* kept;
  };
  const Case cases[] = {
      {"Current IP Address: 10.1.2.3", "10.1.2.3"},
      {" 192.0.2.1 \r\n", "192.0.2.1"},
      {"Date 2008-06-05, IP 10.1.2.3.", "2008060510.1.2.3."},  // no validation
      {"no digits", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.kept, KeepIpCharacters(c.text));
  }
}

TEST(FirstUsableIPv4, SkipsLoopbackDownAndIPv6Interfaces) {
  const std::vector<TInterfaceAddress> interfaces = {
      {true, true, true, "127.0.0.1"},   // loopback
      {false, false, true, "10.9.9.9"},  // down
      {true, false, false, "fe80::1"},   // IPv6
      {true, false, true, "192.168.1.20"}, {true, false, true, "10.0.0.5"},
  };
  EXPECT_EQ("192.168.1.20", FirstUsableIPv4(interfaces));
  EXPECT_EQ("", FirstUsableIPv4({interfaces[0], interfaces[1], interfaces[2]}));
  EXPECT_EQ("", FirstUsableIPv4({}));
}

TEST(GetLocalIp, PrefersAnInterfaceAddressOverTheHostName) {
  const std::string expected = FirstUsableIPv4(ListInterfaceAddresses());
  const std::string address = GetLocalIp();
  if (!expected.empty()) {
    EXPECT_EQ(expected, address);
  } else if (!address.empty()) {
    in_addr parsed{};
    EXPECT_EQ(1, inet_pton(AF_INET, address.c_str(), &parsed)) << address;
  }
}
