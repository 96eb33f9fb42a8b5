// The thumbnail cache: lists, index, pending thumbnails and the database files.
#include "imaging/CacheKeeper.h"

#include "base/FileUtil.h"
#include "base/IniFile.h"
#include "base/Messages.h"
#include "base/OrvelTPU.h"
#include "imaging/Bitmap.h"
#include "imaging/JpegImage.h"
#include "imaging/OrvelGraphicLoader.h"
#include "imaging/PictureMemory.h"
#include "imaging/Resampler.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace {

const char kInputFile[] = "CacheDBInput";
const char kOutputFile[] = "CacheDBOutput";
const char kSettingsFile[] = "CacheSettings";
constexpr int kDefaultThumbWidth = 128;
constexpr int kDefaultThumbHeight = 96;
constexpr int kDefaultLastEntry = 1;
constexpr std::size_t kThumbNameDigits = 9;

// At most one thumbnail per processor is made at a time, over all caches and
// callers: each one holds a decoded full-size picture. A thumbnail that a
// request waits for gets the next free slot before the others.
class ThumbSlots {
 public:
  ThumbSlots() : free_(std::max(1u, std::thread::hardware_concurrency())) {}
  void Acquire() {
    std::unique_lock<std::mutex> lock(mu_);
    freed_.wait(lock, [&] { return free_ > 0 && urgent_ == 0; });
    --free_;
  }
  // A slot ahead of every Acquire; false when ms (negative: no limit) passed first.
  bool AcquireFirst(int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    ++urgent_;
    const auto ready = [&] { return free_ > 0; };
    bool got = true;
    if (ms < 0) {
      freed_.wait(lock, ready);
    } else {
      got = freed_.wait_for(lock, std::chrono::milliseconds(ms), ready);
    }
    --urgent_;
    if (got) --free_;
    lock.unlock();
    if (!got) freed_.notify_all();  // the others may go on
    return got;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++free_;
    }
    freed_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable freed_;
  unsigned free_;
  int urgent_ = 0;  // AcquireFirst calls waiting
};

ThumbSlots& Slots() {
  static ThumbSlots slots;
  return slots;
}

class SlotGuard {
 public:
  SlotGuard() { Slots().Acquire(); }
  ~SlotGuard() { Slots().Release(); }
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;
};

int ProcessorCount() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// A path that a line of the list files can hold.
bool StorablePath(const std::string& path) {
  return !path.empty() && path.find_first_of("\r\n") == std::string::npos;
}

// A thumbnail name that stays inside the cache folder.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool IsThumbFileName(const std::string& name) {
  constexpr std::string_view kExt = ".JPG";
  if (name.size() <= kExt.size() || !name.ends_with(kExt)) return false;
  return std::all_of(name.begin(), name.end() - kExt.size(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

bool Newer(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Lines end at CR LF, a lone CR or a lone LF; a last line without an end counts.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const auto& l : lines) size += l.size() + 2;
  std::string text;
  text.reserve(size);
  for (const auto& l : lines) {
    text += l;
    text += "\r\n";
  }
  return text;
}

// The lines of a list file, or nothing when it is not a regular file.
bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
  std::string bytes;
  if (!ReadPictureFile(path, bytes, std::string::npos).empty()) return false;
  lines = SplitLines(bytes);
  return true;
}

std::out_of_range ListIndexError(std::size_t position) {
  return std::out_of_range("List index out of bounds (" + std::to_string(position) + ")");
}

}  // namespace

struct TCacheObj::Job {
  std::string path;
  std::string name;
  int boxWidth = 0;
  int boxHeight = 0;
  int filter = 0;
  std::uint64_t generation = 0;
  bool done = false;  // made or failed
  bool made = false;
  bool started = false;  // taken out of the queue (or never queued)
  bool awaited = false;  // moved ahead in the queue for a caller waiting for it
};

TCacheObj::TCacheObj(const std::string& folder)
    : CacheFolder(SetCacheFolder(folder)), makerCount_(ProcessorCount()) {
  KeepPictureMemoryInHeap();
}

