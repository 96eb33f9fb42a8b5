// Folder listings kept between requests, dropped when their folder changes.
#pragma once

#include "base/UniqueFd.h"
#include "server/ServerActions.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// A folder's entries as ListFolder gives them.
struct TFolderListing {
  std::vector<TFolderEntry> files;
  std::vector<TFolderEntry> folders;
};

// Listing a large folder costs a stat of every entry; a folder that is asked
// for again and again is listed once and then watched (inotify) instead. A
// kept listing is dropped on any change to the folder's entries (created,
// deleted, renamed, written, attributes changed), when the folder's own path
// leads elsewhere or its times changed, and in any case after
// kListingMaxAgeMs, which bounds what no event tells (writes through another
// hard link or a mapping, other machines on a network file system). Entries
// whose state the folder's events do not cover (folders, links, files with
// several names) are looked at again on every use. Thread-safe.
class TFolderCache {
 public:
  TFolderCache();
  ~TFolderCache();
  TFolderCache(const TFolderCache&) = delete;
  TFolderCache& operator=(const TFolderCache&) = delete;

  // The listing of folder (ending in "/"), equal to what ListFolder gives now.
  std::shared_ptr<const TFolderListing> List(const std::string& folder);

  std::size_t KeptListings() const;
  // How many times a folder was read rather than a kept listing used.
  std::size_t FoldersRead() const;

 private:
  struct TIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec modified {};
    struct timespec changed {};
    bool operator==(const TIdentity& o) const;
  };
  struct TKept {
    int watch = -1;
    TIdentity identity;
    std::chrono::steady_clock::time_point made;
    std::uint64_t lastUse = 0;
    std::shared_ptr<const TFolderListing> listing;
  };

  // Reads the watch's pending events and drops what they touch. Caller holds mu_.
  void TakeEvents();
  // Drops the listings kept under watch, and ends the watch unless it has
  // ended already. Caller holds mu_.
  void Forget(int watch, bool ended);
  using TKeptMap = std::unordered_map<std::string, TKept>;
  // Drops one listing; its watch stays. Caller holds mu_.
  TKeptMap::iterator Erase(TKeptMap::iterator it);
  // Drops one listing, and its watch when no other listing uses it.
  void Drop(TKeptMap::iterator it);  // caller holds mu_
  void ReleaseWatch(int watch);      // ends watch unless a listing uses it; caller holds mu_
  void Keep(const std::string& folder, TKept kept);  // caller holds mu_
  std::uint64_t Changes(int watch) const;            // caller holds mu_

  mutable std::mutex mu_;
  UniqueFd notify_;
  TKeptMap kept_;
  std::size_t keptEntries_ = 0;
  // Events seen per watch, and events that touch every watch (overflow,
  // watches removed): a listing made while either moved is not kept.
  std::unordered_map<int, std::uint64_t> changes_;
  std::uint64_t allChanges_ = 0;
  std::uint64_t uses_ = 0;
  std::size_t foldersRead_ = 0;
};
