// Worker threads kept for reuse.
#include "server/WorkerPool.h"

#include <chrono>
#include <thread>

TWorkerPool::TWorkerPool(int maxIdle, int idleMs, std::function<void()> onThreadStart)
    : state_(std::make_shared<TState>()) {
  state_->maxIdle = maxIdle;
  state_->idleMs = idleMs;
  state_->onThreadStart = std::move(onThreadStart);
}

TWorkerPool::~TWorkerPool() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->closing = true;
  }
  state_->wake.notify_all();
}

bool TWorkerPool::Run(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    // More queued jobs than waiting threads never happens: a job is queued
    // only for a thread that waits and has not been handed one yet.
    if (state_->idle > static_cast<int>(state_->jobs.size())) {
      state_->jobs.push_back(std::move(job));
      state_->wake.notify_one();
      return true;
    }
    ++state_->live;
    ++state_->started;
  }
  try {
    std::thread(ThreadMain, state_, std::move(job)).detach();
    return true;
  } catch (...) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    --state_->live;
    --state_->started;
    return false;
  }
}

void TWorkerPool::ThreadMain(std::shared_ptr<TState> state, std::function<void()> first) {
  if (state->onThreadStart) state->onThreadStart();
  std::function<void()> job = std::move(first);
  for (;;) {
    try {
      job();
    } catch (...) {
      // A job reports its own failures; the thread stays usable.
    }
    job = nullptr;  // frees what the job held before the thread waits
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->closing || state->idle >= state->maxIdle) break;
    ++state->idle;
    const bool got = state->wake.wait_for(lock, std::chrono::milliseconds(state->idleMs),
                                          [&] { return !state->jobs.empty() || state->closing; });
    --state->idle;
    if (!got || state->jobs.empty()) break;
    job = std::move(state->jobs.front());
    state->jobs.pop_front();
  }
  std::lock_guard<std::mutex> lock(state->mutex);
  --state->live;
}

int TWorkerPool::IdleThreads() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->idle - static_cast<int>(state_->jobs.size());
}

int TWorkerPool::LiveThreads() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->live;
}

std::size_t TWorkerPool::ThreadsStarted() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->started;
}