TCacheObj::~TCacheObj() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    // What is only queued is not made any more: its number stays used.
    stopping_ = true;
    DropQueueLocked();
    CommitLocked();
    jobDone_.wait(lock, [&] { return running_ == 0 && makers_ == 0; });
  }
  try {
    SaveDB();
  } catch (...) {
    // A destructor cannot report; the next save or start-up finds the old files.
  }
}

std::string TCacheObj::SetCacheFolder(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::create_directories(path, ec);
  if (path.empty() || !CanWriteToFolder(path)) {
    ShowError("You don't have write permissions for this folder.\r\n" + path);
    return std::string();
  }
  CreateFolderIfMissing(path);
  return path.ends_with('/') ? path : path + "/";
}

// ---- names and sizes -------------------------------------------------------

std::string TCacheObj::MakeThumbName(std::int64_t number) {
  return LeadingZeros(std::to_string(number), kThumbNameDigits) + ".JPG";
}

std::pair<int, int> TCacheObj::ThumbSize(int width, int height, int boxWidth, int boxHeight) {
  if (width < 1 || height < 1) throw std::invalid_argument("Picture without pixels");
  const double ratio = static_cast<double>(width) / height;
  // nearbyint rounds half to even in the default rounding mode.
  if (width > height) {
    return {boxWidth, static_cast<int>(std::nearbyint(boxWidth / ratio))};
  }
  return {static_cast<int>(std::nearbyint(boxHeight * ratio)), boxHeight};
}

bool TCacheObj::CreateThumb(const std::string& sourcePath, const std::string& target, int boxWidth,
                            int boxHeight, int filterIndex) {
  PictureWork work;
  try {
    Bitmap bitmap;
    std::string error;
    // A picture that did not load stays empty and fails at the size.
    LoadGraphicUpright(sourcePath, bitmap, error);
    const auto [w, h] = ThumbSize(bitmap.Width(), bitmap.Height(), boxWidth, boxHeight);
    if (!PictureSizeAllowed(w, h)) return false;
    ResizeBitmap(w, h, filterIndex, bitmap);
    JpegImage jpeg;
    jpeg.Assign(std::move(bitmap));
    jpeg.SaveToFile(target);
    return true;
  } catch (...) {
    return false;
  }
}

// ---- the lists and their index (mu_ held) --------------------------------

int TCacheObj::PositionOf(std::uint64_t serial) const {
  const auto it = std::lower_bound(serials_.begin(), serials_.end(), serial);
  if (it == serials_.end() || *it != serial) return -1;
  return static_cast<int>(it - serials_.begin());
}

void TCacheObj::AppendLocked(const std::string& path, const std::string& name) {
  inputs_.push_back(path);
  outputs_.push_back(name);
  serials_.push_back(nextSerial_);
  if (!index_.try_emplace(path, nextSerial_).second) ++duplicates_;
  ++nextSerial_;
}

void TCacheObj::ReindexLocked() {
  index_.clear();
  duplicates_ = 0;
  index_.reserve(inputs_.size());
  for (std::size_t i = 0; i < inputs_.size(); ++i) {
    if (!index_.try_emplace(inputs_[i], serials_[i]).second) ++duplicates_;
  }
}

void TCacheObj::DeleteEntryLocked(int position) {
  if (position < 0) {
    throw std::logic_error("Cannot delete thumb at position " + std::to_string(position));
  }
  if (inputs_.empty()) {
    throw std::logic_error("Cannot delete thumb " + std::to_string(position) +
                           "! The DB is empty.");
  }
  const auto pos = static_cast<std::size_t>(position);
  if (pos >= outputs_.size() || pos >= inputs_.size()) throw ListIndexError(pos);
  const std::string name = outputs_[pos];
  const std::string path = inputs_[pos];
  const std::uint64_t serial = serials_[pos];
  inputs_.erase(inputs_.begin() + position);
  outputs_.erase(outputs_.begin() + position);
  serials_.erase(serials_.begin() + position);
  const auto it = index_.find(path);
  if (it != index_.end() && it->second == serial) {
    index_.erase(it);
    if (duplicates_ > 0) {
      // The next entry of the same path becomes the one lookups find.
      for (std::size_t k = 0; k < inputs_.size(); ++k) {
        if (inputs_[k] == path) {
          index_.emplace(path, serials_[k]);
          --duplicates_;
          break;
        }
      }
    }
  } else if (it != index_.end()) {
    --duplicates_;
  }
  if (!CacheFolder.empty() && PlainName(name)) ::unlink((CacheFolder + name).c_str());
}

