// The exact bytes of the three pages for a small fixture folder, compared
// with expected pages written by hand in golden/.
#include "ServerFixture.h"
#include "imaging/CacheKeeper.h"
#include "server/ServerActions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

namespace {

using servertest::ReadAll;
using servertest::SetTime;
using servertest::WriteAll;

constexpr long kAfternoon = 1709647629;  // 5 Mar 2024 14:07:09 UTC
constexpr long kMidnight = 1709596800;   // 5 Mar 2024 00:00:00 UTC

std::string Golden(const char* name) {
  return ReadAll(std::string(MIRELO_SOURCE_DIR) + "/tests/server/golden/" + name);
}

class GoldenPages : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) savedTz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();

    root_ = temp_.Slash() + "share/";
    mkdir(root_.c_str(), 0755);
    for (const char* folder : {"Zeta", "alpha", "a#b%c+d?", "alpha/bold"}) {
      mkdir((root_ + folder).c_str(), 0755);
    }
    WriteAll(root_ + "\"bold\" <b>.txt", "");
    WriteAll(root_ + "a b&c.txt", std::string(1536, 'x'));
    WriteAll(root_ + "photo.bmp", servertest::TinyBmp());
    WriteAll(root_ + "Zeta/bolder.txt", "z");
    WriteAll(root_ + "alpha/.bold", "hidden");
    mkfifo((root_ + "alpha/bold.fifo").c_str(), 0644);
    for (const char* entry : {"Zeta", "alpha", "a#b%c+d?", "\"bold\" <b>.txt", "photo.bmp"}) {
      SetTime(root_ + entry, kAfternoon);
    }
    SetTime(root_ + "a b&c.txt", kMidnight);
    cache_ = std::make_unique<TCacheObj>(temp_.Slash() + "cache/");
    cache_->LoadDB();  // as at start-up: the first thumbnail is number 2
  }
  void TearDown() override {
    if (hadTz_) {
      setenv("TZ", savedTz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  void ExpectPage(const char* uri, const char* golden) {
    SCOPED_TRACE(uri);
    const servertest::Response r = servertest::Request(root_, cache_.get(), true, uri);
    const std::string expected = Golden(golden);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, r.body);
    ASSERT_EQ(2u, r.headers.size());
    EXPECT_EQ("Content-type: Text/Html; charset=UTF-8", r.headers[0]);
    EXPECT_EQ("Content-length: " + std::to_string(expected.size()), r.headers[1]);
  }

  TempFolder temp_;
  std::string root_;
  std::unique_ptr<TCacheObj> cache_;
  bool hadTz_ = false;
  std::string savedTz_;
};

TEST_F(GoldenPages, Listing) { ExpectPage("/", "listing.html"); }

TEST_F(GoldenPages, Search) { ExpectPage("/search?searchtext=bold&path=", "search.html"); }

TEST_F(GoldenPages, UploadForm) { ExpectPage("/CmdUploadFile?a%26b%2F", "upload.html"); }

}  // namespace
