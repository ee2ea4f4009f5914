#include "support/process/process.hpp"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include "fakes/processes.hpp"
#include "fakes/test_http_server.hpp"
#include "support/errors.hpp"

using namespace std::chrono_literals;
using dravik::testing::eventually_gone;
using dravik::testing::run_until_done;
namespace asio = boost::asio;
namespace proc = dravik::proc;

namespace {

// True when this process has no child left, not even a zombie.
bool no_children_left() {
  siginfo_t info{};
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ProcessTest : public ::testing::Test {
 protected:
  asio::io_context io;
  void TearDown() override { EXPECT_TRUE(no_children_left()); }
};

}  // namespace

TEST_F(ProcessTest, RunCapturesBothStreamsAndTheExitCode) {
  auto r = run_until_done(io, proc::run({"sh", "-c", "echo out; echo err >&2; exit 3"}));
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_FALSE(r.timed_out);
}

TEST_F(ProcessTest, StandardInputBytesReachTheChild) {
  proc::RunOptions o;
  o.stdin_bytes = "ALL ALL=(ALL) NOPASSWD: /usr/bin/jetson_clocks \"\"\n";
  auto r = run_until_done(io, proc::run({"cat"}, o));
  EXPECT_EQ(r.out, *o.stdin_bytes);
}

TEST_F(ProcessTest, InputForAChildThatAlreadyExitedDoesNotKillTheHost) {
  // `true` exits without reading; the write then meets a closed pipe.
  proc::SpawnOptions o;
  o.argv = {"true"};
  o.in = proc::Stdio::pipe;
  run_until_done(io, [&]() -> asio::awaitable<void> {
    auto child = proc::Child::spawn(co_await asio::this_coro::executor, o);
    EXPECT_EQ(co_await child.wait(), 0);
    child.write_stdin_and_close("ALL ALL=(ALL) NOPASSWD: /usr/bin/jetson_clocks \"\"\n");
  }());
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  proc::RunOptions big;
  big.stdin_bytes = std::string(70000, 'x');
  EXPECT_THROW(run_until_done(io, proc::run({"cat"}, big)), dravik::ValueError);
}

TEST_F(ProcessTest, CancellingRunKillsAndReapsTheChild) {
  asio::cancellation_signal sig;
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(io, proc::run({"sleep", "30"}),
                 asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr e, proc::RunResult) {
                   error = e;
                   done = true;
                 }));
  asio::steady_timer t(io, 100ms);
  t.async_wait([&](auto) { sig.emit(asio::cancellation_type::terminal); });
  while (!done) io.run_one();
  EXPECT_TRUE(dravik::is_cancellation(error)) << dravik::error_text(error);
  io.run();  // the background end of the child's group
}

TEST_F(ProcessTest, AKilledChildReportsTheNegativeSignal) {
  auto r = run_until_done(io, proc::run({"sh", "-c", "kill -9 $$"}));
  EXPECT_EQ(r.exit_status, -9);
}

TEST_F(ProcessTest, AChildThatIgnoresSigtermIsKilledAfterTheGrace) {
  proc::RunOptions o;
  o.timeout = 300ms;
  o.kill_grace = 200ms;
  auto r = run_until_done(io, proc::run({"sh", "-c", "trap '' TERM; echo started; while :; do sleep 0.05; done"}, o));
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.exit_status, -9);
  EXPECT_EQ(r.out, "started\n");
}

TEST_F(ProcessTest, AnObedientChildDiesBySigtermOnTimeOut) {
  proc::RunOptions o;
  o.timeout = 200ms;
  auto r = run_until_done(io, proc::run({"sleep", "30"}, o));
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.exit_status, -15);
}

TEST_F(ProcessTest, AGrandchildHoldingThePipesDoesNotHangRunAndIsKilled) {
  proc::RunOptions o;
  o.drain_grace = 200ms;
  // The background sleep keeps stdout and stderr open after sh exits.
  auto r = run_until_done(io, proc::run({"sh", "-c", "sleep 30 & echo $!; exit 0"}, o));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(eventually_gone(std::stoi(r.out)));
}

// A build tool's compilers: cancelling or timing out the run ends them too.
TEST_F(ProcessTest, TimeOutAndCancellationEndTheWholeProcessGroup) {
  const std::string pidfile = "/tmp/dravik-grandchild-" + std::to_string(::getpid());
  const std::vector<std::string> argv = {"sh", "-c", "sleep 30 & echo $! > " + pidfile + "; wait"};
  proc::RunOptions o;
  o.timeout = 300ms;
  o.kill_grace = 100ms;
  auto r = run_until_done(io, proc::run(argv, o));
  EXPECT_TRUE(r.timed_out);
  EXPECT_TRUE(eventually_gone(std::stoi(read_all(pidfile))));

  asio::cancellation_signal sig;
  bool done = false;
  io.restart();
  asio::co_spawn(io, proc::run(argv, {}),
                 asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr, proc::RunResult) { done = true; }));
  asio::steady_timer t(io, 300ms);
  t.async_wait([&](auto) { sig.emit(asio::cancellation_type::terminal); });
  while (!done) io.run_one();
  io.run();
  EXPECT_TRUE(eventually_gone(std::stoi(read_all(pidfile))));
  ::unlink(pidfile.c_str());
}

