// The thumbnail cache: turns every shared picture into a small JPEG once and
// finds it again on later requests and across runs.
//
// Design note.
// - Threads: GetThumb and GetThumbs run on connection workers, several at
//   once; Clear, Maintain, SaveDB and the setters on the window thread. One
//   object is shared by all of them and is safe to call from any thread.
//   GetThumbs makes missing thumbnails on short-lived threads of its own,
//   joined before it returns. ReserveThumbs hands out the same names at once
//   and leaves the making to the cache's makers: threads (one per processor
//   by default) that take the queued thumbnails in the order they were
//   reserved and end when the queue is empty. AwaitThumb moves a queued
//   thumbnail to the front of the queue (behind those awaited before it, so
//   that none waits for ever) and waits for it; with no maker running it
//   makes it on the caller's thread, ahead of every maker (it gets the next
//   free processor slot). A thumbnail that fails leaves no file under its
//   name. Clear, a size change and LoadDB drop the queue (those numbers stay
//   used); the destructor drops it too, then waits for every thumbnail being
//   made, so ending the program never waits for a whole folder.
// - Locks: one mutex guards the two lists, their index, the counter, the
//   settings and the thumbnails being made. It is held to look a picture up,
//   to reserve a thumbnail number and to record an entry, never while a
//   picture is decoded, resampled or encoded, a source or thumbnail file is
//   tested, or the database is read or written. A picture being made is
//   "pending": a second request for it waits for the first instead of making
//   another, so one picture gets one entry. Entries are recorded in the order
//   their numbers were handed out, whatever order the thumbnails finish in.
//   Removing files is the exception and runs under the lock: the thumbnail
//   of a dropped entry is unlinked there, and Clear, a size change and a
//   Maintain that leaves no entry empty the whole folder while holding it, so
//   no number is handed out and no entry recorded between emptying the lists
//   and emptying the folder (a worker asking meanwhile waits for the folder
//   to be emptied). A thumbnail still being made for the old contents is
//   unlinked when it finishes. Messages (a missing source, a damaged
//   database) are shown outside the lock, so a window-thread operation never
//   waits on a worker that waits on the window. SaveDB takes a second mutex
//   first, so two saves never interleave, and the main one only to copy.
// - Limits: at most one thumbnail per processor is made at a time across all
//   callers (each decoded photo holds its full-size pixels); lookups go
//   through a hash index, so their cost does not grow with the entries.
// - Memory: a decoded photo (36 MB for 12 megapixels) is freed right after
//   its thumbnail is made. The cache asks the allocator to keep such blocks
//   in its heap for the next photo instead of unmapping them, which would
//   cost each thumbnail thousands of page faults; a thread that made
//   thumbnails thus keeps up to about one photo's memory.
// - On disk, in CacheFolder: the thumbnails 000000002.JPG, 000000003.JPG ...
//   and three database files: "CacheDBInput" (source paths, one per line),
//   "CacheDBOutput" (thumbnail names, same order), lines ending in CR LF, and
//   the INI file "CacheSettings" ([Size] ThumbWidth, ThumbHeight; [Index]
//   LastEntry). Paths are kept exactly as given (names are case-sensitive).
// - Crashes: each database file is written to a temporary file and renamed
//   over the old one, so a crash leaves the old or the new file, never half
//   of one. The three are replaced one after another, so a crash between
//   them can leave lists of different lengths, which Maintain reports.
//   Entries added since the last save are lost with the process; their
//   numbers are handed out again and their files overwritten.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class TCacheObj {
 public:
  // Sets up the folder (created with its parents; CacheFolder stays empty,
  // after an error message, when it cannot be written), empty lists, a
  // 128 x 96 box and filter 6. LastEntry is 0 until LoadDB.
  explicit TCacheObj(const std::string& folder);
  // Waits for thumbnails being made, then SaveDB.
  ~TCacheObj();
  TCacheObj(const TCacheObj&) = delete;
  TCacheObj& operator=(const TCacheObj&) = delete;

  // The cache folder ending in "/", or empty when setting it up failed. Set
  // once by the constructor; the thumbnail route serves files from it.
  const std::string CacheFolder;

  // The full path of the picture's thumbnail, made now if missing or older
  // than the picture; empty when the source is not an existing picture
  // (after the information message of CheckFileExists for a missing file) or
  // the cache has no folder. A thumbnail that cannot be made still gets a
  // fresh name, which then names no file.
  std::string GetThumb(const std::string& sourcePath);

  // GetThumb for the pictures of one listing: the results, in the same order,
  // and the entries, numbers and messages are those of GetThumb called for
  // each path in turn, but the missing thumbnails are made concurrently on
  // up to `threads` threads (0: one per processor).
  std::vector<std::string> GetThumbs(const std::vector<std::string>& sourcePaths, int threads = 0);
  // GetThumbs for sources the caller has just looked at, given with their
  // modification times (same order; a negative tv_nsec marks a source that is
  // not a regular file), so that they are not looked at again.
  std::vector<std::string> GetThumbsOfFiles(const std::vector<std::string>& sourcePaths,
                                            const std::vector<struct timespec>& sourceTimes,
                                            int threads = 0);

  // GetThumbs and GetThumbsOfFiles without waiting: the same results,
  // numbers, entries, entry order and messages, but each missing thumbnail
  // is only queued under its number, to be made in the background in the
  // order of the paths (its entry is recorded once it and every thumbnail
  // numbered before it are done). Only a path given twice waits for its
  // first thumbnail, as it would one call later. With startMakers false the
  // makers are left for StartMakers, which the caller calls once it has used
  // the names (a page that names them goes out sooner without makers beside
  // it); until then an awaited or looked-up thumbnail is still made.
  std::vector<std::string> ReserveThumbs(const std::vector<std::string>& sourcePaths,
                                         bool startMakers = true);
  std::vector<std::string> ReserveThumbsOfFiles(const std::vector<std::string>& sourcePaths,
                                                const std::vector<struct timespec>& sourceTimes,
                                                bool startMakers = true);
  // Starts makers for what is queued, up to the number of makers.
  void StartMakers();
  // For a thumbnail file name (without the folder): when that thumbnail is
  // queued, moves it to the front of the queue, behind the thumbnails
  // awaited before it (or, with no maker running, makes it on this thread
  // ahead of everything queued), then waits for it to be made. Gives up
  // after ms (it then stays at the front). True when the name is not or no
  // longer pending: its file is then made, or it will not be.
  bool AwaitThumb(const std::string& name, int ms);
  // Waits up to ms until no thumbnail is queued or being made; false when
  // ms passed first.
  bool WaitForThumbs(int ms);
  // The number of makers for queued thumbnails (default one per processor).
  // With 0, a queued thumbnail is made only when it is awaited or looked up
  // by GetThumbs; makers beyond the number end after their thumbnail.
  void SetMakerThreads(int count);
  // Thumbnails reserved and not yet made or failed (queued or being made).
  int PendingThumbs() const;

  // Read or write the three database files. SaveDB shows "Cannot save cache
  // database!" when a list file cannot be written and still writes the settings.
  void LoadDB();
  void SaveDB();
  // Forgets every entry, empties the folder and saves the empty database;
  // numbering goes on. Throws std::invalid_argument("Path is empty!") without
  // a folder.
  void Clear();
  // Drops the entries whose source or thumbnail is gone (and thumbnail files
  // that no entry names); empties the folder when no entry is left. Returns
  // the number of entries dropped. Shows a message when the lists differ in
  // length and then fails (std::out_of_range) on the first position that one
  // list lacks. Throws std::invalid_argument("Path is empty!") without a folder.
  int Maintain();

  // A different value clears the cache.
  void SetThumbWidth(int value);
  void SetThumbHeight(int value);
  // The resampling filter (0 to 6) of thumbnails made from now on.
  void SetFilterIndex(std::uint8_t value);

  int ThumbWidth() const;
  int ThumbHeight() const;
  std::uint8_t FilterIndex() const;
  std::int64_t LastEntry() const;
  // Copies of the two lists.
  std::vector<std::string> Inputs() const;
  std::vector<std::string> Outputs() const;

  // The steps behind GetThumb, for callers that know what they do.
  struct Found {
    int position = -1;  // -1 when absent; the old position when remade
    std::string name;   // the thumbnail's file name, empty when absent
  };
  // Looks the source up; a thumbnail file that is missing, or older than the
  // source, is deleted with its entry and made again under a new number.
  Found FindEntry(const std::string& sourcePath);
  // Makes a thumbnail under the next number and records it when that worked;
  // empty (and no number used) when the source is not a regular file.
  std::string AddEntry(const std::string& sourcePath);
  // Removes the entry at this position and its thumbnail file. Throws
  // std::logic_error for a negative position or an empty database, and
  // std::out_of_range for a position one of the lists lacks.
  void DeleteEntry(int position);

  // The thumbnail size for a picture of width x height in a box of
  // boxWidth x boxHeight (landscape pictures take the width, others the
  // height; the other side follows the ratio, rounded half to even).
  // Throws std::invalid_argument for an empty picture.
  static std::pair<int, int> ThumbSize(int width, int height, int boxWidth, int boxHeight);
  // 000000042.JPG for 42; ten digits and more are written in full.
  static std::string MakeThumbName(std::int64_t number);
  // Loads, turns upright, resamples and writes one thumbnail; false on any failure.
  static bool CreateThumb(const std::string& sourcePath, const std::string& target, int boxWidth,
                          int boxHeight, int filterIndex);

 private:
  struct Job;
  using JobPtr = std::shared_ptr<Job>;

  static std::string SetCacheFolder(const std::string& path);

  // Looks the paths up in order, as that many single lookups would; with
  // addMissing, reserves numbers for missing thumbnails and makes them on up
  // to `threads` threads. Names without the folder.
  // sourceTimes, when given, holds the modification time of every path, each
  // just found to be a regular file; the sources are then not looked at again.
  // With queue, missing thumbnails are queued for the makers and not waited
  // for (except by a path given again later in the list).
  std::vector<Found> ResolveAll(const std::vector<std::string>& paths, bool addMissing, int threads,
                                const std::vector<struct timespec>* sourceTimes = nullptr,
                                bool queue = false, bool startMakers = true);
  // GetThumbsOfFiles, queuing or making the missing thumbnails.
  std::vector<std::string> ThumbsOfFiles(const std::vector<std::string>& sourcePaths,
                                         const std::vector<struct timespec>& sourceTimes,
                                         int threads, bool queue, bool startMakers = true);
  // The thumbnail of an entry is usable: a regular file not older than the
  // source (whose time is looked up unless given).
  bool ThumbIsCurrent(const std::string& sourcePath, const std::string& name,
                      const struct timespec* sourceTime = nullptr) const;
  // Makes the job's thumbnail outside the lock, then records it.
  void Make(const JobPtr& job);
  // The same when the caller already holds a processor slot.
  void MakeInSlot(const JobPtr& job);
  // Makes the job here when it is still queued (ahead of the queue), else
  // waits for it, for up to ms (negative: no limit). lock holds mu_ on entry
  // and on return. False when ms passed first.
  bool MakeOrWait(const JobPtr& job, std::unique_lock<std::mutex>& lock, int ms);
  // The loop of one maker thread.
  void RunMaker();

  // With mu_ held:
  int PositionOf(std::uint64_t serial) const;
  JobPtr ReserveLocked(const std::string& path, bool queue);
  // Marks the job made or failed, then records the finished entries.
  void CompleteLocked(const JobPtr& job, bool made);
  void FinishLocked(const JobPtr& job, bool made);
  void CommitLocked();
  // Drops every queued thumbnail as failed (its number stays used).
  void DropQueueLocked();
  // Starts makers while there are queued thumbnails and fewer makers than wanted.
  void StartMakersLocked();
  void AppendLocked(const std::string& path, const std::string& name);
  void DeleteEntryLocked(int position);
  void ReindexLocked();
  void ClearLocked();
  // A new thumbnail side empties the cache (numbering goes on) and saves it.
  void SetThumbSide(int& side, int value);

  mutable std::mutex mu_;
  std::condition_variable jobDone_;
  std::mutex saveMu_;  // one SaveDB writes at a time

  std::vector<std::string> inputs_;
  std::vector<std::string> outputs_;
  std::vector<std::uint64_t> serials_;  // entry ids, ascending, parallel to inputs_
  std::unordered_map<std::string, std::uint64_t> index_;  // first entry of each path
  std::size_t duplicates_ = 0;                            // paths listed more than once
  std::uint64_t nextSerial_ = 1;

  std::unordered_map<std::string, JobPtr> pending_;  // pictures being made
  std::deque<JobPtr> commitQueue_;                   // in the order of their numbers
  std::uint64_t generation_ = 0;                     // counts clears and loads
  int running_ = 0;                                  // thumbnails queued or being made
  std::deque<JobPtr> queue_;                         // reserved, for the makers, in order
  std::unordered_map<std::string, JobPtr> byName_;   // queued or being made, by file name
  int makers_ = 0;                                   // maker threads running
  int makerCount_ = 0;                               // maker threads wanted
  bool stopping_ = false;                            // the destructor runs

  int thumbWidth_ = 128;
  int thumbHeight_ = 96;
  std::int64_t lastEntry_ = 0;
  std::uint8_t filterIndex_ = 6;
};
