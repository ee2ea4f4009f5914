// The eviction cycle over a scripted target: every failure row, the status
// texts in order, and what happens when the command fails or is cancelled.
#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include "eviction/log_capture.hpp"
#include "eviction_coordinator/eviction_coordinator.hpp"
#include "fakes/host_doubles.hpp"
#include "fakes/test_http_server.hpp"
#include "support/errors.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;
using eviction_coordinator::EvictionCoordinator;
using eviction_coordinator::SwapResult;

namespace {

struct ScriptedTarget : eviction_target::EvictionTarget {
  std::vector<std::string> calls;
  std::vector<std::filesystem::path> dirs;
  bool save_result = true, restore_result = true;
  std::exception_ptr save_error, unload_error, reload_error, restore_error;
  double available = 0, model = 2500;
  int model_queries = 0;
  // Awaited inside unload and reload: a slow server.
  std::function<asio::awaitable<void>()> during_unload, during_reload;

  static void raise(const std::exception_ptr& e) {
    if (e) std::rethrow_exception(e);
  }
  asio::awaitable<bool> save_state(std::filesystem::path d) override {
    calls.push_back("save_state");
    dirs.push_back(d);
    raise(save_error);
    co_return save_result;
  }
  asio::awaitable<void> unload() override {
    calls.push_back("unload");
    if (during_unload) co_await during_unload();
    raise(unload_error);
  }
  asio::awaitable<void> reload() override {
    calls.push_back("reload");
    if (during_reload) co_await during_reload();
    raise(reload_error);
  }
  asio::awaitable<bool> restore_state(std::filesystem::path d) override {
    calls.push_back("restore_state");
    dirs.push_back(d);
    raise(restore_error);
    co_return restore_result;
  }
  double available_memory_mb() override { return available; }
  double model_memory_mb() override {
    ++model_queries;
    return model;
  }
};

std::exception_ptr boom(const char* what = "boom") { return std::make_exception_ptr(RuntimeError(what)); }

class Coordinator : public ::testing::Test {
 protected:
  asio::io_context io;
  std::shared_ptr<ScriptedTarget> target = std::make_shared<ScriptedTarget>();
  std::shared_ptr<ScriptedShellExecutor> shell = std::make_shared<ScriptedShellExecutor>();
  std::vector<std::string> status;
  EvictionCoordinator coordinator{target, std::filesystem::path("/state"), [this](const std::string& s) { status.push_back(s); }};

  void SetUp() override {
    host::HostServices s;
    s.shell_executor = shell;
    host::install_host_services(s);
  }
  void TearDown() override { host::install_host_services({}); }
  SwapResult run(std::string command = "make -j2") { return run_until_done(io, coordinator.run_with_swap(command, 30)); }

  // Runs a cycle and cancels it `after` into it; the error it ended with.
  std::exception_ptr run_cancelled_after(std::chrono::milliseconds after) {
    asio::cancellation_signal sig;
    std::exception_ptr error;
    bool done = false;
    io.restart();
    asio::co_spawn(io, coordinator.run_with_swap("make -j2", 30),
                   asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr e, SwapResult) {
                     error = e;
                     done = true;
                   }));
    asio::steady_timer t(io, after);
    t.async_wait([&](auto) { sig.emit(asio::cancellation_type::terminal); });
    while (!done) io.run_one();
    return error;
  }

  std::function<asio::awaitable<void>()> slow(std::chrono::milliseconds d) {
    return [this, d]() -> asio::awaitable<void> {
      asio::steady_timer t(io, d);
      co_await t.async_wait(asio::use_awaitable);
    };
  }
};

const std::vector<std::string> kWholeCycle = {"save_state", "unload", "reload", "restore_state"};

const std::string kRestoreFailed = "KV cache restore failed — conversation will be re-prompted";

}  // namespace

TEST(BareTarget, EveryOperationIsNotImplemented) {
  asio::io_context io;
  eviction_target::EvictionTarget t;
  auto pending = t.save_state("/x");  // creating the operation does not fail
  EXPECT_THROW(run_until_done(io, std::move(pending)), NotImplementedError);
  EXPECT_THROW(run_until_done(io, t.unload()), NotImplementedError);
  EXPECT_THROW(run_until_done(io, t.reload()), NotImplementedError);
  EXPECT_THROW(run_until_done(io, t.restore_state("/x")), NotImplementedError);
  EXPECT_THROW(t.available_memory_mb(), NotImplementedError);
  EXPECT_THROW(t.model_memory_mb(), NotImplementedError);
}

