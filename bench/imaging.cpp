// Speed of the picture path: resampling a 12-megapixel picture with every
// filter, one whole thumbnail (load, resample, encode) of a 12-megapixel JPEG,
// a cache lookup among 100,000 entries, and a batch of 50 photos on 1 and 2
// threads. The test photos are made here (detailed synthetic pictures).
// Prints a summary after the benchmarks, with the machine's load average.
#include "base/Messages.h"
#include "imaging/Bitmap.h"
#include "imaging/CacheKeeper.h"
#include "imaging/JpegImage.h"
#include "imaging/OrvelGraphicLoader.h"
#include "imaging/PictureMemory.h"
#include "imaging/Resampler.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kPhotoWidth = 4000;
constexpr int kPhotoHeight = 3000;
constexpr int kBatchPhotos = 50;
constexpr int kLookupEntries = 100'000;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Processor time of all threads of the process: user and system.
std::pair<double, double> ProcessCpuSeconds() {
  struct rusage u {};
  ::getrusage(RUSAGE_SELF, &u);
  return {static_cast<double>(u.ru_utime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec) / 1e6,
          static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) / 1e6};
}

// A detailed picture: overlapping waves, soft blobs, hard edges and grain,
// so that the JPEG holds about as much detail as a photo.
Bitmap DetailedPicture(int width, int height, unsigned seed) {
  Bitmap bmp(width, height);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0, 1);
  float fx[3], fy[3], ph[3];
  for (int c = 0; c < 3; ++c) {
    fx[c] = 0.002f + 0.03f * unit(rng);
    fy[c] = 0.002f + 0.03f * unit(rng);
    ph[c] = 6.28f * unit(rng);
  }
  std::vector<float> sinx(3 * static_cast<std::size_t>(width));
  for (int x = 0; x < width; ++x) {
    for (int c = 0; c < 3; ++c) sinx[3 * x + c] = std::sin(fx[c] * x + ph[c]);
  }
  std::uniform_int_distribution<int> grain(-14, 14);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bmp.Row(y);
    float siny[3];
    for (int c = 0; c < 3; ++c) siny[c] = std::sin(fy[c] * y);
    const bool band = (y / 97) % 3 == 0;
    for (int x = 0; x < width; ++x) {
      const bool edge = band && ((x / 131) % 2 == 0);
      for (int c = 0; c < 3; ++c) {
        float v = 128 + 60 * sinx[3 * x + c] * siny[c] + 30 * std::sin((x + y) * 0.013f * (c + 1));
        if (edge) v = 255 - v * 0.6f;
        const int g = grain(rng);
        row[3 * x + c] = static_cast<std::uint8_t>(std::clamp(v + g, 0.0f, 255.0f));
      }
    }
  }
  return bmp;
}

// Test files live in one temporary folder for the run.
class Workspace {
 public:
  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "mirelo-bench.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern + "/";
  }
  ~Workspace() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& Root() const { return root_; }

  // The 12-megapixel photo as a JPEG file (made once).
  const std::string& Photo() {
    if (photo_.empty()) {
      photo_ = root_ + "photo.jpg";
      std::ofstream(photo_, std::ios::binary)
          << EncodeJpeg(DetailedPicture(kPhotoWidth, kPhotoHeight, 1), 92);
    }
    return photo_;
  }

 private:
  std::string root_;
  std::string photo_;
};

Workspace& Space() {
  static Workspace space;
  return space;
}

const Bitmap& Source() {
  static const Bitmap source = DetailedPicture(kPhotoWidth, kPhotoHeight, 2);
  return source;
}

// Figures kept for the summary.
std::map<std::string, double> figures;

