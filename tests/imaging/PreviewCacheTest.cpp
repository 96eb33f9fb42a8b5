// Tests of the preview cache: names, sizes, orientation, colour profiles,
// staleness and the files it leaves.
#include "imaging/PreviewCache.h"

#include "imaging/JpegImage.h"
#include "imaging/LoaderFixtures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(MIRELO_SOURCE_DIR) + "/tests/data/pictures/" + name,
                   std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// RGB samples of a picture whose left part is one colour and right part another.
std::string Halves(int width, int height, int leftWidth, std::uint32_t left, std::uint32_t right) {
  std::string s;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t c = x < leftWidth ? left : right;
      s += static_cast<char>(c >> 16);
      s += static_cast<char>(c >> 8);
      s += static_cast<char>(c);
    }
  }
  return s;
}

// An APP2 profile segment right after the SOI.
std::string WithProfile(const std::string& jpeg, const std::string& icc) {
  const std::string body = std::string("ICC_PROFILE\0\1\1", 14) + icc;
  const std::size_t length = body.size() + 2;
  return jpeg.substr(0, 2) + "\xFF\xE2" + static_cast<char>(length >> 8) +
         static_cast<char>(length & 0xFF) + body + jpeg.substr(2);
}

Bitmap Decoded(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  Bitmap bmp;
  EXPECT_EQ("", DecodeJpeg(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), bmp))
      << path;
  return bmp;
}

bool Near(std::uint32_t got, std::uint32_t want, int tolerance) {
  for (int shift : {16, 8, 0}) {
    if (std::abs(static_cast<int>((got >> shift) & 0xFF) -
                 static_cast<int>((want >> shift) & 0xFF)) > tolerance) {
      return false;
    }
  }
  return true;
}

void SetTime(const std::string& path, long seconds, long nanos = 0) {
  const struct timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

}  // namespace

TEST(PreviewCache, NamesAreTheSha256OfThePath) {
  struct Case {
    std::string text, sha;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1'000'000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    EXPECT_EQ(c.sha, Sha256Hex(c.text));
  }
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223.JPG", TPreviewCache::PreviewName("abc"));
}

TEST(PreviewCache, LongSideIs1600AndSmallerPicturesKeepTheirSize) {
  struct Case {
    int w, h, pw, ph;
  };
  const Case cases[] = {
      {4000, 3000, 1600, 1200}, {3000, 4000, 1200, 1600}, {1600, 900, 1600, 900},
      {800, 600, 800, 600},     {4032, 3024, 1600, 1200}, {3, 10000, 1, 1600},
      {1601, 1601, 1600, 1600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    EXPECT_EQ(std::make_pair(c.pw, c.ph), TPreviewCache::PreviewSize(c.w, c.h));
  }
}

TEST(PreviewCache, TurnedUprightScaledAndConvertedToSrgb) {
  TempFolder temp;
  TPreviewCache cache(temp / "previews");
  // Left half red, right half blue, stored turned: orientation 6 asks for a
  // quarter turn clockwise, so red comes on top.
  const std::string turned = temp.Write(
      "turned.jpg",
      WithExifOrientation(MakeJpeg(40, 20, 3, Halves(40, 20, 20, 0xFF0000, 0x0000FF)), 6, false));
  const Bitmap upright = Decoded(cache.GetPreview(turned));
  ASSERT_EQ(20, upright.Width());
  ASSERT_EQ(40, upright.Height());
  EXPECT_TRUE(Near(upright.PixelRgb(10, 5), 0xFF0000, 40));
  EXPECT_TRUE(Near(upright.PixelRgb(10, 34), 0x0000FF, 40));

  const std::string large = temp.Write(
      "large.jpg", MakeJpeg(3200, 1000, 3, Halves(3200, 1000, 1600, 0x00FF00, 0xFFFFFF)));
  const Bitmap scaled = Decoded(cache.GetPreview(large));
  EXPECT_EQ(1600, scaled.Width());
  EXPECT_EQ(500, scaled.Height());
  EXPECT_TRUE(Near(scaled.PixelRgb(400, 250), 0x00FF00, 40));

  // Stored red under a profile with red and blue swapped shows as blue, in a
  // JPEG and in a HEIF file alike; the same red without a profile stays red.
  const std::string icc = Fixture("swapped.icc");
  ASSERT_FALSE(icc.empty());
  const std::string redJpeg = MakeJpeg(16, 16, 3, Halves(16, 16, 16, 0xFF0000, 0));
  const std::string profiled = temp.Write("profiled.jpg", WithProfile(redJpeg, icc));
  const std::string heif = temp.Write("profiled.heic", Fixture("red-swapped.heic"));
  const std::string webp = temp.Write("profiled.webp", Fixture("red-swapped.webp"));
  const std::string plain = temp.Write("plain.jpg", redJpeg);
  for (const std::string& path : {profiled, heif, webp}) {
    SCOPED_TRACE(path);
    const Bitmap bmp = Decoded(cache.GetPreview(path));
    EXPECT_TRUE(Near(bmp.PixelRgb(8, 8), 0x0000FF, 40)) << std::hex << bmp.PixelRgb(8, 8);
  }
  EXPECT_TRUE(Near(Decoded(cache.GetPreview(plain)).PixelRgb(8, 8), 0xFF0000, 40));

  // Only previews are left in the folder: no temporary files.
  for (const auto& entry : std::filesystem::directory_iterator(temp / "previews")) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(36u, name.size()) << name;
    EXPECT_TRUE(name.ends_with(".JPG")) << name;
  }
}

