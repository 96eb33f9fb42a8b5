// Where sharing listens and which addresses it shows.
#include "shell/InternetReach.h"

#include <gtest/gtest.h>

namespace {

TEST(InternetReach, ListenersFollowTheBindSettingAndTheGlobalIPv6Address) {
  const std::vector<TInterfaceAddress> withGlobal = {
      {true, true, true, "127.0.0.1"},       {true, true, false, "::1"},
      {true, false, true, "192.168.1.20"},   {true, false, false, "fe80::1"},
      {false, false, false, "2a01:e35::99"},  // down
      {true, false, false, "fd00::5"},       {true, false, false, "2a01:e35::5"},
  };
  const std::vector<TInterfaceAddress> withoutGlobal(withGlobal.begin(), withGlobal.end() - 1);
  struct Case {
    const char* bind;
    bool global;
    const char* listen;
    const char* second;
    const char* shown;
  };
  const Case cases[] = {
      {"", true, "0.0.0.0", "::", "2a01:e35::5"},
      {"0.0.0.0", true, "0.0.0.0", "::", "2a01:e35::5"},
      {"", false, "0.0.0.0", "", ""},
      {"192.168.1.20", true, "192.168.1.20", "", ""},
      {"127.0.0.1", true, "127.0.0.1", "", ""},
      {"::", true, "::", "", "2a01:e35::5"},
      {"::", false, "::", "", ""},
      {"2a01:e35::7", false, "2a01:e35::7", "", "2a01:e35::7"},
      {"::1", true, "::1", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bind) + (c.global ? " with" : " without"));
    const TListenPlan plan = PlanListeners(c.bind, c.global ? withGlobal : withoutGlobal);
    EXPECT_EQ(c.listen, plan.BindAddress);
    EXPECT_EQ(c.second, plan.SecondBind);
    EXPECT_EQ(c.shown, plan.IPv6Address);
  }
}

TEST(InternetReach, AddressesFromThisComputer) {
  EXPECT_EQ("http://127.0.0.1:3724/", LocalWebAddress("", 3724));
  EXPECT_EQ("http://127.0.0.1:3724/", LocalWebAddress("0.0.0.0", 3724));
  EXPECT_EQ("http://192.168.1.20:3724/", LocalWebAddress("192.168.1.20", 3724));
  EXPECT_EQ("http://[::1]:3724/", LocalWebAddress("::", 3724));
  EXPECT_EQ("http://[2a01:e35::5]:80/", LocalWebAddress("2a01:e35::5", 80));
}

}  // namespace
