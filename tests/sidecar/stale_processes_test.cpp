// Stale-process cleanup against the real process table. These tests kill
// every same-user "llama-server" and "ollama": ctest runs them alone.
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "sidecar_env.hpp"
#include "support/process/process.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

namespace {

proc::Child spawn_named(asio::io_context& io, const std::string& name, const std::string& script) {
  proc::SpawnOptions o;
  o.argv = {"bash", "-c", "exec -a '" + name + "' sh -c '" + script + "'"};
  return proc::Child::spawn(io.get_executor(), o);
}

// Lets bash exec into the renamed programs.
void settle(asio::io_context& io) {
  run_until_done(io, [&]() -> asio::awaitable<void> {
    asio::steady_timer t(io, 300ms);
    co_await t.async_wait(asio::use_awaitable);
  }());
}

}  // namespace

TEST(StaleProcesses, ServersOfThisUserAreTerminatedOrKilled) {
  SidecarEnv env;
  sidecar::detail::seams().root = "";  // the real /proc
  asio::io_context io;
  auto obedient = spawn_named(io, "llama-server", "sleep 30");
  auto stubborn = spawn_named(io, "llama-server", "trap \"\" TERM; while :; do sleep 0.05; done");
  auto ollama = spawn_named(io, "ollama", "sleep 30");
  auto other = spawn_named(io, "llama-server-old", "sleep 30");
  settle(io);
  auto c = env.client(io);
  run_until_done(io, c->_cleanup_stale_inference_processes());
  const Event* e = env.find_event("runtime_llama_cleanup_stale_processes");
  ASSERT_TRUE(e);
  EXPECT_GE(e->payload["stale_pid_count"].get<int>(), 3);
  std::set<pid_t> listed;
  for (const auto& p : e->payload["stale_pids"]) listed.insert(p.get<pid_t>());
  EXPECT_TRUE(listed.count(obedient.pid()));
  EXPECT_TRUE(listed.count(stubborn.pid()));
  EXPECT_FALSE(listed.count(other.pid()));
  EXPECT_EQ(run_until_done(io, obedient.wait()), -SIGTERM);
  EXPECT_EQ(run_until_done(io, stubborn.wait()), -SIGKILL);
  EXPECT_EQ(run_until_done(io, ollama.wait()), -SIGTERM);
  EXPECT_EQ(run_until_done(io, other.wait_for(10ms)), std::nullopt);
}

TEST(StaleProcesses, TwelveServersAreAllSignalledAndEightListed) {
  SidecarEnv env;
  sidecar::detail::seams().root = "";
  asio::io_context io;
  std::vector<proc::Child> servers;
  for (int i = 0; i < 12; ++i) servers.push_back(spawn_named(io, "llama-server", "sleep 30"));
  settle(io);
  auto c = env.client(io);
  run_until_done(io, c->_cleanup_stale_inference_processes());
  const Event* e = env.find_event("runtime_llama_cleanup_stale_processes");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->payload["stale_pid_count"], 12);
  EXPECT_EQ(e->payload["stale_pids"].size(), 8u);
  for (auto& s : servers) EXPECT_EQ(run_until_done(io, s.wait()), -SIGTERM);
}

// The stale server exits on SIGTERM and, before the cleanup's SIGKILL round,
// its pid is taken by an unrelated process: that process is never hit.
TEST(StaleProcesses, APidReusedDuringTheCleanupIsNeverSignalled) {
  if (::access("/proc/sys/kernel/ns_last_pid", W_OK) != 0) GTEST_SKIP() << "cannot choose the next pid here";
  SidecarEnv env;
  sidecar::detail::seams().root = "";
  sidecar::detail::seams().cleanup_term_wait = 400ms;
  asio::io_context io;
  auto stale = spawn_named(io, "llama-server", "sleep 30");
  settle(io);
  const pid_t reused = stale.pid();
  std::optional<proc::Child> innocent;
  asio::steady_timer t(io, 200ms);
  t.async_wait([&](auto) {
    ASSERT_TRUE(stale.poll());  // exited on SIGTERM, reaped: its pid is free
    std::ofstream("/proc/sys/kernel/ns_last_pid") << reused - 1;
    proc::SpawnOptions o;
    o.argv = {"sleep", "30"};
    innocent.emplace(proc::Child::spawn(io.get_executor(), o));
  });
  auto c = env.client(io);
  run_until_done(io, c->_cleanup_stale_inference_processes());
  ASSERT_TRUE(innocent);
  if (innocent->pid() != reused) GTEST_SKIP() << "another process took the pid first";
  EXPECT_FALSE(innocent->poll()) << "the process that reused the pid was killed";
}
