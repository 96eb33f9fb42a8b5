#include "network/AddressRules.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(AddressRules, PrivateIPv4) {
  struct Case {
    const char* address;
    bool isPrivate;
  };
  const Case cases[] = {
      {"10.0.0.1", true},        {"10.255.255.255", true},  {"9.255.255.255", false},
      {"172.16.0.1", true},      {"172.31.255.255", true},  {"172.32.0.0", false},
      {"172.15.255.255", false}, {"192.168.0.1", true},     {"192.169.0.1", false},
      {"100.64.0.1", true},      {"100.127.255.255", true}, {"100.128.0.0", false},
      {"100.63.255.255", false}, {"203.0.113.7", false},    {"not an address", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(c.isPrivate, IsPrivateIPv4(c.address));
  }
}

TEST(AddressRules, GlobalIPv6AndLoopback) {
  struct Case {
    const char* address;
    bool global;
    bool loopback;
  };
  const Case cases[] = {
      {"2a01:e35:8b2b:7330::5", true, false},
      {"2001:4860:4860::8888", true, false},
      {"3fff:ffff::1", true, false},
      {"2001:db8::1", false, false},   // documentation
      {"fe80::1", false, false},       // link-local
      {"fd12:3456::1", false, false},  // unique local
      {"::1", false, true},
      {"[::1]", false, true},
      {"::ffff:203.0.113.7", false, false},
      {"::", false, false},
      {"127.0.0.1", false, true},
      {"127.5.6.7", false, true},
      {"localhost", false, true},
      {"128.0.0.1", false, false},
      {"192.168.1.1", false, false},
      {"2a01:e35::zz", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(c.global, IsGlobalIPv6(c.address));
    EXPECT_EQ(c.loopback, IsLoopbackHost(c.address));
  }
}

TEST(AddressRules, HostOfAddress) {
  struct Case {
    const char* address;
    const char* host;
  };
  const Case cases[] = {
      {"www.novrix.example", "www.novrix.example"},
      {"127.0.0.1:8080", "127.0.0.1"},
      {"http://192.168.1.1:5000/rootDesc.xml", "192.168.1.1"},
      {"http://user:pw@10.0.0.1/x", "10.0.0.1"},
      {"[::1]:8080", "::1"},
      {"http://[fe80::1]:5000/desc.xml", "fe80::1"},
      {"2a01:e35::5", "2a01:e35::5"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(c.host, HostOfAddress(c.address));
  }
}

TEST(AddressRules, LoopbackOnlyEnvironmentReadsItsVariable) {
  const struct {
    const char* value;
    bool on;
  } cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"yes", true}};
  for (const auto& c : cases) {
    if (c.value) {
      setenv(kLoopbackOnlyVariable, c.value, 1);
    } else {
      unsetenv(kLoopbackOnlyVariable);
    }
    EXPECT_EQ(c.on, LoopbackOnlyEnvironment()) << (c.value ? c.value : "(unset)");
  }
  setenv(kLoopbackOnlyVariable, "1", 1);
}

}  // namespace