TEST_F(Coordinator, ShouldUnloadWeighsFreeMemoryAgainstTheModel) {
  target->available = 5000;
  EXPECT_FALSE(coordinator.should_unload(4800));
  EXPECT_EQ(target->model_queries, 0);
  target->available = 4999;
  target->model = 1;
  EXPECT_TRUE(coordinator.should_unload(4800));
  target->available = 1000;
  target->model = 2500;
  EXPECT_FALSE(coordinator.should_unload(4000));
  target->available = 0;  // probe unavailable
  target->model = 200;
  EXPECT_TRUE(coordinator.should_unload(0));
  target->model = 199.9;
  EXPECT_FALSE(coordinator.should_unload(0));
  target->available = 200;
  EXPECT_FALSE(coordinator.should_unload(0));
}

TEST_F(Coordinator, AFullCycleReportsEveryStage) {
  auto r = run();
  EXPECT_EQ(target->calls, (std::vector<std::string>{"save_state", "unload", "reload", "restore_state"}));
  EXPECT_EQ(target->dirs, (std::vector<std::filesystem::path>{"/state", "/state"}));
  EXPECT_EQ(status, (std::vector<std::string>{"Saving model state...", "Unloading model to free memory...",
                                              "Running: make -j2...", "Reloading model...",
                                              "Restoring model state...", ""}));
  EXPECT_EQ(r.exec_result, shell->exec);
  EXPECT_TRUE(r.unloaded && r.reload_ok && r.restore_ok);
  EXPECT_GE(r.swap_duration_s, 0.0);
  EXPECT_EQ(shell->calls.at(0).args, (Json{"make -j2", 30}));
}

TEST_F(Coordinator, AFailedSaveRunsTheCommandWithTheModelLoaded) {
  LogCapture logs;
  target->save_result = false;
  auto r = run();
  EXPECT_EQ(target->calls, std::vector<std::string>{"save_state"});
  EXPECT_EQ(status, std::vector<std::string>{"Saving model state..."});
  EXPECT_EQ(shell->calls.size(), 1u);
  EXPECT_FALSE(r.unloaded);
  EXPECT_TRUE(r.reload_ok && r.restore_ok);
  EXPECT_EQ(r.swap_duration_s, 0.0);
  EXPECT_TRUE(logs.contains("eviction_coordinator warning: State save failed — running without swap"));
}

TEST_F(Coordinator, ErrorsOfSaveAndUnloadPropagateBeforeTheCommand) {
  target->save_error = boom();
  EXPECT_THROW(run(), RuntimeError);
  target->save_error = nullptr;
  target->unload_error = boom();
  EXPECT_THROW(run(), RuntimeError);
  EXPECT_TRUE(shell->calls.empty());
}

TEST_F(Coordinator, AFailedReloadSkipsTheRestore) {
  LogCapture logs;
  target->reload_error = boom("no server");
  auto r = run();
  EXPECT_TRUE(r.unloaded);
  EXPECT_FALSE(r.reload_ok);
  EXPECT_FALSE(r.restore_ok);
  EXPECT_EQ(std::count(target->calls.begin(), target->calls.end(), "restore_state"), 0);
  EXPECT_EQ(status, (std::vector<std::string>{"Saving model state...", "Unloading model to free memory...",
                                              "Running: make -j2...", "Reloading model...", kRestoreFailed, ""}));
  EXPECT_TRUE(logs.contains("eviction_coordinator error: Model reload failed: no server"));
}

TEST_F(Coordinator, ARestoreThatFailsOrRaisesIsRecorded) {
  target->restore_result = false;
  auto r = run();
  EXPECT_TRUE(r.reload_ok);
  EXPECT_FALSE(r.restore_ok);
  EXPECT_EQ(status[5], kRestoreFailed);
  LogCapture logs;
  target->restore_error = boom("bad cache");
  status.clear();
  r = run();
  EXPECT_FALSE(r.restore_ok);
  EXPECT_EQ(status[5], kRestoreFailed);
  EXPECT_TRUE(logs.contains("eviction_coordinator warning: State restore failed: bad cache"));
}

TEST_F(Coordinator, AFailingCommandStillBringsTheModelBack) {
  shell->error = boom("command failed to run");
  EXPECT_THROW(run(), RuntimeError);
  EXPECT_EQ(target->calls, (std::vector<std::string>{"save_state", "unload", "reload", "restore_state"}));
  EXPECT_EQ(status.back(), "");
}

