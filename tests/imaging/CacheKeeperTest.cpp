// Tests of the thumbnail cache: names, sizes, lookups, the database files,
// maintenance, the batch against single lookups, and concurrent lookups.
#include "imaging/CacheKeeper.h"

#include "base/IniFile.h"
#include "base/Messages.h"
#include "imaging/JpegImage.h"
#include "imaging/LoaderFixtures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Sets a file's modification time to `seconds` after the epoch.
void SetMtime(const std::string& path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

// Width and height of a JPEG file, (0, 0) when it does not parse.
std::pair<int, int> JpegSize(const std::string& path) {
  JpegImage jpeg;
  try {
    jpeg.LoadFromFile(path);
  } catch (const std::exception&) {
    return {0, 0};
  }
  return {jpeg.Width(), jpeg.Height()};
}

// A cache in a temporary folder, pictures beside it, and the messages shown.
class CacheTest : public ::testing::Test {
 protected:
  CacheTest() {
    SetMessageDisplay([this](MessageKind kind, const std::string& text) {
      std::lock_guard<std::mutex> lock(messagesMu_);
      messages_.push_back((kind == MessageKind::Error  ? "E:"
                           : kind == MessageKind::Info ? "I:"
                                                       : "T:") +
                          text);
    });
    fs::create_directories(Pics());
  }
  ~CacheTest() override { SetMessageDisplay(nullptr); }

  std::string CacheDir() const { return temp_ / "cache/"; }
  std::string Pics() const { return temp_ / "pics/"; }

  // A JPEG picture of this size in the pictures folder.
  std::string Picture(const std::string& name, int width, int height) const {
    const std::string path = Pics() + name;
    WriteFile(path, EncodeJpeg(TestPicture(width, height)));
    return path;
  }
  std::string File(const std::string& name, const std::string& bytes) const {
    WriteFile(Pics() + name, bytes);
    return Pics() + name;
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(messagesMu_);
    return messages_;
  }
  std::vector<std::string> CacheFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(CacheDir())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder temp_;
  std::mutex messagesMu_;
  std::vector<std::string> messages_;
};

}  // namespace

TEST(CacheNames, NineDigitsThenInFull) {
  const std::pair<std::int64_t, const char*> cases[] = {{2, "000000002.JPG"},
                                                        {42, "000000042.JPG"},
                                                        {999999999, "999999999.JPG"},
                                                        {1234567890, "1234567890.JPG"}};
  for (const auto& [number, name] : cases) EXPECT_EQ(name, TCacheObj::MakeThumbName(number));
}

TEST(CacheSizes, LandscapeTakesTheWidthOthersTheHeight) {
  struct Case {
    int w, h, tw, th;
  };
  const Case cases[] = {
      {1000, 750, 128, 96}, {750, 1000, 72, 96}, {800, 800, 96, 96}, {2000, 1900, 128, 122},
      {64, 48, 128, 96},    {5, 192, 2, 96},     {7, 192, 4, 96},  // 2.5 and 3.5: to even
      {256, 1, 128, 0},     {1, 5000, 0, 96},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    EXPECT_EQ(std::make_pair(c.tw, c.th), TCacheObj::ThumbSize(c.w, c.h, 128, 96));
  }
  EXPECT_THROW(TCacheObj::ThumbSize(0, 10, 128, 96), std::invalid_argument);
  EXPECT_THROW(TCacheObj::ThumbSize(10, 0, 128, 96), std::invalid_argument);
}

TEST_F(CacheTest, FreshCacheNumbersFromTwoAndSavesTheThreeFiles) {
  const std::string beach = Picture("Beach.JPG", 1000, 750);
  const std::string sunset = Picture("sunset.jpg", 750, 1000);
  {
    TCacheObj cache(CacheDir());
    EXPECT_EQ(CacheDir(), cache.CacheFolder);
    cache.LoadDB();
    EXPECT_EQ(CacheDir() + "000000002.JPG", cache.GetThumb(beach));
    EXPECT_EQ(CacheDir() + "000000003.JPG", cache.GetThumb(sunset));
    EXPECT_EQ(CacheDir() + "000000002.JPG", cache.GetThumb(beach));  // found again
    EXPECT_EQ(3, cache.LastEntry());
    EXPECT_EQ(std::make_pair(128, 96), JpegSize(CacheDir() + "000000002.JPG"));
    EXPECT_EQ(std::make_pair(72, 96), JpegSize(CacheDir() + "000000003.JPG"));
  }  // destroying saves
  EXPECT_EQ(beach + "\r\n" + sunset + "\r\n", ReadFile(CacheDir() + "CacheDBInput"));
  EXPECT_EQ("000000002.JPG\r\n000000003.JPG\r\n", ReadFile(CacheDir() + "CacheDBOutput"));
  const IniFile ini(CacheDir() + "CacheSettings");
  EXPECT_EQ(128, ini.ReadInteger("Size", "ThumbWidth", 0));
  EXPECT_EQ(96, ini.ReadInteger("Size", "ThumbHeight", 0));
  EXPECT_EQ(3, ini.ReadInteger("Index", "LastEntry", 0));
  EXPECT_EQ((std::vector<std::string>{"000000002.JPG", "000000003.JPG", "CacheDBInput",
                                      "CacheDBOutput", "CacheSettings"}),
            CacheFiles());  // no temporary files left behind

  // The next run finds them again.
  TCacheObj again(CacheDir());
  again.LoadDB();
  EXPECT_EQ(CacheDir() + "000000003.JPG", again.GetThumb(sunset));
  EXPECT_EQ(3, again.LastEntry());
  EXPECT_TRUE(Messages().empty());
}