void TCacheObj::ClearLocked() {
  inputs_.clear();
  outputs_.clear();
  serials_.clear();
  index_.clear();
  duplicates_ = 0;
  // Thumbnails still being made belong to the old contents: they are
  // discarded when they finish; queued ones are not made.
  DropQueueLocked();
  pending_.clear();
  commitQueue_.clear();
  ++generation_;
}

TCacheObj::JobPtr TCacheObj::ReserveLocked(const std::string& path, bool queue) {
  ++lastEntry_;
  auto job = std::make_shared<Job>();
  job->path = path;
  job->name = MakeThumbName(lastEntry_);
  job->boxWidth = thumbWidth_;
  job->boxHeight = thumbHeight_;
  job->filter = filterIndex_;
  job->generation = generation_;
  pending_[path] = job;
  byName_[job->name] = job;
  commitQueue_.push_back(job);
  ++running_;
  if (queue) {
    queue_.push_back(job);
  } else {
    job->started = true;
  }
  return job;
}

void TCacheObj::DropQueueLocked() {
  for (const JobPtr& job : queue_) {
    job->done = true;
    job->made = false;
    --running_;
    const auto it = pending_.find(job->path);
    if (it != pending_.end() && it->second == job) pending_.erase(it);
    const auto n = byName_.find(job->name);
    if (n != byName_.end() && n->second == job) byName_.erase(n);
  }
  queue_.clear();
  jobDone_.notify_all();
}

void TCacheObj::StartMakersLocked() {
  while (!stopping_ && makers_ < makerCount_ && static_cast<std::size_t>(makers_) < queue_.size()) {
    try {
      std::thread(&TCacheObj::RunMaker, this).detach();
    } catch (const std::system_error&) {
      return;  // fewer makers then; awaited thumbnails are made by their callers
    }
    ++makers_;
  }
}

void TCacheObj::RunMaker() {
  // One piece of picture work for the whole run: the memory of a picture
  // serves the next until the queue is empty.
  PictureWork work;
  std::unique_lock<std::mutex> lock(mu_);
  const auto idle = [&] { return stopping_ || queue_.empty() || makers_ > makerCount_; };
  while (!idle()) {
    lock.unlock();
    Slots().Acquire();
    lock.lock();
    if (idle()) {
      Slots().Release();
      break;
    }
    // The front of the queue as it is when a processor is free.
    const JobPtr job = queue_.front();
    queue_.pop_front();
    job->started = true;
    job->filter = filterIndex_;
    lock.unlock();
    const bool made =
        CreateThumb(job->path, CacheFolder + job->name, job->boxWidth, job->boxHeight, job->filter);
    Slots().Release();
    lock.lock();
    CompleteLocked(job, made);
    jobDone_.notify_all();
  }
  --makers_;
  // Under the lock: the destructor may run as soon as the last maker is gone.
  jobDone_.notify_all();
}