void BM_Resample(benchmark::State& state) {
  const int filter = static_cast<int>(state.range(0));
  const bool portable = state.range(1) != 0;
  ForcePortableResampler(portable);
  const Bitmap& source = Source();
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Bitmap src = source;
    Bitmap dst(128, 96);
    state.ResumeTiming();
    const auto t0 = Clock::now();
    Resample(src, dst, FilterTable[filter].filter, FilterTable[filter].radius);
    seconds += Seconds(Clock::now() - t0);
    benchmark::DoNotOptimize(dst.Pixels());
  }
  ForcePortableResampler(false);
  const double mps = 12.0 * static_cast<double>(state.iterations()) / seconds;
  state.counters["MP/s"] = mps;
  state.SetLabel(std::string(FilterTable[filter].name) + (portable ? " portable" : ""));
  figures[std::string("resample ") + FilterTable[filter].name + (portable ? " portable" : "")] =
      mps;
}

// Decode, resample and encode timed apart, as CreateThumb does them.
void BM_WholeThumbnail(benchmark::State& state) {
  const std::string& photo = Space().Photo();
  double decode = 0, orient = 0, resample = 0, encode = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    Bitmap bmp;
    std::string error;
    LoadGraphic(photo, bmp, error);
    if (!error.empty()) throw std::runtime_error(error);
    const auto t1 = Clock::now();
    ApplyOrientation(bmp, ReadJpegOrientation(photo));
    const auto t2 = Clock::now();
    const auto [w, h] = TCacheObj::ThumbSize(bmp.Width(), bmp.Height(), 128, 96);
    ResizeBitmap(w, h, kDefaultFilterIndex, bmp);
    const auto t3 = Clock::now();
    const std::string jpeg = EncodeJpeg(bmp);
    const auto t4 = Clock::now();
    benchmark::DoNotOptimize(jpeg.data());
    decode += Seconds(t1 - t0);
    orient += Seconds(t2 - t1);
    resample += Seconds(t3 - t2);
    encode += Seconds(t4 - t3);
  }
  const double n = static_cast<double>(state.iterations());
  const double total = decode + orient + resample + encode;
  state.counters["decode_ms"] = 1000 * decode / n;
  state.counters["resample_ms"] = 1000 * resample / n;
  state.counters["encode_ms"] = 1000 * encode / n;
  figures["thumb decode ms"] = 1000 * decode / n;
  figures["thumb orientation ms"] = 1000 * orient / n;
  figures["thumb resample ms"] = 1000 * resample / n;
  figures["thumb encode ms"] = 1000 * encode / n;
  figures["thumb decode %"] = 100 * decode / total;
  figures["thumb resample %"] = 100 * resample / total;
  figures["thumb encode %"] = 100 * encode / total;
  figures["thumb resample+encode over decode %"] = 100 * (resample + encode) / decode;
}