TEST_F(Coordinator, ACancelledCommandStillBringsTheModelBackThenPropagates) {
  shell->during_shell = [this]() -> asio::awaitable<void> {
    asio::steady_timer t(io, 10s);
    co_await t.async_wait(asio::use_awaitable);
  };
  asio::cancellation_signal sig;
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(io, coordinator.run_with_swap("sleep 600", 30),
                 asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr e, SwapResult) {
                   error = e;
                   done = true;
                 }));
  asio::steady_timer t(io, 50ms);
  t.async_wait([&](auto) { sig.emit(asio::cancellation_type::terminal); });
  while (!done) io.run_one();
  EXPECT_TRUE(is_cancellation(error));
  EXPECT_EQ(target->calls, (std::vector<std::string>{"save_state", "unload", "reload", "restore_state"}));
  EXPECT_EQ(status.back(), "");
}

// Ctrl-C while the model is unloading or reloading: the model still comes
// back in full, and the cancellation is not lost.
TEST_F(Coordinator, ACancellationDuringUnloadOrReloadBringsTheModelBackThenPropagates) {
  target->during_unload = slow(10s);
  EXPECT_TRUE(is_cancellation(run_cancelled_after(50ms)));
  EXPECT_EQ(target->calls, kWholeCycle);
  EXPECT_EQ(status.back(), "");

  target->calls.clear();
  status.clear();
  target->during_unload = nullptr;
  target->during_reload = slow(300ms);
  EXPECT_TRUE(is_cancellation(run_cancelled_after(50ms)));
  EXPECT_EQ(target->calls, kWholeCycle);
  EXPECT_EQ(status.back(), "");
}

TEST_F(Coordinator, AFailedUnloadStillReloads) {
  target->unload_error = boom("stop failed");
  EXPECT_THROW(run(), RuntimeError);
  EXPECT_EQ(target->calls, kWholeCycle);
  EXPECT_TRUE(shell->calls.empty());
  EXPECT_EQ(status.back(), "");
}

TEST_F(Coordinator, TheCallersCancellationStateIsLeftAsItWas) {
  asio::cancellation_signal sig;
  boost::system::error_code after_swap;
  bool swapped = false, done = false;
  auto caller = [&]() -> asio::awaitable<void> {
    // This caller wants partial cancellation too.
    co_await asio::this_coro::reset_cancellation_state(asio::enable_total_cancellation());
    co_await coordinator.run_with_swap("ls", 5);
    swapped = true;
    asio::steady_timer t(io, 10s);
    co_await t.async_wait(asio::redirect_error(asio::use_awaitable, after_swap));
  };
  asio::co_spawn(io, caller(), asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr) { done = true; }));
  while (!swapped) io.run_one();
  io.poll();
  sig.emit(asio::cancellation_type::partial);
  while (!done) io.run_one();
  EXPECT_EQ(after_swap, asio::error::operation_aborted);
}

TEST_F(Coordinator, AHookThatAlwaysRaisesChangesNothing) {
  EvictionCoordinator c(target, std::nullopt, [](const std::string&) { throw std::runtime_error("ui gone"); });
  auto r = run_until_done(io, c.run_with_swap("ls", 5));
  EXPECT_TRUE(r.unloaded && r.reload_ok && r.restore_ok);
  EvictionCoordinator silent(target);
  EXPECT_TRUE(run_until_done(io, silent.run_with_swap("ls")).unloaded);
  EXPECT_EQ(shell->calls.back().args, (Json{"ls", 120}));
}

TEST_F(Coordinator, TheRunningTextShowsEightyCharactersWithControlsEscaped) {
  run(std::string(100, 'a'));
  EXPECT_EQ(status[2], "Running: " + std::string(80, 'a') + "...");
  status.clear();
  run("ls -l");
  EXPECT_EQ(status[2], "Running: ls -l...");
  status.clear();
  run("echo hi\r\x1b[2Krm -rf ~");
  EXPECT_EQ(status[2], "Running: echo hi\\r\\x1b[2Krm -rf ~...");
  EXPECT_EQ(shell->calls.back().args[0], "echo hi\r\x1b[2Krm -rf ~");  // runs unchanged
  status.clear();
  run(std::string(79, 'a') + "é" + "bc");  // cut by characters, not bytes
  EXPECT_EQ(status[2], "Running: " + std::string(79, 'a') + "é...");
}

TEST_F(Coordinator, TheDefaultStateDirectoryIsRelativeToTheWorkingDirectory) {
  EvictionCoordinator c(target);
  EXPECT_EQ(c.state_dir(), std::filesystem::path(".dravik/state/swap"));
  EvictionCoordinator e(target, std::filesystem::path());
  EXPECT_EQ(e.state_dir(), std::filesystem::path(".dravik/state/swap"));
  EXPECT_EQ(&c.plugin(), target.get());
}