TEST_F(CacheTest, PathsAreKeyedExactly) {
  const std::string upper = Picture("A.JPG", 40, 30);
  const std::string lower = Picture("a.jpg", 40, 30);
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  EXPECT_EQ(CacheDir() + "000000002.JPG", cache.GetThumb(upper));
  EXPECT_EQ(CacheDir() + "000000003.JPG", cache.GetThumb(lower));
  EXPECT_EQ((std::vector<std::string>{upper, lower}), cache.Inputs());
}

TEST_F(CacheTest, WhatGetsNoThumbnail) {
  const std::string icon = File("x.ico", "not looked at");
  const std::string emf = File("x.emf", "not looked at");
  const std::string text = File("notes.txt", "text");
  const std::string missing = Pics() + "gone.jpg";
  ASSERT_EQ(0, ::mkfifo((Pics() + "fifo.jpg").c_str(), 0600));
  fs::create_symlink("/dev/zero", Pics() + "zero.jpg");
  fs::create_directory(Pics() + "folder.jpg");
  const std::string newline = Picture("two\nlines.jpg", 20, 20);

  TCacheObj cache(CacheDir());
  cache.LoadDB();
  for (const std::string& path : {icon, emf, text, missing, Pics() + "fifo.jpg",
                                  Pics() + "zero.jpg", Pics() + "folder.jpg", newline}) {
    EXPECT_EQ("", cache.GetThumb(path)) << path;
  }
  EXPECT_TRUE(cache.Inputs().empty());
  EXPECT_EQ(1, cache.LastEntry());  // no number used
  // Existence messages for everything that is not a regular file.
  const auto messages = Messages();
  ASSERT_EQ(4u, messages.size());
  EXPECT_EQ("I:File \"" + missing + "\" does not exist", messages[0]);
  EXPECT_EQ("I:File \"" + Pics() + "fifo.jpg\" does not exist", messages[1]);
}

TEST_F(CacheTest, CorruptPictureUsesANumberButGetsNoEntry) {
  const std::string bad = File("bad.jpg", "\xFF\xD8 not really a JPEG");
  const std::string empty = File("empty.png", "");
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  EXPECT_EQ(CacheDir() + "000000002.JPG", cache.GetThumb(bad));
  EXPECT_FALSE(fs::exists(CacheDir() + "000000002.JPG"));
  EXPECT_EQ(CacheDir() + "000000003.JPG", cache.GetThumb(bad));  // tried again
  EXPECT_EQ(CacheDir() + "000000004.JPG", cache.GetThumb(empty));
  EXPECT_EQ(4, cache.LastEntry());
  EXPECT_TRUE(cache.Inputs().empty());
  // Short sides that round to nothing cannot be resampled either.
  EXPECT_EQ(CacheDir() + "000000005.JPG", cache.GetThumb(Picture("line.jpg", 300, 1)));
  EXPECT_TRUE(cache.Inputs().empty());
}

