// The lifecycle against the fake llama-server: real child processes, real
// HTTP, real pipes.
#include <dirent.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "sidecar_env.hpp"
#include "support/errors.hpp"
#include "support/process/process.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;
using sidecar::SidecarClient;

namespace {

class Lifecycle : public ::testing::Test {
 protected:
  SidecarEnv env;
  asio::io_context io;

  // The fake exits with `code` 50 ms after start, long before it is ready.
  void exit_while_loading(int code) {
    env.setenv("FAKE_LLAMA_EXIT_CODE", std::to_string(code));
    env.setenv("FAKE_LLAMA_EXIT_AFTER_MS", "50");
    env.setenv("FAKE_LLAMA_READY_AFTER_MS", "60000");
  }

  std::string start_error(SidecarClient& c) {
    try {
      run_until_done(io, c.start());
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

int open_descriptors() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  ::closedir(d);
  return n;
}

bool no_children_left() {
  siginfo_t info{};
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

std::vector<std::string> keys(const Json& o) {
  std::vector<std::string> k;
  for (auto it = o.begin(); it != o.end(); ++it) k.push_back(it.key());
  return k;
}

}  // namespace

TEST_F(Lifecycle, AReadyServerIsReportedStageByStage) {
  env.record();
  env.setenv("LLAMA_API_KEY", "secret");
  auto c = env.client(io);
  run_until_done(io, c->start());
  // (The fake's start-up banner mentions "ggml", as the real server's does.)
  std::erase_if(env.events, [](const Event& e) { return e.type == "runtime_llama_stderr_line"; });
  EXPECT_EQ(env.event_types(), (std::vector<std::string>{"runtime_llama_starting", "runtime_llama_launch_command",
                                                          "runtime_llama_start_ready"}));
  const Json& starting = env.events[0].payload;
  EXPECT_EQ(keys(starting), (std::vector<std::string>{"model", "resolved_device", "requested_ctx", "requested_ngl",
                                                       "batch", "ubatch", "fit_off", "no_warmup", "jetson_platform",
                                                       "airgapped"}));
  EXPECT_EQ(starting["model"], "model.gguf");
  EXPECT_EQ(starting["resolved_device"], "cpu");
  EXPECT_EQ(starting["requested_ngl"], 0);
  const Json& launch = env.events[1].payload;
  EXPECT_EQ(keys(launch), (std::vector<std::string>{"command", "ctx", "ngl", "batch", "ubatch", "fit_off",
                                                     "no_warmup", "cuda_module_loading",
                                                     "ggml_cuda_enable_unified_memory", "ggml_cuda_vmm_chunk_mb",
                                                     "ggml_cuda_vmm_reserve_mb"}));
  EXPECT_EQ(launch["ggml_cuda_enable_unified_memory"], "1");
  EXPECT_EQ(launch["ggml_cuda_vmm_chunk_mb"], "");
  const Json& ready = env.events[2].payload;
  EXPECT_EQ(keys(ready), (std::vector<std::string>{"pid", "ctx", "ngl", "stderr_line_count"}));
  EXPECT_EQ(ready["pid"], c->_proc->pid());

  // The child got exactly the launch command, in its own process group,
  // without the API key it would demand.
  Json rec = env.recorded();
  std::string joined;
  for (const auto& a : rec["argv"]) joined += (joined.empty() ? "" : " ") + a.get<std::string>();
  EXPECT_EQ(joined, launch["command"]);
  EXPECT_EQ(rec["pgid"], rec["pid"]);
  EXPECT_FALSE(rec["env"].contains("LLAMA_API_KEY"));
  EXPECT_EQ(c->gpu_layers, 0);  // device "cpu"
  EXPECT_EQ(env.policy->endpoint_checks.at(0),
            (std::pair<std::optional<std::string>, std::string>{c->base_url, "the llama.cpp runtime"}));
  run_until_done(io, c->close());
  EXPECT_FALSE(c->_proc);
  EXPECT_TRUE(no_children_left());
}

TEST_F(Lifecycle, AServerStillLoadingIsPolledUntilReady) {
  env.setenv("FAKE_LLAMA_READY_AFTER_MS", "300");
  auto c = env.client(io);
  run_until_done(io, c->start());
  EXPECT_EQ(env.events.back().type, "runtime_llama_start_ready");
  run_until_done(io, c->close());
}

TEST_F(Lifecycle, AnEarlyExitReportsTheLastLinesAndTheStatus) {
  env.setenv("FAKE_LLAMA_STDERR_LINES", "500");
  exit_while_loading(1);
  auto c = env.client(io);
  std::string err = start_error(*c);
  const Event* failed = env.find_event("runtime_llama_start_failed");
  ASSERT_TRUE(failed);
  const Json& p = failed->payload;
  EXPECT_EQ(p["returncode"], 1);
  EXPECT_EQ(p["stderr_line_count"], 120);
  ASSERT_EQ(p["stderr_tail"].size(), 20u);
  EXPECT_EQ(p["stderr_tail"][19], "fake stderr line 499");
  std::string detail = p["error"];
  EXPECT_EQ(detail.substr(0, detail.find('\n')), "fake stderr line 380");
  EXPECT_EQ(err, "llama-server exited with code 1: " + detail);
  EXPECT_EQ(keys(p).at(9), "stderr_tail");
  EXPECT_TRUE(c->_proc);  // exited, handle kept until the next stop
  run_until_done(io, c->_stop_server());
  EXPECT_FALSE(c->_proc);
}

TEST_F(Lifecycle, ASilentExitSaysSo) {
  env.setenv("FAKE_LLAMA_QUIET", "1");
  exit_while_loading(3);
  auto c = env.client(io);
  EXPECT_EQ(start_error(*c), "llama-server exited with code 3: no stderr output");
  EXPECT_EQ(env.find_event("runtime_llama_start_failed")->payload["stderr_tail"], Json::array());
}

TEST_F(Lifecycle, ADeathBySignalReadsAsTheNegativeSignal) {
  env.setenv("FAKE_LLAMA_KILL_SIGNAL", "9");
  auto c = env.client(io);
  EXPECT_EQ(start_error(*c).rfind("llama-server exited with code -9: ", 0), 0u);
}

TEST_F(Lifecycle, LongErrorOutputIsCutInTheMiddle) {
  // The fake's two banner lines plus one long line: measured below.
  env.setenv("FAKE_LLAMA_STDERR_TEXT", std::string(9000, 'e') + "\n");
  exit_while_loading(1);
  auto c = env.client(io);
  start_error(*c);
  std::string detail = env.find_event("runtime_llama_start_failed")->payload["error"];
  std::string whole;
  for (const auto& l : c->stderr_lines()->lines) whole += (whole.empty() ? "" : "\n") + l;
  const std::size_t omitted = whole.size() - 8000;
  const std::string marker = "\n... <" + std::to_string(omitted) + " chars omitted> ...\n";
  EXPECT_EQ(detail, whole.substr(0, 4000) + marker + whole.substr(whole.size() - 4000));
}

TEST_F(Lifecycle, AGrandchildHoldingTheErrorPipeDoesNotHangStart) {
  env.setenv("FAKE_LLAMA_GRANDCHILD", "1");
  exit_while_loading(1);
  auto c = env.client(io);
  EXPECT_EQ(start_error(*c).rfind("llama-server exited with code 1: ", 0), 0u);
  run_until_done(io, c->close());
}

TEST_F(Lifecycle, AServerThatNeverAnswersTimesOutAndStaysUntilStopped) {
  sidecar::detail::seams().readiness_deadline = 300ms;
  env.setenv("FAKE_LLAMA_SILENT", "1");
  auto c = env.client(io);
  try {
    run_until_done(io, c->start());
    FAIL();
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "llama-server did not become ready");
  }
  const Event* timeout = env.find_event("runtime_llama_start_timeout");
  ASSERT_TRUE(timeout);
  EXPECT_EQ(keys(timeout->payload), (std::vector<std::string>{"ctx", "ngl", "stderr_line_count", "stderr_tail"}));
  ASSERT_TRUE(c->_proc);
  EXPECT_FALSE(c->_proc->poll());
  run_until_done(io, c->close());
  EXPECT_TRUE(no_children_left());
}

TEST_F(Lifecycle, GarbageFromHealthIsIgnoredWhilePolling) {
  sidecar::detail::seams().readiness_deadline = 300ms;
  env.setenv("FAKE_LLAMA_HEALTH", "garbage");
  auto c = env.client(io);
  EXPECT_THROW(run_until_done(io, c->start()), TimeoutError);
  run_until_done(io, c->close());
}

TEST_F(Lifecycle, AServerIgnoringSigtermIsKilledAndReaped) {
  env.setenv("FAKE_LLAMA_IGNORE_SIGTERM", "1");
  auto c = env.client(io);
  run_until_done(io, c->start());
  pid_t pid = c->_proc->pid();
  run_until_done(io, c->_stop_server());
  EXPECT_FALSE(c->_proc);
  EXPECT_NE(::kill(pid, 0), 0);  // gone, and no zombie left
  EXPECT_TRUE(no_children_left());
  ASSERT_TRUE(c->_last_stop);
  EXPECT_EQ(c->_last_stop->exit_status, -9);
  EXPECT_EQ(c->_last_stop->sigterms, 2);
}

// A server that lost the first SIGTERM exits on the second one, long before
// the grace ends; without the second it takes SIGKILL. One that exits on
// the first, or says it is shutting down, gets no second.
TEST_F(Lifecycle, ALostSigtermIsSentAgainBeforeTheGraceEnds) {
  auto c = env.client(io);
  auto& seams = sidecar::detail::seams();
  const auto saved = seams;
  {
    // A wait for the second SIGTERM far longer than the exit takes, even on
    // a loaded machine (the stop returns as soon as the server has exited).
    seams.stop_term_repeat = 4s;
    seams.stop_grace = 8s;
    run_until_done(io, c->start());
    run_until_done(io, c->_stop_server());
    ASSERT_TRUE(c->_last_stop);
    EXPECT_EQ(c->_last_stop->exit_status, 0);
    EXPECT_EQ(c->_last_stop->sigterms, 1);
    seams = saved;
  }

  {
    // Its clean-up outlasts the wait for the second SIGTERM, which is long
    // enough for its "cleaning up" line to arrive on a loaded machine.
    seams.stop_term_repeat = 1s;
    seams.stop_grace = 6s;
    env.setenv("FAKE_LLAMA_CLEANUP_MS", "3000");
    run_until_done(io, c->start());
    run_until_done(io, c->_stop_server());
    EXPECT_EQ(c->_last_stop->exit_status, 0);
    EXPECT_EQ(c->_last_stop->sigterms, 1);
    ::unsetenv("FAKE_LLAMA_CLEANUP_MS");
    seams = saved;
  }

  env.setenv("FAKE_LLAMA_LOSE_FIRST_SIGTERM", "1");
  run_until_done(io, c->start());
  run_until_done(io, c->_stop_server());
  EXPECT_EQ(c->_last_stop->exit_status, 1);
  EXPECT_EQ(c->_last_stop->sigterms, 2);

  sidecar::detail::seams().stop_term_repeat = sidecar::detail::seams().stop_grace;  // one SIGTERM only
  run_until_done(io, c->start());
  run_until_done(io, c->_stop_server());
  EXPECT_EQ(c->_last_stop->exit_status, -9);
  EXPECT_EQ(c->_last_stop->sigterms, 1);
  run_until_done(io, c->close());
  EXPECT_TRUE(no_children_left());
}

TEST_F(Lifecycle, TheErrorPipeIsDrainedAfterReadiness) {
  // The fake writes 1 MB of log after it is ready, blocking on a full
  // pipe, as the real server does; a client that stopped reading would
  // never get another answer.
  env.setenv("FAKE_LLAMA_FLOOD_BYTES", "1000000");
  auto c = env.client(io);
  run_until_done(io, c->start());
  for (int i = 0; i < 3; ++i) {
    auto r = run_until_done(io, c->_http->get(c->base_url + "/health", 5s));
    EXPECT_EQ(r.status, 200);
  }
  EXPECT_EQ(c->stderr_lines()->lines.size(), 120u);
  run_until_done(io, c->close());
}

TEST_F(Lifecycle, APortOutOfRangeIsAClearError) {
  sidecar::SidecarClient c(io.get_executor(), "m.gguf", "127.0.0.1", 70000, 2048, "cpu");
  try {
    run_until_done(io, c.start());
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "llama-server port must be between 1 and 65535, got 70000");
  }
  EXPECT_FALSE(c._proc);
}

TEST_F(Lifecycle, AnAddressAlreadyInUseIsRefusedBeforeSpawning) {
  TestHttpServer other(io.get_executor(), [](const RawRequest&, Conn& conn) -> asio::awaitable<void> {
    co_await conn.respond(200, R"({"status":"ok"})");
  });
  sidecar::SidecarClient c(io.get_executor(), "m.gguf", "127.0.0.1", other.port(), 2048, "cpu");
  std::string err = start_error(c);
  EXPECT_NE(err.find("127.0.0.1:" + std::to_string(other.port()) + " is already in use"), std::string::npos) << err;
  EXPECT_FALSE(c._proc);
}

TEST_F(Lifecycle, NotableErrorLinesAreReportedDuringStartUp) {
  env.setenv("FAKE_LLAMA_STDERR_TEXT", "CUDA error: out of memory\nloading model\n" + std::string(300, 'g') + " ggml\n");
  auto c = env.client(io);
  run_until_done(io, c->start());
  std::vector<std::string> summaries;
  for (const auto& e : env.events)
    if (e.type == "runtime_llama_stderr_line") summaries.push_back(e.payload["summary"]);
  // The fake's CORS banner mentions ggml too, as the real server's does.
  ASSERT_EQ(summaries.size(), 3u);
  EXPECT_NE(summaries[0].find("ggml-org"), std::string::npos);
  EXPECT_EQ(summaries[1], "CUDA error: out of memory");
  EXPECT_EQ(summaries[2], std::string(200, 'g'));
  run_until_done(io, c->close());
}

TEST_F(Lifecycle, AFailingHookDoesNotStopAStart) {
  sidecar::SidecarClient c(io.get_executor(), "m.gguf", "127.0.0.1", free_port(), 2048, "cpu", 99, false,
                           [](const std::string&, const Json&) { throw std::runtime_error("hook"); });
  run_until_done(io, c.start());
  EXPECT_TRUE(c._proc);
  run_until_done(io, c.close());
}

TEST_F(Lifecycle, ARefusedEndpointStopsNothing) {
  auto c = env.client(io);
  run_until_done(io, c->start());
  pid_t pid = c->_proc->pid();
  env.policy->refuse = "air-gapped";
  EXPECT_THROW(run_until_done(io, c->start()), host::AirgapViolationError);
  EXPECT_EQ(c->_proc->pid(), pid);
  env.policy->refuse.reset();
  run_until_done(io, c->close());
}

TEST_F(Lifecycle, AMissingBinaryFailsAfterTheOldServerIsStopped) {
  auto c = env.client(io);
  run_until_done(io, c->start());
  fs::remove(env.bin / "llama-server");
  env.setenv("HOME", env.dir.string());
  EXPECT_THROW(run_until_done(io, c->start()), FileNotFoundError);
  EXPECT_FALSE(c->_proc);
}

TEST_F(Lifecycle, ABinaryThatCannotRunFailsAfterTheLaunchEvent) {
  fs::remove(env.bin / "llama-server");
  env.setenv("HOME", env.dir.string());
  write_text(env.dir / "llama.cpp/build/bin/llama-server", "not a program");  // not executable
  auto c = env.client(io);
  EXPECT_THROW(run_until_done(io, c->start()), OSError);
  EXPECT_EQ(env.events.back().type, "runtime_llama_launch_command");
  EXPECT_FALSE(c->_proc);
}

TEST_F(Lifecycle, FiftyStartStopCyclesLeaveNoDescriptorOrChildBehind) {
  auto c = env.client(io);
  run_until_done(io, c->start());
  run_until_done(io, c->_stop_server());
  io.restart();
  io.poll();
  const int fds = open_descriptors();
  for (int i = 0; i < 50; ++i) {
    run_until_done(io, c->start());
    run_until_done(io, c->_stop_server());
  }
  // Let the drain tasks see their closed pipes.
  io.restart();
  io.poll();
  EXPECT_EQ(open_descriptors(), fds);
  EXPECT_TRUE(no_children_left());
  run_until_done(io, c->close());
}

TEST_F(Lifecycle, StopWithoutAProcessOnlyClearsTheHandle) {
  auto c = env.client(io);
  run_until_done(io, c->_stop_server());
  EXPECT_FALSE(c->_proc);
}

// The drain is what keeps the server from stalling on a full pipe: a hook
// throwing anything at all costs only that event.
TEST_F(Lifecycle, AHookThrowingANonStandardExceptionDoesNotStopTheDrain) {
  env.setenv("FAKE_LLAMA_FLOOD_BYTES", "1000000");
  sidecar::SidecarClient c(io.get_executor(), "m.gguf", "127.0.0.1", free_port(), 2048, "cpu", 99, false,
                           [](const std::string& type, const Json&) {
                             if (type == "runtime_llama_stderr_line") throw 42;
                           });
  run_until_done(io, c.start());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(run_until_done(io, c._http->get(c.base_url + "/health", 5s)).status, 200);
  EXPECT_EQ(c.stderr_lines()->lines.size(), 120u);
  run_until_done(io, c.close());
}

TEST_F(Lifecycle, AfterACancelledStartLinesAreNoLongerReported) {
  env.setenv("FAKE_LLAMA_READY_AFTER_MS", "400");
  env.setenv("FAKE_LLAMA_READY_TEXT", "late ggml line");
  auto c = env.client(io);
  asio::cancellation_signal sig;
  bool done = false;
  asio::co_spawn(io, c->start(), asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr) { done = true; }));
  asio::steady_timer t(io, 100ms);
  t.async_wait([&](auto) { sig.emit(asio::cancellation_type::terminal); });
  while (!done) io.run_one();
  // The server goes on to print its late line; it is kept, not reported.
  auto last_line = [&] { const auto& l = c->stderr_lines()->lines; return l.empty() ? std::string() : l.back(); };
  for (int i = 0; i < 100 && last_line() != "late ggml line"; ++i)
    run_until_done(io, [&]() -> asio::awaitable<void> {
      asio::steady_timer w(io, 20ms);
      co_await w.async_wait(asio::use_awaitable);
    }());
  EXPECT_EQ(last_line(), "late ggml line");
  for (const auto& e : env.events) EXPECT_NE(e.payload.value("summary", ""), "late ggml line");
  run_until_done(io, c->_stop_server());
}

