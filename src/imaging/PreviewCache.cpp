// The preview cache: names, sizes, making a preview and keeping it current.
#include "imaging/PreviewCache.h"

#include "base/FileUtil.h"
#include "base/UniqueFd.h"
#include "imaging/Bitmap.h"
#include "imaging/ColourProfile.h"
#include "imaging/JpegImage.h"
#include "imaging/OrvelGraphicLoader.h"
#include "imaging/PictureMemory.h"
#include "imaging/Resampler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace {

// ---- SHA-256 ---------------------------------------------------------------

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(std::array<std::uint32_t, 8>& h, const std::uint8_t* block) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
           (std::uint32_t{block[4 * i + 2]} << 8) | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 =
        k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const std::uint32_t t2 =
        (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += k;
}

// ---- making previews -------------------------------------------------------

// At most one preview per processor is made at a time, and one preview file
// by one thread at a time.
class Makers {
 public:
  // Waits for a free slot and for nobody else to make target.
  void Enter(const std::string& target) {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [&] { return running_ < slots_ && !making_.count(target); });
    ++running_;
    making_.insert(target);
  }
  void Leave(const std::string& target) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      --running_;
      making_.erase(target);
    }
    changed_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  unsigned slots_ = std::max(1u, std::thread::hardware_concurrency());
  unsigned running_ = 0;
  std::set<std::string> making_;
};

Makers& TheMakers() {
  static Makers makers;
  return makers;
}

class MakerGuard {
 public:
  explicit MakerGuard(const std::string& target) : target_(target) { TheMakers().Enter(target_); }
  ~MakerGuard() { TheMakers().Leave(target_); }
  MakerGuard(const MakerGuard&) = delete;
  MakerGuard& operator=(const MakerGuard&) = delete;

 private:
  const std::string& target_;
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The preview is current: a regular file with its source's time.
bool IsCurrent(const std::string& target, const struct timespec& sourceTime) {
  struct stat st {};
  return IsRegularFile(target, &st) && SameTime(st.st_mtim, sourceTime);
}

// Writes bytes to a temporary file beside target, gives it the time, then
// renames it over target; nothing is left behind on failure.
bool WriteWithTime(const std::string& target, const std::string& bytes,
                   const struct timespec& time) {
  std::string temp = target + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return false;
  bool ok = ::fchmod(fd.get(), 0644) == 0;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  const struct timespec times[2] = {{0, UTIME_NOW}, time};
  if (ok) ok = ::futimens(fd.get(), times) == 0;
  if (fd.Close() != 0) ok = false;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
  std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t whole = bytes.size() / 64 * 64;
  for (std::size_t i = 0; i < whole; i += 64) Compress(h, data + i);
  std::uint8_t tail[128] = {};
  const std::size_t rest = bytes.size() - whole;
  std::copy(data + whole, data + bytes.size(), tail);
  tail[rest] = 0x80;
  const std::size_t tailSize = rest + 9 <= 64 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  for (std::size_t i = 0; i < tailSize; i += 64) Compress(h, tail + i);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (const std::uint32_t word : h) {
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(word >> shift) & 0xF]);
  }
  return out;
}

TPreviewCache::TPreviewCache(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty() && folder_.back() != '/') folder_.push_back('/');
}

std::string TPreviewCache::PreviewName(const std::string& sourcePath) {
  return Sha256Hex(sourcePath).substr(0, 32) + ".JPG";
}

std::pair<int, int> TPreviewCache::PreviewSize(int width, int height) {
  const int longSide = std::max(width, height);
  if (longSide <= kLongSide) return {width, height};
  const auto scaled = [&](int side) {
    return std::max(
        1, static_cast<int>(std::nearbyint(static_cast<double>(side) * kLongSide / longSide)));
  };
  return width >= height ? std::pair{kLongSide, scaled(height)}
                         : std::pair{scaled(width), kLongSide};
}

std::string TPreviewCache::MakePreview(const std::string& sourcePath, std::string& error) {
  PictureWork work;
  try {
    Bitmap picture;
    std::string profile;
    int orientation = 1;
    error = LoadPicture(sourcePath, picture, profile, orientation);
    if (!error.empty()) return {};
    if (picture.Empty()) {
      error = "Invalid image size!";
      return {};
    }
    // Scaled first, so that the colours and the turn work on fewer pixels.
    const auto [w, h] = PreviewSize(picture.Width(), picture.Height());
    if (w != picture.Width() || h != picture.Height()) {
      ResizeBitmap(w, h, kDefaultFilterIndex, picture);
    }
    ConvertToSrgb(picture, profile);
    ApplyOrientation(picture, orientation);
    return EncodeJpeg(picture, kQuality);
  } catch (const std::exception& e) {
    error = e.what();
    return {};
  }
}

std::string TPreviewCache::GetPreview(const std::string& sourcePath) const {
  if (folder_.empty() || !IsSupportedPicture(sourcePath)) return {};
  struct stat source {};
  if (!IsRegularFile(sourcePath, &source)) return {};
  const std::string target = folder_ + PreviewName(sourcePath);
  if (IsCurrent(target, source.st_mtim)) return target;

  MakerGuard maker(target);
  // Someone may have made it while this thread waited.
  if (!IsRegularFile(sourcePath, &source)) return {};
  if (IsCurrent(target, source.st_mtim)) return target;
  std::string error;
  const std::string bytes = MakePreview(sourcePath, error);
  if (bytes.empty()) return {};
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  // The source's time as it was before it was read: a change meanwhile
  // leaves the preview stale, to be made again on the next request.
  return WriteWithTime(target, bytes, source.st_mtim) ? target : std::string();
}