bool TCacheObj::MakeOrWait(const JobPtr& job, std::unique_lock<std::mutex>& lock, int ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
  // Whether a maker will take the job while it is queued.
  const auto makersTakeIt = [&] { return makerCount_ > 0 && makers_ > 0; };
  for (;;) {
    if (job->done) return true;
    if (!job->started) {
      StartMakersLocked();
      if (makersTakeIt()) {
        // To the front of the queue, behind those awaited before it: the
        // next maker with a processor takes the first.
        if (!job->awaited) {
          queue_.erase(std::find(queue_.begin(), queue_.end(), job));
          job->awaited = true;
          const auto firstNotAwaited = std::find_if(queue_.begin(), queue_.end(),
                                                    [](const JobPtr& j) { return !j->awaited; });
          queue_.insert(firstNotAwaited, job);
        }
      } else {
        // No maker: out of the queue and made here, with the next free processor.
        queue_.erase(std::find(queue_.begin(), queue_.end(), job));
        job->started = true;
        lock.unlock();
        const int left = ms < 0 ? -1
                                : static_cast<int>(std::max<long long>(
                                      0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                             deadline - Clock::now())
                                             .count()));
        const bool slot = Slots().AcquireFirst(left);
        lock.lock();
        if (!slot) {
          job->started = false;
          if (job->generation == generation_ && !stopping_) {
            job->awaited = true;
            queue_.push_front(job);
            StartMakersLocked();
          } else {
            CompleteLocked(job, false);
            jobDone_.notify_all();
          }
          return false;
        }
        job->filter = filterIndex_;
        lock.unlock();
        const bool made = CreateThumb(job->path, CacheFolder + job->name, job->boxWidth,
                                      job->boxHeight, job->filter);
        Slots().Release();
        lock.lock();
        CompleteLocked(job, made);
        jobDone_.notify_all();
        return true;
      }
    }
    // Until it is made, or the makers stop while it is still queued.
    const auto ready = [&] { return job->done || (!job->started && !makersTakeIt()); };
    if (ms < 0) {
      jobDone_.wait(lock, ready);
    } else if (!jobDone_.wait_until(lock, deadline, ready)) {
      return false;
    }
  }
}

void TCacheObj::CompleteLocked(const JobPtr& job, bool made) {
  FinishLocked(job, made);
  CommitLocked();
}

void TCacheObj::FinishLocked(const JobPtr& job, bool made) {
  job->done = true;
  job->made = made;
  --running_;
  const bool current = job->generation == generation_;
  // A thumbnail of old contents goes; so does whatever an earlier run left
  // under the name of one that failed, which would else be served for it.
  if (!current || !made) ::unlink((CacheFolder + job->name).c_str());
  if (!made || !current) {
    const auto it = pending_.find(job->path);
    if (it != pending_.end() && it->second == job) pending_.erase(it);
  }
  const auto n = byName_.find(job->name);
  if (n != byName_.end() && n->second == job) byName_.erase(n);
}

void TCacheObj::CommitLocked() {
  // Record finished thumbnails in the order of their numbers.
  while (!commitQueue_.empty() && commitQueue_.front()->done) {
    const JobPtr front = commitQueue_.front();
    commitQueue_.pop_front();
    if (front->made) AppendLocked(front->path, front->name);
    const auto it = pending_.find(front->path);
    if (it != pending_.end() && it->second == front) pending_.erase(it);
  }
}

// ---- lookups ---------------------------------------------------------------

bool TCacheObj::ThumbIsCurrent(const std::string& sourcePath, const std::string& name,
                               const struct timespec* sourceTime) const {
  if (!PlainName(name)) return false;
  struct stat thumb {};
  if (!IsRegularFile(CacheFolder + name, &thumb)) return false;
  if (sourceTime) return !Newer(*sourceTime, thumb.st_mtim);
  struct stat source {};
  if (::stat(sourcePath.c_str(), &source) != 0) return true;
  return !Newer(source.st_mtim, thumb.st_mtim);
}

void TCacheObj::Make(const JobPtr& job) {
  bool made = false;
  {
    SlotGuard slot;
    made =
        CreateThumb(job->path, CacheFolder + job->name, job->boxWidth, job->boxHeight, job->filter);
  }
  std::lock_guard<std::mutex> lock(mu_);
  CompleteLocked(job, made);
  // Under the lock: the destructor may run as soon as the last job is done.
  jobDone_.notify_all();
}