// A child stuck in the kernel (stood in for by a kill signal that does not
// kill) costs a bounded wait; it is reaped in the background once it dies.
TEST_F(ProcessTest, AChildThatDoesNotDieOnKillIsLeftToTheBackgroundReaper) {
  auto saved = proc::detail::seams();
  proc::detail::seams().kill_signal = SIGCONT;
  proc::detail::seams().after_kill_wait = 100ms;
  pid_t pid = 0;
  run_until_done(io, [&]() -> asio::awaitable<void> {
    proc::SpawnOptions so;
    so.argv = {"sh", "-c", "trap '' TERM; exec sleep 30"};
    auto child = proc::Child::spawn(co_await asio::this_coro::executor, so);
    pid = child.pid();
    asio::steady_timer settle(co_await asio::this_coro::executor, 100ms);  // until the trap is set
    co_await settle.async_wait(asio::use_awaitable);
    EXPECT_EQ(co_await child.terminate(50ms), -SIGKILL);
    // The handle goes without blocking on the child.
  }());
  proc::detail::seams() = saved;
  ASSERT_EQ(::kill(pid, 0), 0) << "the child should still run";
  ::kill(pid, SIGKILL);
  io.run();  // the reaper ends once the child is reaped
}

// Programs the host starts itself (system(), fork + exec) while we wait for
// a child must not inherit our descriptors.
TEST_F(ProcessTest, DescriptorsMadeWhileWaitingAreCloseOnExec) {
  run_until_done(io, [&]() -> asio::awaitable<void> {
    auto ex = co_await asio::this_coro::executor;
    proc::SpawnOptions so;
    so.argv = {"sleep", "0.3"};
    auto child = proc::Child::spawn(ex, so);
    bool checked = false;
    asio::steady_timer t(ex, 50ms);
    t.async_wait([&](auto) {
      const std::string out = "/tmp/dravik-fds-" + std::to_string(::getpid());
      EXPECT_EQ(std::system(("ls -l /proc/$$/fd > " + out + " 2>&1").c_str()), 0);
      const std::string listing = read_all(out);
      EXPECT_EQ(listing.find("pidfd"), std::string::npos) << listing;
      ::unlink(out.c_str());
      checked = true;
    });
    EXPECT_EQ(co_await child.wait(), 0);
    EXPECT_TRUE(checked);
  }());
}

TEST_F(ProcessTest, OnlyTheStandardDescriptorsAreInherited) {
  int leaked = ::open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
  ASSERT_GE(leaked, 3);
  auto r = run_until_done(io, proc::run({"sh", "-c", "ls /proc/$$/fd"}));
  ::close(leaked);
  std::istringstream in(r.out);
  std::set<std::string> fds;
  for (std::string l; std::getline(in, l);) fds.insert(l);
  EXPECT_EQ(fds.count(std::to_string(leaked)), 0u) << r.out;
  EXPECT_EQ(fds.count("0"), 1u);
}

TEST_F(ProcessTest, BlockedSignalsOfTheHostAreNotInherited) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &block, &old);
  proc::RunOptions o;
  o.timeout = 200ms;
  o.kill_grace = 2s;
  auto r = run_until_done(io, proc::run({"sleep", "30"}, o));
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(r.exit_status, -15);
}

TEST_F(ProcessTest, AMissingProgramIsFileNotFound) {
  EXPECT_THROW(run_until_done(io, proc::run({"/nonexistent/dravik-test"})), dravik::FileNotFoundError);
  EXPECT_THROW(run_until_done(io, proc::run({"dravik-no-such-program-xyz"})), dravik::FileNotFoundError);
}

TEST_F(ProcessTest, ReadLineSplitsLinesAndCapsLongOnes) {
  run_until_done(io, [&]() -> asio::awaitable<void> {
    proc::SpawnOptions o;
    o.argv = {"sh", "-c", "printf 'one\\n'; printf '%0300d\\n' 0; printf 'tail-without-newline'"};
    o.out = proc::Stdio::pipe;
    auto child = proc::Child::spawn(co_await asio::this_coro::executor, o);
    auto out = child.take_stdout();
    EXPECT_EQ(co_await out->read_line(100), "one");
    auto capped = co_await out->read_line(100);
    EXPECT_EQ(capped, std::string(100, '0'));
    EXPECT_EQ(co_await out->read_line(100), "tail-without-newline");
    EXPECT_EQ(co_await out->read_line(100), std::nullopt);
    EXPECT_EQ(co_await child.wait(), 0);
  }());
}

TEST_F(ProcessTest, ANewProcessGroupIsLedByTheChild) {
  run_until_done(io, [&]() -> asio::awaitable<void> {
    proc::SpawnOptions o;
    o.argv = {"sleep", "30"};
    o.new_process_group = true;
    auto child = proc::Child::spawn(co_await asio::this_coro::executor, o);
    EXPECT_EQ(::getpgid(child.pid()), child.pid());
    EXPECT_EQ(co_await child.wait_for(50ms), std::nullopt);
    EXPECT_EQ(co_await child.terminate(2s), -15);
  }());
}

