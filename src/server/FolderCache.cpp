// Kept folder listings and the inotify watch that drops them.
#include "server/FolderCache.h"

#include "server/ServerLimits.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr std::uint32_t kWatchedEvents = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                         IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                         IN_MOVE_SELF | IN_ONLYDIR;

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool TFolderCache::TIdentity::operator==(const TIdentity& o) const {
  return device == o.device && inode == o.inode && SameTime(modified, o.modified) &&
         SameTime(changed, o.changed);
}

TFolderCache::TFolderCache() : notify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

TFolderCache::~TFolderCache() = default;  // closing the handle ends every watch

std::size_t TFolderCache::KeptListings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return kept_.size();
}

std::size_t TFolderCache::FoldersRead() const {
  std::lock_guard<std::mutex> lock(mu_);
  return foldersRead_;
}

std::shared_ptr<const TFolderListing> TFolderCache::List(const std::string& folder) {
  using Clock = std::chrono::steady_clock;
  // What the path leads to now: a kept listing of anything else is stale.
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return std::make_shared<const TFolderListing>();
  }
  const TIdentity identity{st.st_dev, st.st_ino, st.st_mtim, st.st_ctim};

  int watch = -1;
  std::uint64_t changesBefore = 0;
  std::uint64_t allChangesBefore = 0;
  std::shared_ptr<const TFolderListing> kept;
  {
    std::lock_guard<std::mutex> lock(mu_);
    TakeEvents();
    const auto it = kept_.find(folder);
    if (it != kept_.end()) {
      if (it->second.identity == identity &&
          Clock::now() - it->second.made <
              std::chrono::milliseconds(ServerLimits::kListingMaxAgeMs)) {
        it->second.lastUse = ++uses_;
        kept = it->second.listing;
      } else if (it->second.identity.device == identity.device &&
                 it->second.identity.inode == identity.inode) {
        // The same folder, changed or old: its watch stays for the new listing.
        Erase(it);
      } else {
        Drop(it);
      }
    }
    if (!kept && notify_.valid()) {
      // The watch is in place before the folder is read, so a change while
      // it is read is seen.
      watch = ::inotify_add_watch(notify_.get(), folder.c_str(), kWatchedEvents);
      changesBefore = Changes(watch);
      allChangesBefore = allChanges_;
    }
  }

  if (kept) {
    // Entries the folder's events do not cover are looked at again; one that
    // is gone or became a folder (or stopped being one) needs a new listing.
    const auto needsLook = [](const TFolderEntry& e) { return !e.ownedByFolder; };
    if (std::none_of(kept->files.begin(), kept->files.end(), needsLook) &&
        std::none_of(kept->folders.begin(), kept->folders.end(), needsLook)) {
      return kept;
    }
    auto fresh = std::make_shared<TFolderListing>(*kept);
    bool same = true;
    for (auto* entries : {&fresh->files, &fresh->folders}) {
      for (TFolderEntry& e : *entries) {
        if (e.ownedByFolder) continue;
        const bool wasFolder = e.directory;
        if (!StatFolderEntry(folder, e) || e.directory != wasFolder) same = false;
      }
    }
    if (same) return fresh;
  }

  auto listing = std::make_shared<TFolderListing>();
  ListFolder(folder, listing->files, listing->folders);
  std::lock_guard<std::mutex> lock(mu_);
  ++foldersRead_;
  if (watch < 0) return listing;
  TakeEvents();
  if (Changes(watch) == changesBefore && allChanges_ == allChangesBefore) {
    TKept k;
    k.watch = watch;
    k.identity = identity;
    k.made = Clock::now();
    k.listing = listing;
    Keep(folder, std::move(k));
  } else {
    ReleaseWatch(watch);
  }
  return listing;
}

void TFolderCache::Keep(const std::string& folder, TKept kept) {
  const std::size_t entries = kept.listing->files.size() + kept.listing->folders.size();
  if (entries > ServerLimits::kMaxKeptListingEntries) {
    ReleaseWatch(kept.watch);
    return;
  }
  const auto old = kept_.find(folder);
  if (old != kept_.end()) {
    Erase(old);  // the same watch goes on
  }
  // Room by dropping the listings used longest ago.
  while (!kept_.empty() && (kept_.size() >= ServerLimits::kMaxKeptListings ||
                            keptEntries_ + entries > ServerLimits::kMaxKeptListingEntries)) {
    auto oldest = kept_.begin();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    }
    if (oldest->second.watch == kept.watch) {
      Erase(oldest);  // the same folder by another path: its watch stays
    } else {
      Drop(oldest);
    }
  }
  kept.lastUse = ++uses_;
  keptEntries_ += entries;
  kept_.emplace(folder, std::move(kept));
}

std::uint64_t TFolderCache::Changes(int watch) const {
  const auto it = changes_.find(watch);
  return it == changes_.end() ? 0 : it->second;
}

TFolderCache::TKeptMap::iterator TFolderCache::Erase(TKeptMap::iterator it) {
  keptEntries_ -= it->second.listing->files.size() + it->second.listing->folders.size();
  return kept_.erase(it);
}

void TFolderCache::Drop(TKeptMap::iterator it) {
  const int watch = it->second.watch;
  Erase(it);
  ReleaseWatch(watch);
}

void TFolderCache::ReleaseWatch(int watch) {
  const bool used = std::any_of(kept_.begin(), kept_.end(),
                                [&](const auto& k) { return k.second.watch == watch; });
  if (!used && notify_.valid()) ::inotify_rm_watch(notify_.get(), watch);
}

void TFolderCache::Forget(int watch, bool ended) {
  for (auto it = kept_.begin(); it != kept_.end();) {
    if (it->second.watch == watch) {
      it = Erase(it);
    } else {
      ++it;
    }
  }
  if (!ended && notify_.valid()) ::inotify_rm_watch(notify_.get(), watch);
}

void TFolderCache::TakeEvents() {
  if (!notify_.valid()) return;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = ::read(notify_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED)) {
        // Events were lost, or a watch ended (its number may come back).
        ++allChanges_;
        if (event->mask & IN_Q_OVERFLOW) {
          while (!kept_.empty()) Drop(kept_.begin());
        } else {
          Forget(event->wd, true);
          changes_.erase(event->wd);
        }
        continue;
      }
      ++changes_[event->wd];
      Forget(event->wd, false);
    }
  }
}