std::vector<TCacheObj::Found> TCacheObj::ResolveAll(const std::vector<std::string>& paths,
                                                    bool addMissing, int threads,
                                                    const std::vector<struct timespec>* sourceTimes,
                                                    bool queue, bool startMakers) {
  const std::size_t n = paths.size();
  std::vector<Found> found(n);
  // Outside the lock: which sources are regular files.
  std::vector<char> exists(n);
  for (std::size_t i = 0; i < n; ++i) {
    exists[i] = StorablePath(paths[i]) && (sourceTimes || IsRegularFile(paths[i]));
  }
  std::size_t begin = 0;
  while (begin < n) {
    // A run of distinct paths: a path seen again must see how its first
    // request ended, as it would one call later.
    std::unordered_set<std::string_view> seen;
    std::size_t end = begin;
    while (end < n && seen.insert(paths[end]).second) ++end;

    // The entries' thumbnail files are tested outside the lock.
    std::vector<std::uint64_t> serial(end - begin, 0);
    std::vector<std::string> name(end - begin);
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (std::size_t i = begin; i < end; ++i) {
        const auto it = index_.find(paths[i]);
        if (it == index_.end()) continue;
        const int pos = PositionOf(it->second);
        if (static_cast<std::size_t>(pos) >= outputs_.size()) throw ListIndexError(pos);
        serial[i - begin] = it->second;
        name[i - begin] = outputs_[pos];
      }
    }
    std::vector<char> current(end - begin, 0);
    for (std::size_t i = begin; i < end; ++i) {
      if (serial[i - begin] != 0)
        current[i - begin] =
            ThumbIsCurrent(paths[i], name[i - begin], sourceTimes ? &(*sourceTimes)[i] : nullptr);
    }

    std::vector<JobPtr> mine;
    std::vector<std::pair<std::size_t, JobPtr>> jobs;  // every result that is a job
    // Under the lock, in order: entries found, stale ones dropped, pending
    // ones joined, missing ones given numbers.
    const auto reserveRun = [&] {
      for (std::size_t i = begin; i < end; ++i) {
        const std::string& path = paths[i];
        Found& f = found[i];
        const auto it = index_.find(path);
        if (it != index_.end()) {
          const int pos = PositionOf(it->second);
          if (static_cast<std::size_t>(pos) >= outputs_.size()) throw ListIndexError(pos);
          // An entry that changed since the test was just remade: current.
          if (it->second != serial[i - begin] || current[i - begin]) {
            f = {pos, outputs_[pos]};
            continue;
          }
          DeleteEntryLocked(pos);
          f.position = pos;
          if (!exists[i]) continue;
        } else {
          const auto p = pending_.find(path);
          if (p != pending_.end()) {
            jobs.emplace_back(i, p->second);
            continue;
          }
          if (!addMissing || !exists[i]) continue;
        }
        JobPtr job = ReserveLocked(path, queue);
        mine.push_back(job);
        jobs.emplace_back(i, job);
      }
    };
    {
      std::lock_guard<std::mutex> lock(mu_);
      try {
        reserveRun();
      } catch (...) {
        // Numbers already handed out are used up; nobody may wait for them.
        for (const JobPtr& job : mine) {
          if (!job->started) queue_.erase(std::find(queue_.begin(), queue_.end(), job));
          CompleteLocked(job, false);
        }
        jobDone_.notify_all();
        throw;
      }
      if (queue && startMakers) StartMakersLocked();
    }
    if (queue) {
      // The makers make them. A path given again must see how its first
      // request ended, so only then are the thumbnails so far waited for.
      const bool last = end == n;
      std::unique_lock<std::mutex> lock(mu_);
      for (const auto& [i, job] : jobs) {
        if (!last) MakeOrWait(job, lock, -1);
        found[i].name = job->name;
        if (found[i].position < 0 && job->done) {
          const auto it = index_.find(paths[i]);
          found[i].position = !job->made           ? -1
                              : it != index_.end() ? PositionOf(it->second)
                                                   : static_cast<int>(inputs_.size());
        }
      }
      begin = end;
      continue;
    }

    // Make this run's thumbnails, on several threads when there are several.
    const std::size_t helpers = std::min<std::size_t>(
        mine.size(), threads > 0 ? static_cast<std::size_t>(threads)
                                 : std::max(1u, std::thread::hardware_concurrency()));
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
      for (std::size_t k; (k = next.fetch_add(1)) < mine.size();) Make(mine[k]);
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < helpers; ++t) {
      try {
        pool.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // fewer threads then
      }
    }
    work();
    for (auto& t : pool) t.join();

    // Jobs that other callers make are waited for (or made here when they
    // are still queued).
    {
      std::unique_lock<std::mutex> lock(mu_);
      for (const auto& [i, job] : jobs) {
        MakeOrWait(job, lock, -1);
        found[i].name = job->name;
        if (found[i].position < 0) {
          const auto it = index_.find(paths[i]);
          found[i].position = !job->made           ? -1
                              : it != index_.end() ? PositionOf(it->second)
                                                   : static_cast<int>(inputs_.size());
        }
      }
    }
    begin = end;
  }
  return found;
}