TEST(PreviewCache, StalePreviewsAreMadeAgain) {
  TempFolder temp;
  TPreviewCache cache(temp.Slash() + "previews/");
  const std::string path =
      temp.Write("photo.jpg", MakeJpeg(16, 16, 3, Halves(16, 16, 16, 0xFF0000, 0)));
  SetTime(path, 1'700'000'000, 5);
  const std::string preview = cache.GetPreview(path);
  ASSERT_EQ(temp.Slash() + "previews/" + TPreviewCache::PreviewName(path), preview);
  struct stat st {};
  ASSERT_EQ(0, ::stat(preview.c_str(), &st));
  EXPECT_EQ(1'700'000'000, st.st_mtim.tv_sec);  // it carries its source's time
  EXPECT_EQ(5, st.st_mtim.tv_nsec);
  EXPECT_TRUE(Near(Decoded(preview).PixelRgb(8, 8), 0xFF0000, 40));

  // A current preview is found again, not made again.
  const std::string marked = temp.Write("previews/" + TPreviewCache::PreviewName(path),
                                        MakeJpeg(16, 16, 3, Halves(16, 16, 16, 0xFFFFFF, 0)));
  SetTime(marked, 1'700'000'000, 5);
  EXPECT_TRUE(Near(Decoded(cache.GetPreview(path)).PixelRgb(8, 8), 0xFFFFFF, 40));

  // The source replaced, with a newer time and then with an older one: each
  // time the preview follows it, under the same name.
  temp.Write("photo.jpg", MakeJpeg(16, 16, 3, Halves(16, 16, 16, 0x0000FF, 0)));
  SetTime(path, 1'700'000'100);
  EXPECT_EQ(preview, cache.GetPreview(path));
  EXPECT_TRUE(Near(Decoded(preview).PixelRgb(8, 8), 0x0000FF, 40));
  temp.Write("photo.jpg", MakeJpeg(16, 16, 3, Halves(16, 16, 16, 0x00FF00, 0)));
  SetTime(path, 1'600'000'000);
  EXPECT_EQ(preview, cache.GetPreview(path));
  EXPECT_TRUE(Near(Decoded(preview).PixelRgb(8, 8), 0x00FF00, 40));

  // The folder emptied behind the cache's back is made again.
  std::filesystem::remove_all(temp / "previews");
  EXPECT_EQ(preview, cache.GetPreview(path));

  // Several threads asking at once all get the one preview.
  temp.Write("photo.jpg", MakeJpeg(16, 16, 3, Halves(16, 16, 16, 0xFF0000, 0)));
  SetTime(path, 1'700'000'200);
  std::vector<std::string> got(4);
  std::vector<std::thread> threads;
  for (auto& g : got) threads.emplace_back([&] { g = cache.GetPreview(path); });
  for (auto& t : threads) t.join();
  for (const auto& g : got) EXPECT_EQ(preview, g);
  EXPECT_TRUE(Near(Decoded(preview).PixelRgb(8, 8), 0xFF0000, 40));
}

TEST(PreviewCache, NothingForWhatIsNoPicture) {
  TempFolder temp;
  TPreviewCache cache(temp / "previews");
  temp.Mkdir("folder.jpg");
  ASSERT_EQ(0, ::mkfifo((temp / "fifo.jpg").c_str(), 0644));
  const std::string cases[] = {
      temp / "missing.jpg",
      temp / "folder.jpg",
      temp / "fifo.jpg",
      temp.Write("notes.txt", "text"),
      temp.Write("broken.heic", "not a picture"),
      temp.Write("picture.ico", Fixture("quad.webp")),  // a picture, but not one that is shown
      temp.Write("bomb.webp",
                 [] {
                   std::string b = Fixture("quad.webp");
                   return b.replace(26, 4, std::string("\xFF\x3F\xFF\x3F", 4));
                 }()),
  };
  for (const auto& path : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ("", cache.GetPreview(path));
  }
  EXPECT_EQ("", TPreviewCache("").GetPreview(temp.Write("ok.webp", Fixture("quad.webp"))));
}