TEST_F(Lifecycle, TheListeningLineTriggersAnImmediateHealthCheck) {
  // A poll schedule slower than the whole deadline: only the line can make
  // this start succeed.
  sidecar::detail::seams().poll_interval = 20s;
  sidecar::detail::seams().readiness_deadline = 5s;
  env.setenv("FAKE_LLAMA_READY_AFTER_MS", "200");
  auto c = env.client(io);
  run_until_done(io, c->start());
  EXPECT_EQ(env.events.back().type, "runtime_llama_start_ready");
  run_until_done(io, c->close());
}

// The clock tool started through sudo leaves a helper holding its output
// pipes: the helper is killed with the tool's group, not left behind.
TEST_F(Lifecycle, AClockToolsLeftoverHelperIsKilledWithItsGroup) {
  const fs::path pidfile = env.dir / "helper.pid";
  write_text(env.bin / "sudo", "#!/bin/sh\nsleep 30 &\necho $! > '" + pidfile.string() + "'\nexit 1\n", true);
  SidecarClient::_maximize_gpu_clocks();
  const pid_t helper = std::stoi(read_text(pidfile));
  // Gone, or dead and waiting to be reaped (in a PID namespace of its own
  // the test is the process that reaps orphans, and it does not).
  auto gone_now = [&] {
    if (::kill(helper, 0) != 0) return true;
    const std::string stat = read_text("/proc/" + std::to_string(helper) + "/stat");
    const auto close = stat.rfind(") ");
    return close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0;
  };
  bool gone = false;
  for (int i = 0; i < 300 && !gone; ++i) {
    gone = gone_now();
    if (!gone) ::usleep(10000);
  }
  EXPECT_TRUE(gone);
}