std::vector<std::string> TCacheObj::GetThumbs(const std::vector<std::string>& sourcePaths,
                                              int threads) {
  // One look at each source: whether it is a regular file, and its time.
  std::vector<struct timespec> times(sourcePaths.size(), timespec{0, -1});
  for (std::size_t i = 0; i < sourcePaths.size(); ++i) {
    struct stat st {};
    if (!sourcePaths[i].empty() && IsRegularFile(sourcePaths[i], &st)) times[i] = st.st_mtim;
  }
  return GetThumbsOfFiles(sourcePaths, times, threads);
}

std::vector<std::string> TCacheObj::GetThumbsOfFiles(
    const std::vector<std::string>& sourcePaths, const std::vector<struct timespec>& sourceTimes,
    int threads) {
  return ThumbsOfFiles(sourcePaths, sourceTimes, threads, false);
}

std::vector<std::string> TCacheObj::ReserveThumbs(const std::vector<std::string>& sourcePaths,
                                                  bool startMakers) {
  std::vector<struct timespec> times(sourcePaths.size(), timespec{0, -1});
  for (std::size_t i = 0; i < sourcePaths.size(); ++i) {
    struct stat st {};
    if (!sourcePaths[i].empty() && IsRegularFile(sourcePaths[i], &st)) times[i] = st.st_mtim;
  }
  return ThumbsOfFiles(sourcePaths, times, 0, true, startMakers);
}

std::vector<std::string> TCacheObj::ReserveThumbsOfFiles(
    const std::vector<std::string>& sourcePaths, const std::vector<struct timespec>& sourceTimes,
    bool startMakers) {
  if (sourceTimes.size() != sourcePaths.size()) return ReserveThumbs(sourcePaths, startMakers);
  return ThumbsOfFiles(sourcePaths, sourceTimes, 0, true, startMakers);
}

void TCacheObj::StartMakers() {
  std::lock_guard<std::mutex> lock(mu_);
  StartMakersLocked();
}

bool TCacheObj::AwaitThumb(const std::string& name, int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  const auto it = byName_.find(name);
  if (it == byName_.end()) return true;
  const JobPtr job = it->second;
  return MakeOrWait(job, lock, std::max(ms, 0));
}

bool TCacheObj::WaitForThumbs(int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return jobDone_.wait_for(lock, std::chrono::milliseconds(std::max(ms, 0)),
                           [&] { return running_ == 0; });
}

void TCacheObj::SetMakerThreads(int count) {
  std::lock_guard<std::mutex> lock(mu_);
  makerCount_ = std::max(count, 0);
  StartMakersLocked();
  jobDone_.notify_all();  // waiters may have to make their own now
}

int TCacheObj::PendingThumbs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