TEST_F(CacheTest, FindEntryRemakesMissingAndStaleThumbnails) {
  const std::string a = Picture("a.jpg", 64, 48);
  const std::string b = Picture("b.jpg", 48, 64);
  const std::string c = Picture("c.jpg", 50, 50);
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  EXPECT_EQ(-1, cache.FindEntry(a).position);
  EXPECT_EQ("", cache.FindEntry(a).name);
  EXPECT_EQ(1, cache.LastEntry());                    // FindEntry alone adds nothing
  for (const auto& p : {a, b, c}) cache.GetThumb(p);  // 2, 3, 4

  const TCacheObj::Found found = cache.FindEntry(b);
  EXPECT_EQ(1, found.position);
  EXPECT_EQ("000000003.JPG", found.name);

  // A thumbnail deleted by hand: made again under the next number, at the end.
  fs::remove(CacheDir() + "000000002.JPG");
  const TCacheObj::Found remade = cache.FindEntry(a);
  EXPECT_EQ(0, remade.position);  // the old position
  EXPECT_EQ("000000005.JPG", remade.name);
  EXPECT_EQ((std::vector<std::string>{b, c, a}), cache.Inputs());
  EXPECT_EQ((std::vector<std::string>{"000000003.JPG", "000000004.JPG", "000000005.JPG"}),
            cache.Outputs());

  // A picture replaced after its thumbnail was written: the old thumbnail goes.
  SetMtime(CacheDir() + "000000004.JPG", 1'600'000'000);
  Picture("c.jpg", 30, 60);
  SetMtime(c, 1'600'000'001);
  EXPECT_EQ(CacheDir() + "000000006.JPG", cache.GetThumb(c));
  EXPECT_FALSE(fs::exists(CacheDir() + "000000004.JPG"));
  EXPECT_EQ(std::make_pair(48, 96), JpegSize(CacheDir() + "000000006.JPG"));
  // An older source keeps its thumbnail.
  SetMtime(a, 1'500'000'000);
  EXPECT_EQ(CacheDir() + "000000005.JPG", cache.GetThumb(a));
  EXPECT_EQ(6, cache.LastEntry());
}

TEST_F(CacheTest, AddEntryAndDeleteEntry) {
  const std::string a = Picture("a.jpg", 20, 20);
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  EXPECT_EQ("", cache.AddEntry(Pics() + "missing.jpg"));
  EXPECT_EQ(1, cache.LastEntry());
  EXPECT_EQ("000000002.JPG", cache.AddEntry(a));

  try {
    cache.DeleteEntry(-1);
    ADD_FAILURE();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ("Cannot delete thumb at position -1", e.what());
  }
  EXPECT_THROW(cache.DeleteEntry(1), std::out_of_range);
  cache.DeleteEntry(0);
  EXPECT_TRUE(cache.Inputs().empty());
  EXPECT_FALSE(fs::exists(CacheDir() + "000000002.JPG"));
  try {
    cache.DeleteEntry(0);
    ADD_FAILURE();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ("Cannot delete thumb 0! The DB is empty.", e.what());
  }
}

TEST_F(CacheTest, EntryRotatedByItsExifOrientation) {
  // Stored 200 x 100 with its left half red; orientation 6 shows it turned a
  // quarter clockwise, so upright it is 100 x 200 with the red half on top.
  Bitmap raw(200, 100);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 200; ++x) {
      std::uint8_t* p = raw.Row(y) + 3 * x;
      p[0] = x < 100 ? 0 : 255;
      p[1] = 0;
      p[2] = x < 100 ? 255 : 0;
    }
  }
  const std::string path = File("phone.jpg", WithExifOrientation(EncodeJpeg(raw), 6, false));
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  const std::string thumb = cache.GetThumb(path);
  ASSERT_EQ(std::make_pair(48, 96), JpegSize(thumb));
  JpegImage jpeg;
  jpeg.LoadFromFile(thumb);
  Bitmap upright;
  ASSERT_EQ("", jpeg.Decode(upright));
  EXPECT_GT((upright.PixelRgb(24, 10) >> 16) & 0xFF, 200u);  // red on top
  EXPECT_GT(upright.PixelRgb(24, 85) & 0xFF, 200u);          // blue below
}

TEST_F(CacheTest, LoadDBReadsEveryLineEndAndDefaults) {
  fs::create_directories(CacheDir());
  WriteFile(CacheDir() + "CacheDBInput", "/p/one.jpg\r\n/p/two.jpg\r/p/three.jpg\n/p/four.jpg");
  WriteFile(CacheDir() + "CacheDBOutput", "000000002.JPG\n000000003.JPG\r\n");
  WriteFile(CacheDir() + "CacheSettings", "[Size]\r\nThumbWidth=0x40\r\nThumbHeight=abc\r\n");
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  EXPECT_EQ((std::vector<std::string>{"/p/one.jpg", "/p/two.jpg", "/p/three.jpg", "/p/four.jpg"}),
            cache.Inputs());
  EXPECT_EQ((std::vector<std::string>{"000000002.JPG", "000000003.JPG"}), cache.Outputs());
  EXPECT_EQ(64, cache.ThumbWidth());
  EXPECT_EQ(96, cache.ThumbHeight());  // not a number: the default
  EXPECT_EQ(1, cache.LastEntry());     // missing key: the default

  // Files that are missing leave the lists as they are.
  fs::remove(CacheDir() + "CacheDBInput");
  fs::remove(CacheDir() + "CacheDBOutput");
  fs::remove(CacheDir() + "CacheSettings");
  cache.LoadDB();
  EXPECT_EQ(4u, cache.Inputs().size());
  EXPECT_EQ(128, cache.ThumbWidth());
  // A lookup of an entry that only one list holds fails for that request.
  EXPECT_THROW(cache.FindEntry("/p/four.jpg"), std::out_of_range);
}

TEST_F(CacheTest, SaveDBReportsListsItCannotWriteAndStillWritesSettings) {
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  cache.GetThumb(Picture("a.jpg", 20, 20));
  WriteFile(CacheDir() + "CacheDBInput", "old\r\n");
  fs::create_directory(CacheDir() + "CacheDBOutput");  // cannot be replaced by a file
  cache.SaveDB();
  EXPECT_EQ((std::vector<std::string>{"E:Cannot save cache database!"}), Messages());
  EXPECT_EQ(Pics() + "a.jpg\r\n", ReadFile(CacheDir() + "CacheDBInput"));
  EXPECT_EQ(2, IniFile(CacheDir() + "CacheSettings").ReadInteger("Index", "LastEntry", 0));
  fs::remove(CacheDir() + "CacheDBOutput");
}

TEST_F(CacheTest, ClearAndSizeChangesEmptyTheFolderButKeepCounting) {
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  cache.GetThumb(Picture("a.jpg", 20, 20));
  cache.GetThumb(Picture("b.jpg", 20, 20));
  fs::create_directories(CacheDir() + "sub");
  WriteFile(CacheDir() + "sub/stray", "x");
  cache.Clear();
  EXPECT_TRUE(cache.Inputs().empty());
  EXPECT_EQ((std::vector<std::string>{"CacheDBInput", "CacheDBOutput", "CacheSettings"}),
            CacheFiles());
  EXPECT_EQ("", ReadFile(CacheDir() + "CacheDBInput"));
  EXPECT_EQ(CacheDir() + "000000004.JPG", cache.GetThumb(Pics() + "a.jpg"));

  cache.SetThumbWidth(128);  // unchanged: nothing happens
  EXPECT_EQ(1u, cache.Inputs().size());
  cache.SetThumbWidth(129);
  EXPECT_TRUE(cache.Inputs().empty());
  EXPECT_EQ(CacheDir() + "000000005.JPG", cache.GetThumb(Pics() + "a.jpg"));
  EXPECT_EQ(std::make_pair(96, 96), JpegSize(CacheDir() + "000000005.JPG"));
  cache.SetThumbWidth(128);
  EXPECT_TRUE(cache.Inputs().empty());
  EXPECT_FALSE(fs::exists(CacheDir() + "000000005.JPG"));
  cache.SetThumbHeight(50);
  EXPECT_EQ(CacheDir() + "000000006.JPG", cache.GetThumb(Pics() + "a.jpg"));
  EXPECT_EQ(std::make_pair(50, 50), JpegSize(CacheDir() + "000000006.JPG"));
  // Saved by the last clear, before the newest thumbnail was made.
  EXPECT_EQ(5, IniFile(CacheDir() + "CacheSettings").ReadInteger("Index", "LastEntry", 0));
}

TEST_F(CacheTest, MaintainDropsGoneEntriesAndStrayThumbnails) {
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  const std::string a = Picture("a.jpg", 20, 20);
  const std::string b = Picture("b.jpg", 20, 20);
  const std::string c = Picture("c.jpg", 20, 20);
  for (const auto& p : {a, b, c}) cache.GetThumb(p);  // 2, 3, 4
  fs::remove(b);                                      // source gone
  fs::remove(CacheDir() + "000000004.JPG");           // thumbnail gone
  WriteFile(CacheDir() + "000000077.JPG", "left by a crash");
  WriteFile(CacheDir() + "notes.txt", "not a thumbnail");
  EXPECT_EQ(2, cache.Maintain());
  EXPECT_EQ((std::vector<std::string>{a}), cache.Inputs());
  EXPECT_EQ((std::vector<std::string>{"000000002.JPG", "notes.txt"}), CacheFiles());

  // Dropping the last entry empties the whole folder.
  fs::remove(a);
  EXPECT_EQ(1, cache.Maintain());
  EXPECT_TRUE(CacheFiles().empty());
  EXPECT_TRUE(Messages().empty());
}

TEST_F(CacheTest, MaintainReportsListsOfDifferentLengthFirst) {
  fs::create_directories(CacheDir());
  WriteFile(CacheDir() + "CacheDBInput",
            "/p/1.jpg\r\n/p/2.jpg\r\n/p/3.jpg\r\n/p/4.jpg\r\n/p/5.jpg\r\n");
  WriteFile(CacheDir() + "CacheDBOutput", "1.JPG\r\n2.JPG\r\n3.JPG\r\n4.JPG\r\n");
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  EXPECT_THROW(cache.Maintain(), std::out_of_range);
  EXPECT_EQ((std::vector<std::string>{"E:Number of entries in DB does not match! You maight fix "
                                      "this by reseting your cache."}),
            Messages());
  EXPECT_EQ(5u, cache.Inputs().size());
}

TEST_F(CacheTest, WithoutAWritableFolderNothingIsWritten) {
  const std::string blocked = File("plainfile", "x") + "/cache";
  TCacheObj cache(blocked);
  EXPECT_EQ("", cache.CacheFolder);
  EXPECT_EQ((std::vector<std::string>{"E:You don't have write permissions for this folder.\r\n" +
                                      blocked}),
            Messages());
  EXPECT_EQ("", cache.GetThumb(Picture("a.jpg", 20, 20)));
  try {
    cache.Clear();
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ("Path is empty!", e.what());
  }
  EXPECT_THROW(cache.Maintain(), std::invalid_argument);
  // A new size is remembered, but the clearing it calls for fails.
  for (auto set : {&TCacheObj::SetThumbWidth, &TCacheObj::SetThumbHeight}) {
    try {
      (cache.*set)(100);
      ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ("Path is empty!", e.what());
    }
    EXPECT_NO_THROW((cache.*set)(100));  // no change: nothing to clear
  }
  EXPECT_EQ(100, cache.ThumbWidth());
  EXPECT_EQ(100, cache.ThumbHeight());
  cache.LoadDB();
  EXPECT_EQ(1, cache.LastEntry());
}

TEST_F(CacheTest, BatchGivesWhatSingleLookupsGive) {
  // Three caches in the same state; one takes the listing picture by picture,
  // the others as a batch on four threads, the last with the sources' times
  // looked up beforehand as a folder listing does.
  std::vector<std::string> listing;
  for (int i = 0; i < 10; ++i) {
    listing.push_back(Picture("p" + std::to_string(i) + ".jpg", 40 + 7 * i, 60 - 3 * i));
  }
  const std::string bad = File("bad.png", "garbage");
  const std::string stale = Picture("stale.jpg", 30, 20);
  const std::string kept = Picture("kept.jpg", 20, 30);
  listing.insert(listing.begin() + 3, bad);
  listing.insert(listing.begin() + 5, Pics() + "missing.jpg");
  listing.insert(listing.begin() + 6, File("readme.txt", "x"));
  listing.insert(listing.begin() + 7, stale);
  listing.insert(listing.begin() + 8, listing[1]);  // the same picture again
  listing.insert(listing.begin() + 9, bad);         // and the bad one again
  listing.push_back(kept);

  const std::string dirs[] = {temp_ / "one/", temp_ / "two/", temp_ / "three/"};
  std::vector<std::string> results[3];
  std::vector<std::string> messages[3];
  for (int k = 0; k < 3; ++k) {
    {
      TCacheObj cache(dirs[k]);
      cache.LoadDB();
      cache.GetThumb(kept);
      cache.GetThumb(stale);
      SetMtime(dirs[k] + "000000003.JPG", 1'600'000'000);
    }
    SetMtime(stale, 1'600'000'100);
    std::lock_guard<std::mutex> lock(messagesMu_);
    messages_.clear();
  }
  std::vector<std::string> inputs[3], outputs[3];
  std::int64_t last[3];
  for (int k = 0; k < 3; ++k) {
    TCacheObj cache(dirs[k]);
    cache.LoadDB();
    if (k == 0) {
      for (const auto& path : listing) results[k].push_back(cache.GetThumb(path));
    } else if (k == 1) {
      results[k] = cache.GetThumbs(listing, 4);
    } else {
      std::vector<struct timespec> times;
      for (const auto& path : listing) {
        struct stat st {};
        const bool regular = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        times.push_back(regular ? st.st_mtim : timespec{0, -1});
      }
      results[k] = cache.GetThumbsOfFiles(listing, times, 4);
    }
    inputs[k] = cache.Inputs();
    outputs[k] = cache.Outputs();
    last[k] = cache.LastEntry();
    for (auto& r : results[k]) {
      if (!r.empty()) r = r.substr(dirs[k].size());
    }
    std::lock_guard<std::mutex> lock(messagesMu_);
    messages[k] = messages_;
    messages_.clear();
  }
  for (int k = 1; k < 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(results[0], results[k]);
    EXPECT_EQ(inputs[0], inputs[k]);
    EXPECT_EQ(outputs[0], outputs[k]);
    EXPECT_EQ(last[0], last[k]);
    EXPECT_EQ(messages[0], messages[k]);
  }
  // What single lookups give, written out: 000000002 kept, 000000003 stale.
  const std::vector<std::string> want = {"000000004.JPG",
                                         "000000005.JPG",
                                         "000000006.JPG",
                                         "000000007.JPG",  // p0 p1 p2 bad
                                         "000000008.JPG",
                                         "",
                                         "",
                                         "000000009.JPG",  // p3 missing txt stale
                                         "000000005.JPG",
                                         "000000010.JPG",
                                         "000000011.JPG",
                                         "000000012.JPG",  // p1 bad p4 p5
                                         "000000013.JPG",
                                         "000000014.JPG",
                                         "000000015.JPG",
                                         "000000016.JPG",  // p6 .. p9
                                         "000000002.JPG"};
  EXPECT_EQ(want, results[1]);
  EXPECT_EQ(16, last[1]);
  ASSERT_EQ(1u, messages[1].size());
  for (int k = 1; k < 3; ++k) {
    for (const auto& name : outputs[k]) {
      EXPECT_EQ(ReadFile(dirs[0] + name), ReadFile(dirs[k] + name)) << name;
    }
  }
}

TEST_F(CacheTest, EightThreadsAtOnceMakeOneEntryPerPicture) {
  std::vector<std::string> pictures;
  for (int i = 0; i < 6; ++i) pictures.push_back(Picture(std::to_string(i) + ".jpg", 90, 60));
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  std::vector<std::map<std::string, std::string>> seen(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      // Every thread asks in another order; half of them take the batch.
      std::vector<std::string> order = pictures;
      std::rotate(order.begin(), order.begin() + t % 6, order.end());
      if (t % 2) {
        const auto names = cache.GetThumbs(order);
        for (std::size_t i = 0; i < order.size(); ++i) seen[t][order[i]] = names[i];
      } else {
        for (const auto& p : order) seen[t][p] = cache.GetThumb(p);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(7, cache.LastEntry());  // six numbers, none wasted
  auto inputs = cache.Inputs();
  ASSERT_EQ(6u, inputs.size());
  std::sort(inputs.begin(), inputs.end());
  EXPECT_EQ(pictures, inputs);
  const auto outputs = cache.Outputs();
  // Entries lie in the order of their numbers.
  EXPECT_TRUE(std::is_sorted(outputs.begin(), outputs.end()));
  for (int t = 1; t < 8; ++t) EXPECT_EQ(seen[0], seen[t]) << t;
  for (const auto& [picture, thumb] : seen[0]) {
    EXPECT_EQ(std::make_pair(128, 85), JpegSize(thumb)) << picture;
  }
}

TEST_F(CacheTest, NamesFromADamagedDatabaseNeverReachOutsideTheFolder) {
  const std::string a = Picture("a.jpg", 20, 20);
  const std::string b = Picture("b.jpg", 20, 20);
  const std::string victim = File("victim.txt", "keep me");
  fs::create_directories(CacheDir());
  WriteFile(CacheDir() + "CacheDBInput", a + "\r\n" + b + "\r\n");
  WriteFile(CacheDir() + "CacheDBOutput", "../pics/victim.txt\r\n" + victim + "\r\n");
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  // Such a name counts as a missing thumbnail: the entry is made again.
  EXPECT_EQ(CacheDir() + "000000002.JPG", cache.GetThumb(a));
  EXPECT_EQ(1, cache.Maintain());  // b's entry names no file in the folder
  EXPECT_EQ((std::vector<std::string>{a}), cache.Inputs());
  EXPECT_EQ("keep me", ReadFile(victim));
}

namespace {

// Every file of a folder with its bytes.
std::map<std::string, std::string> FolderBytes(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) {
    files[e.path().filename().string()] = ReadFile(e.path().string());
  }
  return files;
}

// The cache folder holds the database files and exactly the thumbnails that
// its entries name.
void ExpectFilesMatchEntries(const TCacheObj& cache) {
  std::vector<std::string> thumbs;
  for (const auto& e : fs::directory_iterator(cache.CacheFolder)) {
    const std::string name = e.path().filename().string();
    if (name.ends_with(".JPG")) thumbs.push_back(name);
  }
  std::sort(thumbs.begin(), thumbs.end());
  std::vector<std::string> outputs = cache.Outputs();
  std::sort(outputs.begin(), outputs.end());
  EXPECT_EQ(outputs, thumbs);
  EXPECT_EQ(cache.Inputs().size(), cache.Outputs().size());
}

}  // namespace

TEST_F(CacheTest, ReservedThumbnailsEndAsSingleLookupsLeaveThem) {
  // The same listing, once picture by picture and once reserved and made in
  // the background: the same names, thumbnail files and database bytes.
  std::vector<std::string> listing;
  for (int i = 0; i < 12; ++i) {
    listing.push_back(Picture("p" + std::to_string(i) + ".jpg", 300 + 9 * i, 200 - 5 * i));
  }
  const std::string bad = File("bad.png", "garbage");
  const std::string kept = Picture("kept.jpg", 20, 30);
  const std::string stale = Picture("stale.jpg", 30, 20);
  listing.insert(listing.begin() + 2, bad);
  listing.insert(listing.begin() + 4, kept);
  listing.insert(listing.begin() + 5, Pics() + "missing.jpg");
  listing.insert(listing.begin() + 6, stale);
  listing.insert(listing.begin() + 9, listing[1]);  // a picture given again
  listing.insert(listing.begin() + 10, bad);        // and the bad one again

  const std::string dirs[] = {temp_ / "single/", temp_ / "reserved/"};
  std::vector<std::string> results[2];
  for (int k = 0; k < 2; ++k) {
    {
      TCacheObj cache(dirs[k]);
      cache.LoadDB();
      cache.GetThumb(kept);
      cache.GetThumb(stale);
      SetMtime(dirs[k] + "000000003.JPG", 1'600'000'000);
    }
    SetMtime(stale, 1'600'000'100);
    TCacheObj cache(dirs[k]);
    cache.LoadDB();
    if (k == 0) {
      for (const auto& path : listing) results[k].push_back(cache.GetThumb(path));
    } else {
      results[k] = cache.ReserveThumbs(listing);
      EXPECT_TRUE(cache.WaitForThumbs(60000));
    }
    for (auto& r : results[k]) {
      if (!r.empty()) r = r.substr(dirs[k].size());
    }
  }  // the caches save their databases
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ("000000004.JPG", results[1][0]);
  EXPECT_EQ(results[1][1], results[1][9]);
  EXPECT_NE(results[1][2], results[1][10]);  // a failed picture is tried again
  const auto single = FolderBytes(dirs[0]);
  const auto reserved = FolderBytes(dirs[1]);
  EXPECT_EQ(single.size(), reserved.size());
  for (const auto& [name, bytes] : single) {
    const auto it = reserved.find(name);
    ASSERT_NE(reserved.end(), it) << name;
    EXPECT_TRUE(bytes == it->second) << name;
  }
  EXPECT_NE(std::string::npos, single.at("CacheDBOutput").find("000000004.JPG\r\n"));
}

TEST_F(CacheTest, AnAwaitedThumbnailOvertakesTheQueue) {
  std::vector<std::string> pictures;
  for (int i = 0; i < 5; ++i) pictures.push_back(Picture(std::to_string(i) + ".jpg", 90, 60));
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  cache.SetMakerThreads(0);  // nothing is made unless asked for
  const auto names = cache.ReserveThumbs(pictures);
  ASSERT_EQ(CacheDir() + "000000005.JPG", names[3]);
  EXPECT_EQ(5, cache.PendingThumbs());
  EXPECT_EQ(6, cache.LastEntry());
  EXPECT_FALSE(fs::exists(names[0]));

  EXPECT_TRUE(cache.AwaitThumb("000000005.JPG", 10000));
  EXPECT_EQ(std::make_pair(128, 85), JpegSize(names[3]));
  for (int i : {0, 1, 2, 4}) EXPECT_FALSE(fs::exists(names[i])) << i;
  EXPECT_EQ(4, cache.PendingThumbs());
  // Entries are recorded in the order of their numbers: not yet.
  EXPECT_TRUE(cache.Outputs().empty());
  // A lookup finds the thumbnail made ahead, and one still queued is made for it.
  EXPECT_EQ(names[3], cache.GetThumb(pictures[3]));
  EXPECT_EQ(names[4], cache.GetThumb(pictures[4]));
  EXPECT_TRUE(fs::exists(names[4]));
  // Names not pending have nothing to wait for.
  EXPECT_TRUE(cache.AwaitThumb("000000005.JPG", 0));
  EXPECT_TRUE(cache.AwaitThumb("../000000002.JPG", 0));
  EXPECT_FALSE(cache.WaitForThumbs(0));

  cache.SetMakerThreads(2);
  EXPECT_TRUE(cache.WaitForThumbs(30000));
  EXPECT_EQ(pictures, cache.Inputs());
  EXPECT_EQ((std::vector<std::string>{"000000002.JPG", "000000003.JPG", "000000004.JPG",
                                      "000000005.JPG", "000000006.JPG"}),
            cache.Outputs());
  ExpectFilesMatchEntries(cache);
}

TEST_F(CacheTest, ReservedWithMakersLeftForLaterWaitForStartMakers) {
  std::vector<std::string> pictures;
  for (int i = 0; i < 4; ++i) pictures.push_back(Picture(std::to_string(i) + ".jpg", 90, 60));
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  cache.SetMakerThreads(2);
  const auto names = cache.ReserveThumbs(pictures, false);
  // Makers started now would have made these small ones by far.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(4, cache.PendingThumbs());
  for (const auto& name : names) EXPECT_FALSE(fs::exists(name)) << name;

  cache.StartMakers();
  EXPECT_TRUE(cache.WaitForThumbs(30000));
  EXPECT_EQ(pictures, cache.Inputs());
  ExpectFilesMatchEntries(cache);
}

TEST_F(CacheTest, AReservedPictureThatCannotBeMadeLeavesNoFile) {
  const std::string bad = File("bad.jpg", "not a picture");
  const std::string good = Picture("good.jpg", 60, 90);
  fs::create_directories(CacheDir());
  // Left behind under the number that will be handed out again.
  WriteFile(CacheDir() + "000000002.JPG", EncodeJpeg(TestPicture(8, 8)));
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  cache.SetMakerThreads(0);
  const auto names = cache.ReserveThumbs({bad, good});
  ASSERT_EQ(CacheDir() + "000000002.JPG", names[0]);
  EXPECT_TRUE(cache.AwaitThumb("000000002.JPG", 10000));
  EXPECT_FALSE(fs::exists(names[0]));  // no stale picture in its place
  EXPECT_TRUE(cache.AwaitThumb("000000003.JPG", 10000));
  EXPECT_EQ(std::make_pair(64, 96), JpegSize(names[1]));
  EXPECT_EQ((std::vector<std::string>{good}), cache.Inputs());
  // The next listing tries the bad one again under a new number.
  EXPECT_EQ(CacheDir() + "000000004.JPG", cache.ReserveThumbs({bad})[0]);
  EXPECT_TRUE(cache.AwaitThumb("000000004.JPG", 10000));
  EXPECT_EQ(0, cache.PendingThumbs());
  ExpectFilesMatchEntries(cache);
}

TEST_F(CacheTest, ClearSizeAndFilterWithThumbnailsPendingEndCleanly) {
  struct Case {
    const char* what;
    void (*act)(TCacheObj&);
    bool keepsEntries;  // the reserved thumbnails still get their entries
  };
  const Case cases[] = {
      {"clear", [](TCacheObj& c) { c.Clear(); }, false},
      {"width", [](TCacheObj& c) { c.SetThumbWidth(129); }, false},
      {"height", [](TCacheObj& c) { c.SetThumbHeight(97); }, false},
      {"filter", [](TCacheObj& c) { c.SetFilterIndex(2); }, true},
  };
  std::vector<std::string> pictures;
  for (int i = 0; i < 10; ++i) {
    pictures.push_back(Picture(std::to_string(i) + "c.jpg", 640 + i, 480));
  }
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = temp_ / ("cache" + std::to_string(n++) + "/");
    TCacheObj cache(dir);
    cache.LoadDB();
    cache.SetMakerThreads(1);
    const auto names = cache.ReserveThumbs(pictures);
    // One waits for a thumbnail in the middle of the queue meanwhile.
    bool awaited = false;
    std::thread visitor([&] { awaited = cache.AwaitThumb("000000008.JPG", 30000); });
    ASSERT_TRUE(cache.AwaitThumb("000000002.JPG", 30000));
    c.act(cache);  // while the others are being made or queued
    visitor.join();
    EXPECT_TRUE(awaited);
    ASSERT_TRUE(cache.WaitForThumbs(30000));
    EXPECT_EQ(0, cache.PendingThumbs());
    if (c.keepsEntries) {
      EXPECT_EQ(pictures, cache.Inputs());
    } else {
      EXPECT_TRUE(cache.Inputs().empty());
    }
    ExpectFilesMatchEntries(cache);
    // The cache goes on: a new listing gets every thumbnail.
    const auto again = cache.ReserveThumbs(pictures);
    ASSERT_TRUE(cache.WaitForThumbs(30000));
    for (std::size_t i = 0; i < pictures.size(); ++i) EXPECT_TRUE(fs::exists(again[i])) << i;
    if (!c.keepsEntries) {
      EXPECT_EQ(21, cache.LastEntry());  // numbering went on
    }
    ExpectFilesMatchEntries(cache);
  }
}

TEST_F(CacheTest, DestroyedWithThumbnailsPendingKeepsWhatWasMade) {
  std::vector<std::string> pictures;
  for (int i = 0; i < 12; ++i) {
    pictures.push_back(Picture(std::to_string(i) + "d.jpg", 640, 480 + i));
  }
  {
    TCacheObj cache(CacheDir());
    cache.LoadDB();
    cache.SetMakerThreads(1);
    cache.ReserveThumbs(pictures);
    ASSERT_TRUE(cache.AwaitThumb("000000002.JPG", 30000));
  }  // queued ones are dropped, the one being made is waited for
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  EXPECT_EQ(13, cache.LastEntry());
  const auto inputs = cache.Inputs();
  ASSERT_GE(inputs.size(), 1u);
  EXPECT_LT(inputs.size(), pictures.size());
  // Made ones are the first of the listing, in order.
  EXPECT_TRUE(std::equal(inputs.begin(), inputs.end(), pictures.begin()));
  ExpectFilesMatchEntries(cache);
  // The next listing finds those and makes the rest under new numbers.
  const auto names = cache.GetThumbs(pictures);
  EXPECT_EQ(CacheDir() + "000000002.JPG", names[0]);
  EXPECT_EQ(pictures.size(), cache.Inputs().size());
  ExpectFilesMatchEntries(cache);
}

TEST_F(CacheTest, AnAwaitedThumbnailGoesToTheFrontOfTheMakersQueue) {
  std::vector<std::string> pictures;
  for (int i = 0; i < 8; ++i) {
    pictures.push_back(Picture(std::to_string(i) + "q.jpg", 2000 + i, 1500));
  }
  TCacheObj cache(CacheDir());
  cache.LoadDB();
  cache.SetMakerThreads(1);
  const auto names = cache.ReserveThumbs(pictures);
  // The maker is on the first ones; the last is asked for at once.
  ASSERT_TRUE(cache.AwaitThumb("000000009.JPG", 60000));
  EXPECT_TRUE(fs::exists(names[7]));
  ASSERT_TRUE(cache.WaitForThumbs(60000));
  // The one maker made it before some of those queued ahead of it.
  const auto madeAt = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
    return std::make_pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  };
  int after = 0;
  for (int i = 0; i < 7; ++i) after += madeAt(names[i]) > madeAt(names[7]);
  EXPECT_GE(after, 1);
  EXPECT_EQ(pictures, cache.Inputs());  // entries still in the order of their numbers
  ExpectFilesMatchEntries(cache);
}
