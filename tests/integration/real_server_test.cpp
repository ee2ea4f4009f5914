// The client and dravik chat against a real llama-server: DRAVIK_TEST_LLAMA_SERVER
// names the binary and DRAVIK_TEST_MODEL a GGUF model (scripts/test.sh sets
// both to the project's shared ones); without them every test here is skipped.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "apps/terminal.hpp"
#include "session/state_seal.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/errors.hpp"
#include "support/process/process.hpp"

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

// ---------------------------------------------------------------------------
// dravik chat's context on the real server (a first message with only the
// model configured is AChatTurnThroughDravikChat above): the cache across
// --resume, a context too small for the fixed part, a refusal answered by
// one refit.

namespace {

struct ChatRun {
  RealServer real;
  fs::path dir;
  std::uint16_t port = free_port();

  explicit ChatRun(RealServer r) : real(std::move(r)) {
    char tmpl[] = "/tmp/dravik-real-ctx-XXXXXX";
    dir = ::mkdtemp(tmpl);
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "work");
    fs::create_symlink(real.binary, dir / "bin/llama-server");
  }
  ~ChatRun() { fs::remove_all(dir); }
  // The configuration: the model (and a free port, so that nothing else
  // listening on the default one is in the way), then `more`.
  void configure(Json more = Json::object()) {
    Json cfg = {{"llama_model", real.model}, {"llama_port", port}};
    for (auto it = more.begin(); it != more.end(); ++it) cfg[it.key()] = it.value();
    write_text(dir / "home/.dravik/config.json", cfg.dump());
  }
  proc::RunResult chat(std::vector<std::string> args) {
    asio::io_context io;
    proc::RunOptions o;
    o.env = proc::current_environment();
    (*o.env)["HOME"] = (dir / "home").string();
    (*o.env)["PATH"] = (dir / "bin").string() + ":" + (*o.env)["PATH"];
    o.cwd = (dir / "work").string();
    o.timeout = std::chrono::seconds(300);
    args.insert(args.begin(), {std::string(std::getenv("DRAVIK_TEST_BIN_DIR")) + "/dravik", "chat"});
    return run_until_done(io, proc::run(args, o));
  }
  // The "figures" events of a --json run.
  static std::vector<Json> figures(const std::string& out) {
    std::vector<Json> found;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);)
      if (auto j = Json::parse(l, nullptr, false); j.is_object() && j.value("event", "") == "figures")
        found.push_back(j);
    return found;
  }
};

}  // namespace

