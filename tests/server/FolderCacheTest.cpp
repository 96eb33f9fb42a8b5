// Kept folder listings: reused while nothing changes, and equal to a fresh
// listing after every kind of change, including those no folder event tells.
#include "server/FolderCache.h"

#include "ServerFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using servertest::SetTime;
using servertest::WriteAll;

// The entries as text, with everything a page shows of them.
std::string Describe(const std::vector<TFolderEntry>& entries) {
  std::string text;
  for (const TFolderEntry& e : entries) {
    text += e.name + " " + std::to_string(e.size) + " " + std::to_string(e.modified.tv_sec) + "." +
            std::to_string(e.modified.tv_nsec) + (e.directory ? " d" : "") +
            (e.regular ? " r" : "") + "\n";
  }
  return text;
}

std::string Describe(const TFolderListing& listing) {
  return "files:\n" + Describe(listing.files) + "folders:\n" + Describe(listing.folders);
}

std::string FreshListing(const std::string& folder) {
  TFolderListing listing;
  ListFolder(folder, listing.files, listing.folders);
  return Describe(listing);
}

void Append(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "ab");
  ASSERT_NE(nullptr, f);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// A shared folder with a file, a picture, a subfolder, a link to a file
// outside and a second name of a file outside.
struct Folders {
  Folders() {
    EXPECT_EQ(0, ::mkdir(shared.c_str(), 0755));
    EXPECT_EQ(0, ::mkdir(outside.c_str(), 0755));
    EXPECT_EQ(0, ::mkdir((shared + "sub").c_str(), 0755));
    WriteAll(shared + "a.txt", "aaa");
    WriteAll(shared + "b.jpg", "bb");
    WriteAll(outside + "target.txt", "t");
    EXPECT_EQ(0, ::symlink((outside + "target.txt").c_str(), (shared + "link.txt").c_str()));
    WriteAll(outside + "twin.txt", "2");
    EXPECT_EQ(0, ::link((outside + "twin.txt").c_str(), (shared + "twin.txt").c_str()));
    // Times in the past, so that a change made now shows as a new time.
    for (const char* name : {"a.txt", "b.jpg", "sub", "twin.txt"}) SetTime(shared + name, 1000000);
  }

  TempFolder temp;
  const std::string shared = temp.Slash() + "shared/";
  const std::string outside = temp.Slash() + "outside/";
};

TEST(FolderCache, KeptListingIsReusedUntilSomethingChanges) {
  Folders f;
  const std::string& shared = f.shared;
  TFolderCache cache;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(FreshListing(shared), Describe(*cache.List(shared)));
  EXPECT_EQ(1u, cache.KeptListings());
  EXPECT_EQ(1u, cache.FoldersRead());
  Append(shared + "a.txt", "more");
  EXPECT_EQ(FreshListing(shared), Describe(*cache.List(shared)));
  EXPECT_EQ(2u, cache.FoldersRead());
  EXPECT_EQ(FreshListing(shared), Describe(*cache.List(shared)));
  EXPECT_EQ(2u, cache.FoldersRead());
}

TEST(FolderCache, EveryChangeShowsAtOnce) {
  // Each change is made to a new copy of the folders.
  const std::vector<std::pair<const char*, std::function<void(const Folders&)>>> changes = {
      {"a file written", [](const Folders& f) { Append(f.shared + "a.txt", "1234"); }},
      {"a file created", [](const Folders& f) { WriteAll(f.shared + "new.txt", "n"); }},
      {"a file deleted", [](const Folders& f) { ::unlink((f.shared + "b.jpg").c_str()); }},
      {"a file renamed",
       [](const Folders& f) {
         ::rename((f.shared + "a.txt").c_str(), (f.shared + "renamed.txt").c_str());
       }},
      {"a file's time set", [](const Folders& f) { SetTime(f.shared + "a.txt", 2000000); }},
      {"a file moved in",
       [](const Folders& f) {
         WriteAll(f.outside + "in.txt", "in");
         ::rename((f.outside + "in.txt").c_str(), (f.shared + "in.txt").c_str());
       }},
      {"a file became a folder",
       [](const Folders& f) {
         ::unlink((f.shared + "a.txt").c_str());
         ::mkdir((f.shared + "a.txt").c_str(), 0755);
       }},
      // No event of the shared folder tells these three.
      {"a subfolder's content changed",
       [](const Folders& f) { WriteAll(f.shared + "sub/inner.txt", "i"); }},
      {"a link's target written",
       [](const Folders& f) { Append(f.outside + "target.txt", "longer"); }},
      {"a file written through its other name",
       [](const Folders& f) { Append(f.outside + "twin.txt", "22"); }},
  };
  for (const auto& [what, change] : changes) {
    SCOPED_TRACE(what);
    Folders f;
    TFolderCache cache;
    const std::string before = Describe(*cache.List(f.shared));
    ASSERT_EQ(1u, cache.KeptListings());
    change(f);
    const std::string after = FreshListing(f.shared);
    EXPECT_NE(before, after);
    EXPECT_EQ(after, Describe(*cache.List(f.shared)));
  }
}

TEST(FolderCache, PathThatLeadsElsewhereIsListedAgain) {
  Folders f;
  const std::string& shared = f.shared;
  TFolderCache cache;
  const std::string first = Describe(*cache.List(shared));
  // The folder is moved away and another takes its path: no event of the
  // watched folder tells it.
  ASSERT_EQ(
      0, ::rename(shared.substr(0, shared.size() - 1).c_str(), (f.temp.Slash() + "moved").c_str()));
  ASSERT_EQ(0, ::mkdir(shared.c_str(), 0755));
  WriteAll(shared + "other.txt", "o");
  const std::string second = Describe(*cache.List(shared));
  EXPECT_NE(first, second);
  EXPECT_EQ(FreshListing(shared), second);
  // And a path that leads nowhere lists nothing.
  EXPECT_EQ("files:\nfolders:\n", Describe(*cache.List(f.temp.Slash() + "missing/")));
}

TEST(FolderCache, KeepsABoundedNumberOfListings) {
  TempFolder temp;
  TFolderCache cache;
  for (int i = 0; i < 80; ++i) {
    const std::string folder = temp.Slash() + "many" + std::to_string(i) + "/";
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0755));
    WriteAll(folder + "f.txt", std::to_string(i));
    EXPECT_EQ(FreshListing(folder), Describe(*cache.List(folder)));
  }
  EXPECT_GT(cache.KeptListings(), 0u);
  EXPECT_LE(cache.KeptListings(), 64u);
}

}  // namespace
