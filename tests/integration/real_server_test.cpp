// The client and dravik chat against a real llama-server: DRAVIK_TEST_LLAMA_SERVER
// names the binary and DRAVIK_TEST_MODEL a GGUF model (scripts/test.sh sets
// both to the project's shared ones); without them every test here is skipped.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "sidecar/sidecar_env.hpp"
#include "support/errors.hpp"
#include "support/process.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

namespace {

struct RealServer {
  std::string binary, model;
  static std::optional<RealServer> from_environment() {
    const char* b = std::getenv("DRAVIK_TEST_LLAMA_SERVER");
    const char* m = std::getenv("DRAVIK_TEST_MODEL");
    if (!b || !*b || !m || !*m) return std::nullopt;
    return RealServer{fs::absolute(b).string(), fs::absolute(m).string()};
  }
};

std::vector<Json> drain(asio::io_context& io, host::ChunkStream& s) {
  return run_until_done(io, [&]() -> asio::awaitable<std::vector<Json>> {
    std::vector<Json> out;
    while (auto c = co_await s.next()) out.push_back(c->data);
    co_return out;
  }());
}

}  // namespace

TEST(RealLlamaServer, FullCycleThroughTheClient) {
  auto real = RealServer::from_environment();
  if (!real) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  SidecarEnv env;
  fs::remove(env.bin / "llama-server");
  fs::create_symlink(real->binary, env.bin / "llama-server");
  sidecar::detail::seams().readiness_deadline = 120s;
  sidecar::detail::seams().slot_request_timeout = 60s;
  env.chat->max_tokens = 8;
  asio::io_context io;
  sidecar::SidecarClient c(io.get_executor(), real->model, "127.0.0.1", free_port(), 2048, "cpu", 99, false,
                           env.hook());
  c._http = std::make_unique<http::Client>(io.get_executor(), 120s);

  run_until_done(io, c.start());
  ASSERT_TRUE(env.find_event("runtime_llama_start_ready"));
  const Json messages = Json::array({{{"role", "user"}, {"content", "hi"}}});
  for (const char* mode : {"default", "on", "off"}) {
    c.set_reasoning_mode(mode);
    auto chunks = drain(io, *c.chat_stream(messages, false));
    EXPECT_GE(chunks.size(), 2u) << mode;
  }
  const fs::path kv = fs::current_path() / ".dravik/state/swap/kv_cache.bin";
  EXPECT_TRUE(run_until_done(io, c.save_kv_cache(kv)));
  EXPECT_TRUE(fs::exists(kv));
  run_until_done(io, c._stop_server());
  run_until_done(io, c.start());
  EXPECT_TRUE(run_until_done(io, c.restore_kv_cache(kv)));
  EXPECT_FALSE(run_until_done(io, c.restore_kv_cache("missing.bin")));
  run_until_done(io, c.reset_kv_cache());
  EXPECT_TRUE(c._proc);
  run_until_done(io, c.close());
  EXPECT_FALSE(c._proc);
  EXPECT_EQ(env.find_event("runtime_llama_start_failed"), nullptr);
  EXPECT_EQ(env.find_event("runtime_llama_kv_save_failed"), nullptr);
}

// One chat turn through the dravik program and the real server: its words
// are random with a tiny model, the plumbing is real.
TEST(RealLlamaServer, AChatTurnThroughDravikChat) {
  auto real = RealServer::from_environment();
  if (!real) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  char tmpl[] = "/tmp/dravik-real-chat-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  fs::create_directories(dir / "bin");
  fs::create_directories(dir / "work");
  fs::create_symlink(real->binary, dir / "bin/llama-server");
  write_text(dir / "home/.dravik/config.json",
             Json{{"llama_model", real->model}, {"device", "cpu"}, {"llama_port", free_port()}}.dump());
  asio::io_context io;
  proc::RunOptions o;
  o.env = proc::current_environment();
  (*o.env)["HOME"] = (dir / "home").string();
  (*o.env)["PATH"] = (dir / "bin").string() + ":" + (*o.env)["PATH"];
  o.cwd = (dir / "work").string();
  o.timeout = std::chrono::seconds(300);
  const std::string dravik = std::string(std::getenv("DRAVIK_TEST_BIN_DIR")) + "/dravik";
  auto r = run_until_done(io, proc::run({dravik, "chat", "-p", "Say hi.", "--json"}, o));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string last;
  for (std::string l; std::getline(lines, l);)
    if (!l.empty()) last = l;
  ASSERT_FALSE(last.empty()) << r.err;
  const Json done = Json::parse(last);
  EXPECT_EQ(done.at("event"), "done");
  EXPECT_EQ(done.at("ok"), true);
  fs::remove_all(dir);
}

// A stop right after the server reported ready: a SIGTERM landing before its
// main loop runs is lost, and the second one ends it; never SIGKILL.
TEST(RealLlamaServer, AStopRightAfterStartNeedsNoSigkill) {
  auto real = RealServer::from_environment();
  if (!real) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  SidecarEnv env;
  fs::remove(env.bin / "llama-server");
  fs::create_symlink(real->binary, env.bin / "llama-server");
  auto& seams = sidecar::detail::seams();
  seams.readiness_deadline = 120s;
  seams.stop_grace = 5s;  // the production waits
  seams.stop_term_repeat = std::chrono::milliseconds(sidecar::detail::STOP_TERM_REPEAT_MS);
  asio::io_context io;
  sidecar::SidecarClient c(io.get_executor(), real->model, "127.0.0.1", free_port(), 2048, "cpu", 99, false,
                           env.hook());
  int repeated = 0;
  for (int cycle = 0; cycle < 30; ++cycle) {
    run_until_done(io, c.start());
    run_until_done(io, c._stop_server());
    ASSERT_TRUE(c._last_stop);
    EXPECT_NE(c._last_stop->exit_status, -9) << "cycle " << cycle;
    if (c._last_stop->sigterms > 1) ++repeated;
  }
  std::cout << "stops that needed a second SIGTERM: " << repeated << " of 30\n";
  run_until_done(io, c.close());
}
