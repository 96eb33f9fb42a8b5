// Worker threads kept for reuse: a job goes to a waiting thread when there is
// one and to a new detached thread otherwise.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// Threads are detached: a job runs to its end whatever happens to the pool's
// users, and the pool's state lives as long as its last thread (shared). After
// its job a thread waits up to idleMs for another one, unless maxIdle threads
// already wait, and then ends. Thread-safe.
class TWorkerPool {
 public:
  // onThreadStart runs once on every new thread, before its first job.
  TWorkerPool(int maxIdle, int idleMs, std::function<void()> onThreadStart = {});
  ~TWorkerPool();  // wakes the waiting threads, which then end
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  // Runs job on a waiting thread or a new one. False (job not run, and
  // destroyed) when no thread can be made.
  bool Run(std::function<void()> job);

  int IdleThreads() const;
  int LiveThreads() const;  // waiting or running a job
  std::size_t ThreadsStarted() const;

 private:
  struct TState {
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    int idle = 0;
    int live = 0;
    std::size_t started = 0;
    bool closing = false;
    int maxIdle = 0;
    int idleMs = 0;
    std::function<void()> onThreadStart;
  };
  static void ThreadMain(std::shared_ptr<TState> state, std::function<void()> first);

  std::shared_ptr<TState> state_;
};