// A cache folder whose database holds `entries` entries, made once per size:
// the sources (empty files in folders of a thousand, as shared folders tend to
// be) and a hundred thumbnail files that the entries name in turn.
const std::vector<std::string>& LookupSources(int entries) {
  static std::map<int, std::vector<std::string>> made;
  std::vector<std::string>& sources = made[entries];
  if (!sources.empty()) return sources;
  const std::string dir = Space().Root() + "lookup" + std::to_string(entries) + "/";
  const std::string cacheDir = dir + "cache/";
  fs::create_directories(cacheDir);
  constexpr int kThumbs = 100;
  std::string inputs, outputs;
  for (int i = 0; i < entries; ++i) {
    const std::string folder = dir + "folder" + std::to_string(i / 1000) + "/";
    if (i % 1000 == 0) fs::create_directories(folder);
    const std::string src = folder + "picture-with-a-longish-name-" + std::to_string(i) + ".jpg";
    const int fd = ::open(src.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    sources.push_back(src);
    inputs += src + "\r\n";
    outputs += TCacheObj::MakeThumbName(2 + i % kThumbs) + "\r\n";
  }
  for (int i = 0; i < kThumbs; ++i) {
    std::ofstream(cacheDir + TCacheObj::MakeThumbName(2 + i)) << "x";
  }
  std::ofstream(cacheDir + "CacheDBInput", std::ios::binary) << inputs;
  std::ofstream(cacheDir + "CacheDBOutput", std::ios::binary) << outputs;
  return sources;
}

// FindEntry among `entries` entries: of any entry (1), or of the same ten
// pictures every time (0), so that the file tests cost the same at every size
// and only the index differs.
void BM_FindEntry(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  const bool spread = state.range(1) != 0;
  const std::vector<std::string>& sources = LookupSources(entries);
  TCacheObj cache(Space().Root() + "lookup" + std::to_string(entries) + "/cache/");
  cache.LoadDB();
  std::mt19937 rng(3);
  std::size_t found = 0;
  const auto t0 = Clock::now();
  for (auto _ : state) {
    const std::size_t pick = rng() % (spread ? sources.size() : 10);
    found += cache.FindEntry(sources[pick]).position >= 0;
  }
  figures["find entry us, " + std::to_string(entries) +
          (spread ? " entries, any" : " entries, same ten")] =
      1e6 * Seconds(Clock::now() - t0) / static_cast<double>(state.iterations());
  if (found != static_cast<std::size_t>(state.iterations())) {
    state.SkipWithError("an entry was not found");
  }
}

// GetThumbs for 50 new photos on 1 or 2 threads; the cache starts empty.
void BM_Batch(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const std::string& photo = Space().Photo();
  const std::string dir = Space().Root() + "batch/";
  fs::create_directories(dir);
  std::vector<std::string> listing;
  for (int i = 0; i < kBatchPhotos; ++i) {
    listing.push_back(dir + "photo" + std::to_string(i) + ".jpg");
    if (!fs::exists(listing.back())) fs::create_hard_link(photo, listing.back());
  }
  double seconds = 0;
  double user = 0, system = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::error_code ec;
    fs::remove_all(dir + "cache", ec);
    TCacheObj cache(dir + "cache/");
    cache.LoadDB();
    state.ResumeTiming();
    const auto cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    const auto names = cache.GetThumbs(listing, threads);
    seconds += Seconds(Clock::now() - t0);
    const auto cpu1 = ProcessCpuSeconds();
    user += cpu1.first - cpu0.first;
    system += cpu1.second - cpu0.second;
    state.PauseTiming();
    if (cache.Inputs().size() != listing.size()) state.SkipWithError("thumbnails missing");
    state.ResumeTiming();
  }
  const double perBatch = seconds / static_cast<double>(state.iterations());
  state.counters["photos/s"] = kBatchPhotos / perBatch;
  figures["batch s, " + std::to_string(threads) + " thread(s)"] = perBatch;
  figures["batch user cpu s, " + std::to_string(threads) + " thread(s)"] =
      user / static_cast<double>(state.iterations());
  figures["batch system cpu s, " + std::to_string(threads) + " thread(s)"] =
      system / static_cast<double>(state.iterations());
}

BENCHMARK(BM_Resample)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {0}})
    ->Args({6, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);
BENCHMARK(BM_WholeThumbnail)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FindEntry)
    ->Args({10, 0})
    ->Args({kLookupEntries, 0})
    ->Args({1000, 1})
    ->Args({kLookupEntries, 1})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Batch)->Arg(1)->Arg(2)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
  // Lookups of files a test deleted would print messages; keep them quiet.
  SetMessageDisplay([](MessageKind, const std::string&) {});
  // As in the program, where the cache exists before any thumbnail is made.
  KeepPictureMemoryInHeap();
  const std::string loadBefore = LoadAverage();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nSummary (%u processors; load average %s before, %s after)\n",
              std::thread::hardware_concurrency(), loadBefore.c_str(), LoadAverage().c_str());
  std::printf("  resampler loops: %s\n", ResamplerUsesFma() ? "AVX2 + FMA" : "portable");
  for (const auto& [name, value] : figures) std::printf("  %-40s %10.2f\n", name.c_str(), value);
  const auto one = figures.find("batch s, 1 thread(s)");
  const auto two = figures.find("batch s, 2 thread(s)");
  if (one != figures.end() && two != figures.end()) {
    std::printf("  %-40s %10.2f\n", "batch speed-up, 2 threads over 1", one->second / two->second);
  }
  return 0;
}