TEST_F(ProcessTest, DroppingARunningChildKillsAndReapsIt) {
  pid_t pid = 0;
  {
    proc::SpawnOptions o;
    o.argv = {"sleep", "30"};
    auto child = proc::Child::spawn(io.get_executor(), o);
    pid = child.pid();
  }
  EXPECT_NE(::kill(pid, 0), 0);
}

TEST_F(ProcessTest, EnvironmentAndWorkingDirectoryAreTheCallers) {
  proc::RunOptions o;
  o.env = proc::Environment{{"ONLY", "this"}};
  o.cwd = "/tmp";
  auto r = run_until_done(io, proc::run({"/bin/sh", "-c", "echo $ONLY:$HOME:$(pwd)"}, o));
  EXPECT_EQ(r.out, "this::/tmp\n");
}

TEST(Which, FindsExecutablesOnPath) {
  EXPECT_TRUE(proc::which("sh").has_value());
  EXPECT_FALSE(proc::which("dravik-no-such-program-xyz").has_value());
}

// ------------------------------------------- every descendant, setsid included

namespace {

// A command whose descendants leave its process group: one keeps its
// parent (a setsid'd background job that ignores SIGTERM), one is orphaned
// at once (started from a subshell that exits). Both write their pids and
// the command says "ready" once both are there.
std::vector<std::string> escaping_command(const std::string& dir) {
  const std::string a = dir + "/a", b = dir + "/b";
  return {"sh", "-c",
          "setsid sh -c 'trap \"\" TERM; echo $$ > " + a + ".tmp; mv " + a + ".tmp " + a +
              "; exec sleep 120' > /dev/null 2>&1 &\n"
              "(setsid sh -c 'echo $$ > " + b + ".tmp; mv " + b + ".tmp " + b +
              "; exec sleep 120' > /dev/null 2>&1 &)\n"
              "while [ ! -s " + a + " ] || [ ! -s " + b + " ]; do sleep 0.02; done; echo ready; sleep 120"};
}

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/dravik-descendants-XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  pid_t pid(const char* name) const {
    const std::string text = read_all(path + "/" + name);
    return text.empty() ? 0 : static_cast<pid_t>(std::stol(text));
  }
};

}  // namespace

TEST_F(ProcessTest, TimeOutAndCancellationEndDescendantsThatLeftTheGroup) {
  proc::RunOptions o;
  o.end_descendants = true;
  o.timeout = 10s;  // ample for the command to start its children and write their pids
  o.kill_grace = 100ms;
  {
    TempDir d;
    auto r = run_until_done(io, proc::run(escaping_command(d.path), o));
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.out, "ready\n");
    ASSERT_GT(d.pid("a"), 0);
    ASSERT_GT(d.pid("b"), 0);
    EXPECT_TRUE(eventually_gone(d.pid("a")));
    EXPECT_TRUE(eventually_gone(d.pid("b")));
  }
  {
    // Cancelled as soon as the command is ready.
    TempDir d;
    o.timeout.reset();
    asio::cancellation_signal sig;
    o.on_output = [&](std::string_view) { sig.emit(asio::cancellation_type::terminal); };
    bool done = false;
    io.restart();
    asio::co_spawn(io, proc::run(escaping_command(d.path), o),
                   asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr, proc::RunResult) { done = true; }));
    while (!done) io.run_one();
    io.run();  // the background termination
    ASSERT_GT(d.pid("a"), 0);
    EXPECT_TRUE(eventually_gone(d.pid("a")));
    EXPECT_TRUE(eventually_gone(d.pid("b")));
  }
}

TEST_F(ProcessTest, AfterANormalExitBackgroundProcessesStayAndTheStatusPassesThrough) {
  proc::RunOptions o;
  o.end_descendants = true;
  auto r = run_until_done(
      io, proc::run({"sh", "-c", "setsid sleep 120 > /dev/null 2>&1 & sleep 120 > /dev/null 2>&1 & echo $!; exit 7"}, o));
  EXPECT_EQ(r.exit_status, 7);
  const pid_t kept = static_cast<pid_t>(std::stol(r.out));
  EXPECT_EQ(::kill(kept, 0), 0) << "a background process of a command that exited was ended";
  ::kill(kept, SIGKILL);
  EXPECT_EQ(run_until_done(io, proc::run({"sh", "-c", "kill -9 $$"}, o)).exit_status, -9);
  // The keeper passes on only the standard descriptors and the directory.
  int leaked = ::open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
  ASSERT_GE(leaked, 3);
  o.cwd = "/tmp";
  const std::string listing = run_until_done(io, proc::run({"sh", "-c", "pwd; ls /proc/$$/fd"}, o)).out;
  ::close(leaked);
  EXPECT_EQ(listing, "/tmp\n0\n1\n2\n");
  EXPECT_THROW(run_until_done(io, proc::run({"dravik-no-such-program-xyz"}, o)), dravik::FileNotFoundError);
}