TEST(RealLlamaServer, AResumedConversationIsServedFromTheCache) {
  auto real = RealServer::from_environment();
  if (!real) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  ChatRun run(*real);
  run.configure({{"max_reply_tokens", 16}});
  auto r = run.chat({"-p", "Say hi.", "--json"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  r = run.chat({"-p", "Say it again.", "--json", "--resume"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("and the KV cache"), std::string::npos) << r.err;
  const auto f = ChatRun::figures(r.out);
  ASSERT_EQ(f.size(), 1u) << r.out;
  EXPECT_GT(f[0]["cached_tokens"].get<std::int64_t>(), 0) << f[0];
  EXPECT_LE(f[0]["reply_tokens"].get<std::int64_t>(), 16) << f[0];
}

TEST(RealLlamaServer, AContextTooSmallForTheFixedPartSaysWhatToSet) {
  auto real = RealServer::from_environment();
  if (!real) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  ChatRun run(*real);
  run.configure({{"context_window_tokens", 1024}});
  auto r = run.chat({"-p", "Say hi."});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("the system prompt and tool definitions need"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("of a 1,024-token context; set \"context_window_tokens\" to"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("/reset"), std::string::npos) << r.err;
}

TEST(RealLlamaServer, ARefusedRequestIsRefittedOnceFromTheServersFigures) {
  auto real = RealServer::from_environment();
  if (!real) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  ChatRun run(*real);
  run.configure({{"context_window_tokens", 4096}, {"max_reply_tokens", 16}});
  // A saved conversation whose words cost more tokens per character than
  // the first estimate assumes: the server refuses the first request.
  Json old = Json::array({{{"role", "system"}, {"content", "old"}}});
  std::string words;
  for (int i = 0; i < 60; ++i) words += "x" + std::to_string(i * 7919 % 1000) + " ";
  for (int i = 0; i < 12; ++i) {
    old.push_back({{"role", "user"}, {"content", "question " + std::to_string(i) + ": " + words}});
    old.push_back({{"role", "assistant"}, {"content", "answer " + std::to_string(i)}});
  }
  write_text(run.dir / "work/.dravik/state/swap/messages.json", old.dump());
  app::seal_state(run.dir / "work/.dravik/state/swap", run.dir / "home/.dravik");
  auto r = run.chat({"-p", "And now?", "--resume"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("the server's context was full"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("prompt tokens"), std::string::npos) << r.err;
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
    c._last_stop.reset();
    run_until_done(io, c._stop_server());
    ASSERT_TRUE(c._last_stop) << "the server was gone before the stop";
    EXPECT_NE(c._last_stop->exit_status, -9) << "cycle " << cycle;
    if (c._last_stop->sigterms > 1) ++repeated;
  }
  std::cout << "stops that needed a second SIGTERM: " << repeated << " of 30\n";
  run_until_done(io, c.close());
}

// dravik chat at a terminal on the real server: a whole reply ends with a
// line break before the prompt, Ctrl-C in the middle of one cancels it,
// Ctrl-C at the prompt drops the typed line and says how to leave, a second
// one leaves, and no server is left behind.
TEST(RealLlamaServer, AnInteractiveSessionInAPseudoTerminal) {
  auto real = RealServer::from_environment();
  if (!real) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  char tmpl[] = "/tmp/dravik-real-tty-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  fs::create_directories(dir / "bin");
  fs::create_directories(dir / "work");
  fs::create_symlink(real->binary, dir / "bin/llama-server");
  // The server's command line names this link: it tells our server apart.
  const fs::path model = dir / "model.gguf";
  fs::create_symlink(real->model, model);
  write_text(dir / "home/.dravik/config.json", Json{{"llama_model", model.string()},
                                                    {"device", "cpu"},
                                                    {"llama_port", free_port()},
                                                    {"context_window_tokens", 8192},
                                                    // Random words run to the end of the context
                                                    // otherwise; a short cap keeps both turns in it.
                                                    {"max_reply_tokens", 1000}}
                                                   .dump());
  auto env = proc::current_environment();
  env["HOME"] = (dir / "home").string();
  env["PATH"] = (dir / "bin").string() + ":/usr/bin:/bin";
  env["NO_COLOR"] = "1";
  struct OurServers {
    std::string model;
    std::vector<pid_t> pids() const {
      std::vector<pid_t> out;
      for (const auto& p : fs::directory_iterator("/proc"))
        if (read_text(p.path() / "cmdline").find(model) != std::string::npos)
          out.push_back(static_cast<pid_t>(std::atol(p.path().filename().c_str())));
      return out;
    }
    // A failed test leaves no server to the next one.
    ~OurServers() {
      for (pid_t pid : pids()) ::kill(pid, SIGKILL);
    }
  } servers{model.string()};
  {
    // Replies of the tiny model run to some 900 tokens: seconds on idle
    // cores, minutes on busy ones.
    const auto reply = std::chrono::seconds(400);
    Terminal t(std::string(std::getenv("DRAVIK_TEST_BIN_DIR")) + "/dravik", dir / "work", env);
    ASSERT_TRUE(t.read_until("you [reasoning default] > ", std::chrono::seconds(120))) << t.screen;
    t.type("Say hi.\r");
    ASSERT_TRUE(t.read_until("Say hi.\r\n")) << t.screen;
    ASSERT_TRUE(t.read_until("\r\nyou [reasoning default] > ", reply)) << t.screen;
    t.type("Tell me more.\r");
    ASSERT_TRUE(t.read_until("Tell me more.\r\n")) << t.screen;
    // The reply has begun: more than the line editor's own redraw of a
    // line typed before it took the terminal could account for.
    ASSERT_TRUE(t.read_more(40, reply)) << t.screen;
    t.type("\x03");
    ASSERT_TRUE(t.read_until("(cancelled)", reply)) << t.screen;
    ASSERT_TRUE(t.read_until("you [reasoning default] > ")) << t.screen;
    t.type("not sent");
    ASSERT_TRUE(t.read_until("not sent")) << t.screen;
    t.type("\x03");
    ASSERT_TRUE(t.read_until("(Ctrl-D or /exit leaves)")) << t.screen;
    ASSERT_TRUE(t.read_until("you [reasoning default] > ")) << t.screen;
    // A second Ctrl-C on the empty line leaves. (A key typed the moment the
    // prompt appears can be lost while the line editor takes the terminal;
    // a signal cannot.)
    t.type("\x03");
    EXPECT_EQ(t.wait_exit(), 0) << t.screen;
  }
  EXPECT_TRUE(servers.pids().empty()) << "a llama-server outlived dravik";
  const Json saved = Json::parse(read_text(dir / "work/.dravik/state/swap/messages.json"));
  for (const Json& m : saved) EXPECT_NE(m.value("content", ""), "not sent");
  fs::remove_all(dir);
}

// kill -9 of dravik while the real server streams a reply: the question is
// in the session's journal, and --resume goes on from it (the orphaned
// server is stopped by that next start).
TEST(RealLlamaServer, AKillMidReplyKeepsTheQuestionForResume) {
  auto real = RealServer::from_environment();
  if (!real) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  ChatRun run(*real);
  run.configure({{"context_window_tokens", 16384}, {"max_reply_tokens", 12000}, {"device", "cpu"}});
  asio::io_context io;
  proc::SpawnOptions o;
  o.argv = {std::string(std::getenv("DRAVIK_TEST_BIN_DIR")) + "/dravik", "chat", "-p", "A question before the kill."};
  o.env = proc::current_environment();
  (*o.env)["HOME"] = (run.dir / "home").string();
  (*o.env)["PATH"] = (run.dir / "bin").string() + ":" + (*o.env)["PATH"];
  o.cwd = (run.dir / "work").string();
  auto child = proc::Child::spawn(io.get_executor(), o);
  auto journal = [&]() -> std::string {
    std::error_code ec;
    for (const auto& d : fs::directory_iterator(run.dir / "work/.dravik/sessions", ec))
      return read_text(d.path() / "journal.jsonl");
    return "";
  };
  for (int i = 0; i < 3000 && journal().find("before the kill") == std::string::npos; ++i) ::usleep(20000);
  ASSERT_NE(journal().find("before the kill"), std::string::npos);
  ::usleep(200000);
  child.signal(SIGKILL);
  run_until_done(io, child.wait());
  run.configure({{"context_window_tokens", 16384}, {"max_reply_tokens", 16}, {"device", "cpu"}});
  auto r = run.chat({"-p", "And after it?", "--resume"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("Resumed"), std::string::npos) << r.err;
  const std::string after = journal();
  EXPECT_NE(after.find("before the kill"), std::string::npos);
  EXPECT_NE(after.find("And after it?"), std::string::npos);
}
