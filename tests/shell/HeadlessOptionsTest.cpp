// Tests of the headless program's command line.
#include "shell/HeadlessOptions.h"

#include <gtest/gtest.h>

namespace {

HeadlessOptions Parse(std::vector<const char*> args, std::string* error = nullptr) {
  args.insert(args.begin(), "mirelo-share");
  HeadlessOptions o;
  const std::string e = ParseHeadlessOptions(static_cast<int>(args.size()), args.data(), o);
  if (error) *error = e;
  return o;
}

TEST(HeadlessOptions, OptionsOverrideTheSettings) {
  const HeadlessOptions o =
      Parse({"ShareOff", "--headless", "--folder",      "/srv/my pics", "--port",
             "8080",     "--timeout",  "500",           "--uploads",    "--internal",
             "--filter", "0",          "--thumb-width", "200",          "--thumb-height",
             "16",       "--user",     "Alice Smith",   "--workdir",    "/tmp/w"});
  EXPECT_TRUE(o.shareOff);
  EXPECT_EQ("/tmp/w", o.workdir);
  EXPECT_EQ("Alice Smith", o.user);
  AppSettings s = DefaultSettings("/p");
  ApplyOptions(o, s);
  AppSettings expected = DefaultSettings("/p");
  expected.SharedFolder = "/srv/my pics";
  expected.Port = 8080;
  expected.TimeoutMs = 500;
  expected.AcceptUploads = true;
  expected.InternalAddress = true;
  expected.ResamplerQuality = 0;
  expected.ThumbWidth = 200;
  expected.ThumbHeight = 16;
  EXPECT_EQ(expected, s);
  // No options: the settings stay as they are.
  AppSettings untouched = DefaultSettings("/p");
  untouched.AcceptUploads = true;
  AppSettings copy = untouched;
  ApplyOptions(Parse({}), copy);
  EXPECT_EQ(untouched, copy);
  EXPECT_EQ(false, Parse({"--uploads", "off"}).uploads);
  EXPECT_EQ(true, Parse({"--uploads", "on"}).uploads);
  EXPECT_EQ("on2", Parse({"--uploads", "--folder", "on2"}).folder);
  const HeadlessOptions off = Parse({"--no-uploads", "--external"});
  ApplyOptions(off, copy);
  EXPECT_FALSE(copy.AcceptUploads);
  EXPECT_FALSE(copy.InternalAddress);
  // Sharing over the Internet.
  const HeadlessOptions net =
      Parse({"--no-port-mapping", "--gateway", "http://192.168.1.1:5000/rootDesc.xml",
             "--natpmp-gateway", "192.168.1.1", "--bind", "2a01:e35::5"});
  ApplyOptions(net, copy);
  EXPECT_FALSE(copy.PortMapping);
  EXPECT_EQ("http://192.168.1.1:5000/rootDesc.xml", copy.UpnpGateway);
  EXPECT_EQ("192.168.1.1", copy.NatPmpGateway);
  EXPECT_EQ("2a01:e35::5", copy.BindAddress);
  ApplyOptions(Parse({"--port-mapping"}), copy);
  EXPECT_TRUE(copy.PortMapping);
  // The page style.
  ApplyOptions(Parse({"--pages", "Gallery"}), copy);
  EXPECT_EQ(TPageStyle::Gallery, copy.PageStyle);
  ApplyOptions(Parse({}), copy);
  EXPECT_EQ(TPageStyle::Gallery, copy.PageStyle);
  ApplyOptions(Parse({"--pages", "classic"}), copy);
  EXPECT_EQ(TPageStyle::Classic, copy.PageStyle);
}

TEST(HeadlessOptions, EveryAcceptedOptionIsInTheUsageText) {
  const std::vector<std::vector<const char*>> options = {{"ShareOff"},
                                                         {"--headless"},
                                                         {"--help"},
                                                         {"-h"},
                                                         {"--version"},
                                                         {"--workdir", "/w"},
                                                         {"--folder", "/f"},
                                                         {"--user", "Bo"},
                                                         {"--port", "1"},
                                                         {"--timeout", "100"},
                                                         {"--filter", "1"},
                                                         {"--thumb-width", "16"},
                                                         {"--thumb-height", "16"},
                                                         {"--uploads"},
                                                         {"--no-uploads"},
                                                         {"--internal"},
                                                         {"--external"},
                                                         {"--send-ip"},
                                                         {"--list-users"},
                                                         {"--port-mapping"},
                                                         {"--no-port-mapping"},
                                                         {"--gateway", "http://127.0.0.1:1/d.xml"},
                                                         {"--natpmp-gateway", "127.0.0.1:5351"},
                                                         {"--bind", "::1"},
                                                         {"--pages", "gallery"}};
  const std::string usage = HeadlessUsage();
  for (const auto& args : options) {
    SCOPED_TRACE(args.front());
    std::string error = "?";
    Parse(args, &error);
    EXPECT_EQ("", error);
    EXPECT_NE(std::string::npos, usage.find(args.front()));
  }
}

TEST(HeadlessOptions, BadArgumentsAreNamed) {
  struct Case {
    std::vector<const char*> args;
    const char* error;
  };
  const Case cases[] = {
      {{"--port", "70000"}, "--port takes a whole number from 0 to 65535, not \"70000\""},
      {{"--port", "http"}, "--port takes a whole number from 0 to 65535, not \"http\""},
      {{"--port"}, "--port needs a value"},
      {{"--timeout", "50"}, "--timeout takes a whole number from 100 to 120000, not \"50\""},
      {{"--filter", "7"}, "--filter takes a whole number from 0 to 6, not \"7\""},
      {{"--thumb-width", "-5"}, "--thumb-width takes a whole number from 16 to 1024, not \"-5\""},
      {{"--folder", ""}, "--folder needs a value"},
      {{"--bogus"}, "unknown argument \"--bogus\""},
      {{"--user", "a*b"}, "--user: the star (*) character is not allowed in a user name"},
      {{"--folder", "/x", "ShareOff"}, "unknown argument \"ShareOff\""},  // first argument only
      {{"--bind", "localhost"}, "--bind takes a numeric IPv4 or IPv6 address, not \"localhost\""},
      {{"--bind", "10.0.0.300"}, "--bind takes a numeric IPv4 or IPv6 address, not \"10.0.0.300\""},
      {{"--bind"}, "--bind needs a value"},
      {{"--pages", "fancy"}, "--pages takes gallery or classic, not \"fancy\""},
      {{"--pages"}, "--pages needs a value"},
      {{"--gateway", "192.168.1.1:5000"},
       "--gateway takes the router's description address (http://...), not \"192.168.1.1:5000\""},
      {{"--natpmp-gateway", "127.0.0.1:0"},
       "--natpmp-gateway takes an IPv4 address with an optional :PORT, not \"127.0.0.1:0\""},
      {{"--natpmp-gateway", "router:5351"},
       "--natpmp-gateway takes an IPv4 address with an optional :PORT, not \"router:5351\""},
      {{"--natpmp-gateway", "::1"},
       "--natpmp-gateway takes an IPv4 address with an optional :PORT, not \"::1\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    std::string error;
    Parse(c.args, &error);
    EXPECT_EQ(c.error, error);
  }
  std::string none;
  EXPECT_TRUE(Parse({"--help"}, &none).help);
  EXPECT_EQ("", none);
}

}  // namespace
