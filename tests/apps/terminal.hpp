// dravik chat in a pseudo-terminal, for the tests of the interactive
// session against the fake and the real llama-server.
#pragma once

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process/process.hpp"

namespace dravik::testing {

// dravik chat in a pseudo-terminal, as a person at a terminal sees it.
struct Terminal {
  int master = -1;
  pid_t pid = -1;
  std::string screen;
  std::size_t from = 0;  // what has been read already

  // Runs `dravik chat ARGS...`.
  Terminal(const std::string& dravik, const std::filesystem::path& cwd, const proc::Environment& env,
           std::vector<std::string> args = {}) {
    args.insert(args.begin(), {dravik, "chat"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      if (::chdir(cwd.c_str()) != 0) _exit(127);
      for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
      ::execv(dravik.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    ::close(master);
  }
  // Reads until `what` appears after what was seen before (bounded: 20 s
  // unless told).
  bool read_until(const std::string& what, std::chrono::seconds bound = std::chrono::seconds(20)) {
    for (long i = 0; i < bound.count() * 20 && screen.find(what, from) == std::string::npos; ++i) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) {
        char buf[4096];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) screen.append(buf, static_cast<std::size_t>(n));
      }
    }
    const auto at = screen.find(what, from);
    if (at == std::string::npos) return false;
    from = at + what.size();
    return true;
  }
  // Reads until at least `n` more characters than seen before have arrived
  // (bounded).
  bool read_more(std::size_t n, std::chrono::seconds bound = std::chrono::seconds(20)) {
    for (long i = 0; i < bound.count() * 20 && screen.size() < from + n; ++i) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) {
        char buf[4096];
        const ssize_t n_read = ::read(master, buf, sizeof buf);
        if (n_read > 0) screen.append(buf, static_cast<std::size_t>(n_read));
      }
    }
    if (screen.size() < from + n) return false;
    from += n;
    return true;
  }
  void type(const std::string& s) { EXPECT_EQ(::write(master, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  // The exit status once the program has ended (bounded wait), or -1.
  int wait_exit() {
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(50000);
    }
    return -1;
  }
};

}  // namespace dravik::testing
