// The listing of a 1,000-entry folder (200 pictures already in the cache) and
// its parts, built in process: where a listing request spends its time.
#include "base/StartUp.h"
#include "imaging/CacheKeeper.h"
#include "server/RequestText.h"
#include "server/ServerActions.h"

#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Fixture {
  std::string dir;
  std::string root;
  std::unique_ptr<TCacheObj> cache;
  std::vector<std::string> pictures;

  Fixture() {
    std::string pattern = "/tmp/mirelo-pages-bench-XXXXXX";
    dir = mkdtemp(pattern.data());
    root = dir + "/list/";
    mkdir(root.c_str(), 0755);
    std::ifstream in(SystemFolder() + "not found.jpg", std::ios::binary);
    const std::string jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (int i = 0; i < 800; ++i) {
      std::ofstream(root + "file-" + std::to_string(1000 + i) + ".txt") << std::string(i % 97, 'x');
    }
    for (int i = 0; i < 200; ++i) {
      const std::string p = root + "photo-" + std::to_string(1000 + i) + ".jpg";
      std::ofstream(p, std::ios::binary) << jpeg;
      pictures.push_back(p);
    }
    cache = std::make_unique<TCacheObj>(dir + "/cache/");
    cache->LoadDB();
    cache->GetThumbs(pictures);  // all in the cache from here on
  }
  ~Fixture() {
    cache.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

// One request through the router, as a worker makes it.
void Route(Fixture& f, const char* uri) {
  TServerActions actions;
  actions.RootFolder = f.root;
  actions.SystemFolder = SystemFolder();
  actions.Cache = f.cache.get();
  const THttpResponse response = actions.HandleRequest(uri);
  benchmark::DoNotOptimize(response.Body.data());
}

void BM_ListingPage(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) Route(f, "/");
}
BENCHMARK(BM_ListingPage)->Unit(benchmark::kMicrosecond);

void BM_ListFolder(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) {
    std::vector<TFolderEntry> files, folders;
    ListFolder(f.root, files, folders);
    benchmark::DoNotOptimize(files.data());
  }
}
BENCHMARK(BM_ListFolder)->Unit(benchmark::kMicrosecond);

void BM_CachedThumbs(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) benchmark::DoNotOptimize(f.cache->GetThumbs(f.pictures));
}
BENCHMARK(BM_CachedThumbs)->Unit(benchmark::kMicrosecond);

void BM_PictureRoute(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) Route(f, "/photo-1000.jpg");
}
BENCHMARK(BM_PictureRoute)->Unit(benchmark::kMicrosecond);

void BM_TimeAndSizeTexts(benchmark::State& state) {
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) {
      benchmark::DoNotOptimize(FormatFileTime(1709647629 + i));
      benchmark::DoNotOptimize(FormatFileSize(1000u * i));
    }
  }
}
BENCHMARK(BM_TimeAndSizeTexts)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
