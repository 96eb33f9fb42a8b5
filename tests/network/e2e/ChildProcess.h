// A program started by a test, with its standard output and error readable
// line by line; terminated and reaped when the object goes.
#pragma once

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

class TChildProcess {
 public:
  // Starts program with args; extraEnv entries ("NAME=value") replace or add
  // to the test's environment.
  TChildProcess(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& extraEnv = {}) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    readFd_.reset(out[0]);
    UniqueFd writeEnd(out[1]);
    std::vector<std::string> argStore = {program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const auto& extra : extraEnv) {
        if (entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1)) {
          replaced = true;
        }
      }
      if (!replaced) envStore.push_back(entry);
    }
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }

  ~TChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }

  // The next output line (without its line end), or "" when none came in time.
  std::string ReadLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (const auto nl = buffered_.find('\n'); nl != std::string::npos) {
        std::string line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        output_ += line + "\n";
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || !Fill(static_cast<int>(left))) return {};
    }
  }

  // Reads lines until one contains text; returns it, or "" on time-out or end.
  std::string WaitForLine(const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      const std::string line = ReadLine(static_cast<int>(left));
      if (line.find(text) != std::string::npos) return line;
      if (line.empty() && eof_) return {};
    }
    return {};
  }

  // Everything the program wrote until it exits (or the time is up), and its
  // exit code (-1 when it did not exit by itself in time).
  int WaitExit(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof_ && std::chrono::steady_clock::now() < deadline) {
      Fill(100);
    }
    output_ += buffered_;
    buffered_.clear();
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }

  int Terminate(int timeoutMs) {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    return WaitExit(timeoutMs);
  }

  // All output read so far.
  const std::string& Output() const { return output_; }

 private:
  bool Fill(int timeoutMs) {
    if (eof_) return false;
    pollfd p{readFd_.get(), POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::read(readFd_.get(), chunk, sizeof chunk);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    buffered_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  UniqueFd readFd_;
  bool eof_ = false;
  std::string buffered_;
  std::string output_;
};