std::vector<std::string> TCacheObj::ThumbsOfFiles(const std::vector<std::string>& sourcePaths,
                                                  const std::vector<struct timespec>& sourceTimes,
                                                  int threads, bool queue, bool startMakers) {
  if (sourceTimes.size() != sourcePaths.size()) return GetThumbs(sourcePaths, threads);
  std::vector<std::string> result(sourcePaths.size());
  std::vector<std::string> pictures;
  std::vector<std::size_t> where;
  std::vector<struct timespec> times;
  for (std::size_t i = 0; i < sourcePaths.size(); ++i) {
    const std::string& path = sourcePaths[i];
    if (path.empty() || sourceTimes[i].tv_nsec < 0) {
      CheckFileExists(path);  // tells that it is missing
      continue;
    }
    if (!IsSupportedPicture(path)) continue;
    if (CacheFolder.empty() || !StorablePath(path)) continue;
    pictures.push_back(path);
    where.push_back(i);
    times.push_back(sourceTimes[i]);
  }
  const std::vector<Found> found = ResolveAll(pictures, true, threads, &times, queue, startMakers);
  for (std::size_t k = 0; k < found.size(); ++k) {
    if (!found[k].name.empty()) result[where[k]] = CacheFolder + found[k].name;
  }
  return result;
}

std::string TCacheObj::GetThumb(const std::string& sourcePath) {
  return GetThumbs({sourcePath}, 1).front();
}

TCacheObj::Found TCacheObj::FindEntry(const std::string& sourcePath) {
  return ResolveAll({sourcePath}, false, 1).front();
}

std::string TCacheObj::AddEntry(const std::string& sourcePath) {
  if (CacheFolder.empty() || !StorablePath(sourcePath) || !IsRegularFile(sourcePath)) {
    return std::string();
  }
  JobPtr job;
  {
    std::lock_guard<std::mutex> lock(mu_);
    job = ReserveLocked(sourcePath, false);
  }
  Make(job);
  return job->name;
}

void TCacheObj::DeleteEntry(int position) {
  std::lock_guard<std::mutex> lock(mu_);
  DeleteEntryLocked(position);
}

// ---- database --------------------------------------------------------------

void TCacheObj::LoadDB() {
  if (CacheFolder.empty()) {
    // Nothing to read: the counter as a missing settings file gives it.
    std::lock_guard<std::mutex> lock(mu_);
    lastEntry_ = kDefaultLastEntry;
    return;
  }
  std::vector<std::string> inputs, outputs;
  const bool haveInputs = ReadLines(CacheFolder + kInputFile, inputs);
  const bool haveOutputs = ReadLines(CacheFolder + kOutputFile, outputs);
  const IniFile ini(CacheFolder + kSettingsFile);
  std::lock_guard<std::mutex> lock(mu_);
  if (haveInputs) inputs_ = std::move(inputs);
  if (haveOutputs) outputs_ = std::move(outputs);
  serials_.resize(inputs_.size());
  for (auto& serial : serials_) serial = nextSerial_++;
  ReindexLocked();
  DropQueueLocked();
  pending_.clear();
  commitQueue_.clear();
  ++generation_;
  thumbWidth_ = ini.ReadInteger("Size", "ThumbWidth", kDefaultThumbWidth);
  thumbHeight_ = ini.ReadInteger("Size", "ThumbHeight", kDefaultThumbHeight);
  lastEntry_ = ini.ReadInteger("Index", "LastEntry", kDefaultLastEntry);
}

void TCacheObj::SaveDB() {
  if (CacheFolder.empty()) return;
  std::lock_guard<std::mutex> saving(saveMu_);
  std::string inputs, outputs;
  int width = 0, height = 0;
  std::int64_t last = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    inputs = JoinLines(inputs_);
    outputs = JoinLines(outputs_);
    width = thumbWidth_;
    height = thumbHeight_;
    last = lastEntry_;
  }
  const bool inputsSaved = WriteFileAtomically(CacheFolder + kInputFile, inputs, false);
  const bool outputsSaved = WriteFileAtomically(CacheFolder + kOutputFile, outputs, false);
  if (!inputsSaved || !outputsSaved) ShowError("Cannot save cache database!");
  IniFile ini(CacheFolder + kSettingsFile);
  ini.WriteInteger("Size", "ThumbWidth", width);
  ini.WriteInteger("Size", "ThumbHeight", height);
  ini.WriteInteger("Index", "LastEntry", last);
  ini.Save();
}

