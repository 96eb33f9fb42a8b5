// Reuse, idle limit, idle time and shutdown of the worker threads.
#include "server/WorkerPool.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

template <typename F>
bool WaitFor(F condition, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

int ThreadsOfProcess() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

TEST(WorkerPool, SequentialJobsReuseOneThread) {
  std::atomic<int> starts{0};
  TWorkerPool pool(4, 60000, [&] { ++starts; });
  std::set<std::thread::id> threads;
  for (int i = 0; i < 5; ++i) {
    std::promise<std::thread::id> ran;
    ASSERT_TRUE(pool.Run([&] { ran.set_value(std::this_thread::get_id()); }));
    threads.insert(ran.get_future().get());
    ASSERT_TRUE(WaitFor([&] { return pool.IdleThreads() == 1; }));
  }
  EXPECT_EQ(1u, threads.size());
  EXPECT_EQ(1u, pool.ThreadsStarted());
  EXPECT_EQ(1, starts.load());
}

TEST(WorkerPool, BusyThreadsGetCompanyAndOnlyMaxIdleStay) {
  TWorkerPool pool(2, 60000);
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<int> running{0};
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(pool.Run([&, gate] {
      ++running;
      gate.wait();
    }));
  ASSERT_TRUE(WaitFor([&] { return running == 5; }));
  EXPECT_EQ(5u, pool.ThreadsStarted());
  EXPECT_EQ(5, pool.LiveThreads());
  EXPECT_EQ(0, pool.IdleThreads());
  release.set_value();
  EXPECT_TRUE(WaitFor([&] { return pool.LiveThreads() == 2; }));
  EXPECT_EQ(2, pool.IdleThreads());
  // Both waiting threads take work again; no new thread is made.
  std::atomic<int> done{0};
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(pool.Run([&] { ++done; }));
  EXPECT_TRUE(WaitFor([&] { return done == 2 && pool.IdleThreads() == 2; }));
  EXPECT_EQ(5u, pool.ThreadsStarted());
}

TEST(WorkerPool, IdleThreadsEndAfterIdleTime) {
  TWorkerPool pool(4, 20);
  std::atomic<int> done{0};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.Run([&] { ++done; }));
  EXPECT_TRUE(WaitFor([&] { return done == 3 && pool.LiveThreads() == 0; }));
  // A later job is still run, on a new thread.
  ASSERT_TRUE(pool.Run([&] { ++done; }));
  EXPECT_TRUE(WaitFor([&] { return done == 4; }));
}

TEST(WorkerPool, DestructionEndsWaitingThreadsAndLetsRunningJobsFinish) {
  const int before = ThreadsOfProcess();
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<bool> finished{false};
  {
    TWorkerPool pool(4, 60000);
    // Two threads at once, so that one still waits after the next hand-over.
    std::promise<void> both;
    std::shared_future<void> bothGate = both.get_future().share();
    std::atomic<int> started{0};
    for (int i = 0; i < 2; ++i)
      ASSERT_TRUE(pool.Run([&, bothGate] {
        ++started;
        bothGate.wait();
      }));
    ASSERT_TRUE(WaitFor([&] { return started == 2; }));
    both.set_value();
    ASSERT_TRUE(WaitFor([&] { return pool.IdleThreads() == 2; }));
    // Hands the job to a waiting thread; it must outlive the pool.
    ASSERT_TRUE(pool.Run([gate, &finished] {
      gate.wait();
      finished = true;
    }));
  }
  release.set_value();
  EXPECT_TRUE(WaitFor([&] { return finished.load(); }));
  EXPECT_TRUE(WaitFor([&] { return ThreadsOfProcess() <= before; }))
      << ThreadsOfProcess() << " threads, " << before << " before";
}

}  // namespace