void TCacheObj::Clear() {
  if (CacheFolder.empty()) throw std::invalid_argument("Path is empty!");
  {
    std::lock_guard<std::mutex> lock(mu_);
    ClearLocked();
    EmptyFolder(CacheFolder, false);
  }
  SaveDB();
}

int TCacheObj::Maintain() {
  bool mismatch = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    mismatch = inputs_.size() != outputs_.size();
  }
  if (mismatch) {
    ShowError(
        "Number of entries in DB does not match! You maight fix this by reseting your cache.");
  }
  if (CacheFolder.empty()) throw std::invalid_argument("Path is empty!");

  // Test the files outside the lock, then drop what is still the same entry.
  std::vector<std::uint64_t> serials;
  std::vector<std::string> paths, names;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (outputs_.size() < inputs_.size()) throw ListIndexError(inputs_.size() - 1);
    serials = serials_;
    paths = inputs_;
    names.assign(outputs_.begin(), outputs_.begin() + inputs_.size());
  }
  std::unordered_set<std::uint64_t> gone;
  for (std::size_t k = 0; k < serials.size(); ++k) {
    if (!IsRegularFile(paths[k]) || !PlainName(names[k]) ||
        !IsRegularFile(CacheFolder + names[k])) {
      gone.insert(serials[k]);
    }
  }
  std::vector<std::string> files;
  ListFiles(CacheFolder, "*.jpg", files, false);

  std::lock_guard<std::mutex> lock(mu_);
  int count = 0;
  if (!gone.empty()) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
      if (gone.count(serials_[k])) {
        if (PlainName(outputs_[k])) ::unlink((CacheFolder + outputs_[k]).c_str());
        ++count;
        continue;
      }
      if (kept != k) {
        inputs_[kept] = std::move(inputs_[k]);
        outputs_[kept] = std::move(outputs_[k]);
        serials_[kept] = serials_[k];
      }
      ++kept;
    }
    // Names beyond the inputs (a longer output list) stay where they were.
    outputs_.erase(outputs_.begin() + kept, outputs_.begin() + inputs_.size());
    inputs_.resize(kept);
    serials_.resize(kept);
    ReindexLocked();
  }
  // Thumbnail files that no entry and no picture being made names.
  std::unordered_set<std::string_view> named(outputs_.begin(), outputs_.end());
  for (const auto& [path, job] : pending_) named.insert(job->name);
  for (const auto& job : commitQueue_) named.insert(job->name);
  for (const std::string& file : files) {
    if (IsThumbFileName(file) && !named.count(file)) ::unlink((CacheFolder + file).c_str());
  }
  if (inputs_.empty() && running_ == 0) EmptyFolder(CacheFolder, false);
  return count;
}

// ---- settings --------------------------------------------------------------

void TCacheObj::SetThumbSide(int& side, int value) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (value == side) return;
    side = value;
    // The size is kept; only the clearing it calls for cannot be done.
    if (CacheFolder.empty()) throw std::invalid_argument("Path is empty!");
    ClearLocked();
    EmptyFolder(CacheFolder, false);
  }
  SaveDB();
}

void TCacheObj::SetThumbWidth(int value) { SetThumbSide(thumbWidth_, value); }

void TCacheObj::SetThumbHeight(int value) { SetThumbSide(thumbHeight_, value); }

void TCacheObj::SetFilterIndex(std::uint8_t value) {
  std::lock_guard<std::mutex> lock(mu_);
  filterIndex_ = value;
}

int TCacheObj::ThumbWidth() const {
  std::lock_guard<std::mutex> lock(mu_);
  return thumbWidth_;
}

int TCacheObj::ThumbHeight() const {
  std::lock_guard<std::mutex> lock(mu_);
  return thumbHeight_;
}

std::uint8_t TCacheObj::FilterIndex() const {
  std::lock_guard<std::mutex> lock(mu_);
  return filterIndex_;
}

std::int64_t TCacheObj::LastEntry() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastEntry_;
}

std::vector<std::string> TCacheObj::Inputs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return inputs_;
}

std::vector<std::string> TCacheObj::Outputs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return outputs_;
}
