// Several dravik chat sessions on one board and one real llama-server: they
// share it, a killed session leaves it to the others, an orphan is stopped
// by the next start, and a start never stops a server someone else uses
// without the user's word. Each test program runs in a PID namespace of its
// own, so every llama-server seen here is one these tests started.
#include <gtest/gtest.h>

#include <csignal>

#include "apps/terminal.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/process/process.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

namespace {

constexpr const char* kPrompt = "you [reasoning default] > ";

std::vector<pid_t> llama_servers() {
  std::vector<pid_t> out;
  for (const auto& p : fs::directory_iterator("/proc")) {
    const std::string name = p.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_text(p.path() / "stat");
    if (stat.find("(llama-server)") != std::string::npos && stat.find(") Z") == std::string::npos)
      out.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return out;
}

// A home with a configuration, two projects and llama-server on PATH; no
// server outlives it.
struct Board {
  fs::path dir;
  std::string dravik = std::string(std::getenv("DRAVIK_TEST_BIN_DIR")) + "/dravik";
  std::string binary, model;
  proc::Environment env = proc::current_environment();

  static std::optional<Board> make() {
    const char* b = std::getenv("DRAVIK_TEST_LLAMA_SERVER");
    const char* m = std::getenv("DRAVIK_TEST_MODEL");
    if (!b || !*b || !m || !*m) return std::nullopt;
    return std::optional<Board>(std::in_place, fs::absolute(b).string(), fs::absolute(m).string());
  }
  Board(std::string b, std::string m) : binary(std::move(b)), model(std::move(m)) {
    char tmpl[] = "/tmp/dravik-shared-XXXXXX";
    dir = ::mkdtemp(tmpl);
    for (const char* d : {"bin", "one", "two"}) fs::create_directories(dir / d);
    fs::create_symlink(binary, dir / "bin/llama-server");
    configure(model);
    env["HOME"] = (dir / "home").string();
    env["PATH"] = (dir / "bin").string() + ":/usr/bin:/bin";
    env["NO_COLOR"] = "1";
  }
  ~Board() {
    for (pid_t pid : llama_servers()) ::kill(pid, SIGKILL);
    fs::remove_all(dir);
  }
  void configure(const std::string& model_path, Json more = Json::object()) {
    Json cfg = {{"llama_model", model_path}, {"device", "cpu"}, {"llama_port", port},
                {"context_window_tokens", 8192}, {"max_reply_tokens", 24}};
    for (auto it = more.begin(); it != more.end(); ++it) cfg[it.key()] = it.value();
    write_text(dir / "home/.dravik/config.json", cfg.dump());
  }
  std::optional<Json> record() const {
    std::error_code ec;
    if (!fs::exists(dir / "home/.dravik/run/server.json", ec)) return std::nullopt;
    return Json::parse(read_text(dir / "home/.dravik/run/server.json"));
  }
  pid_t recorded_server() const {
    const auto r = record();
    return r ? r->at("server").at("pid").get<pid_t>() : 0;
  }
  // One `dravik chat ARGS` with standard input from /dev/null.
  proc::RunResult run(const std::string& project, std::vector<std::string> args) {
    asio::io_context io;
    proc::RunOptions o;
    o.env = env;
    o.cwd = (dir / project).string();
    o.timeout = 300s;
    args.insert(args.begin(), {dravik, "chat"});
    return run_until_done(io, proc::run(args, o));
  }
  std::uint16_t port = free_port();
};

// Types a line and waits for the reply's figures and the next prompt.
void turn(Terminal& t, const std::string& line) {
  t.type(line + "\r");
  ASSERT_TRUE(t.read_until(line)) << t.screen;
  ASSERT_TRUE(t.read_until("reply tokens", 300s)) << t.screen;
  ASSERT_TRUE(t.read_until(kPrompt)) << t.screen;
}

}  // namespace

// Two sessions, in one project and in two: alternating turns run on one
// server that is never restarted, each conversation its own; the first to
// leave leaves the server to the other, the last stops it.
TEST(SharedServer, SessionsTakeTurnsOnOneServer) {
  auto board = Board::make();
  if (!board) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  for (const char* second : {"one", "two"}) {
    SCOPED_TRACE(second);
    Terminal a(board->dravik, board->dir / "one", board->env);
    ASSERT_TRUE(a.read_until(kPrompt, 120s)) << a.screen;
    const pid_t server = board->recorded_server();
    ASSERT_NE(server, 0);
    Terminal b(board->dravik, board->dir / second, board->env);
    ASSERT_TRUE(b.read_until(kPrompt, 120s)) << b.screen;
    for (int i = 0; i < 2; ++i) {
      turn(a, "from a " + std::to_string(i));
      turn(b, "from b " + std::to_string(i));
    }
    EXPECT_EQ(board->recorded_server(), server);
    EXPECT_EQ(llama_servers(), std::vector<pid_t>{server});
    EXPECT_EQ(board->record()->at("sessions").size(), 2u);
    // Each conversation is its own: B's last request held none of A's.
    b.type("/status\r");
    ASSERT_TRUE(b.read_until("5 messages")) << b.screen;
    ASSERT_TRUE(b.read_until("shared with 1 other session")) << b.screen;
    a.type("/exit\r");
    EXPECT_EQ(a.wait_exit(), 0) << a.screen;
    turn(b, "after a left");
    EXPECT_EQ(llama_servers(), std::vector<pid_t>{server});
    b.type("/exit\r");
    EXPECT_EQ(b.wait_exit(), 0) << b.screen;
    EXPECT_TRUE(llama_servers().empty());
    EXPECT_FALSE(board->record());
  }
}

// kill -9 of the session that started the server: the other goes on with
// it and stops it when it leaves. A server whose every session was killed
// is an orphan, stopped by the next start.
TEST(SharedServer, KilledSessionsLeaveTheServerToTheOthersOrToTheNextStart) {
  auto board = Board::make();
  if (!board) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  {
    Terminal a(board->dravik, board->dir / "one", board->env);
    ASSERT_TRUE(a.read_until(kPrompt, 120s)) << a.screen;
    Terminal b(board->dravik, board->dir / "two", board->env);
    ASSERT_TRUE(b.read_until(kPrompt, 120s)) << b.screen;
    ::kill(a.pid, SIGKILL);
    EXPECT_EQ(a.wait_exit(), -1);
    turn(b, "still served");
    b.type("/exit\r");
    EXPECT_EQ(b.wait_exit(), 0) << b.screen;
    EXPECT_TRUE(llama_servers().empty());
  }
  {
    Terminal a(board->dravik, board->dir / "one", board->env);
    ASSERT_TRUE(a.read_until(kPrompt, 120s)) << a.screen;
    ::kill(a.pid, SIGKILL);
    a.wait_exit();
  }
  const pid_t orphan = board->recorded_server();
  ASSERT_NE(orphan, 0);
  const auto r = board->run("two", {"-p", "hi"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("(stopping the model server an earlier dravik left running, pid " + std::to_string(orphan)),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(llama_servers().empty());
}

// What a start would stop is asked about; on a pipe it is refused: a
// llama-server dravik did not start (unless --yes), and the board's server
// while another session uses it with another model (even with --yes).
TEST(SharedServer, AStartDoesNotStopWhatOthersUseWithoutAsking) {
  auto board = Board::make();
  if (!board) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  {
    asio::io_context io;
    proc::SpawnOptions o;
    o.argv = {board->binary, "-m", board->model, "--host", "127.0.0.1", "--port", std::to_string(free_port())};
    auto foreign = proc::Child::spawn(io.get_executor(), o);
    auto r = board->run("one", {"-p", "hi"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("llama-server (pid " + std::to_string(foreign.pid())), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("was not started by dravik"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--yes"), std::string::npos) << r.err;
    EXPECT_FALSE(foreign.poll());
    r = board->run("one", {"-p", "hi", "--yes"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(run_until_done(io, foreign.wait_for(10s)));
  }
  Terminal a(board->dravik, board->dir / "one", board->env);
  ASSERT_TRUE(a.read_until(kPrompt, 120s)) << a.screen;
  const pid_t server = board->recorded_server();
  const fs::path other = board->dir / "other-model.gguf";
  fs::copy_file(board->model, other);
  board->configure(other.string());
  for (const auto& args : {std::vector<std::string>{"-p", "hi"}, std::vector<std::string>{"-p", "hi", "--yes"}}) {
    const auto r = board->run("two", args);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("is in use by dravik chat (pid " + std::to_string(a.pid)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("it was left running"), std::string::npos) << r.err;
  }
  EXPECT_EQ(llama_servers(), std::vector<pid_t>{server});
  turn(a, "undisturbed");
  a.type("/exit\r");
  EXPECT_EQ(a.wait_exit(), 0) << a.screen;
}

// A server stopped (SIGSTOP) in the middle of a reply: the stall is said,
// Ctrl-C cancels, and /exit does not wait for the stopped server.
TEST(SharedServer, AStoppedServerIsSaidAndDoesNotHoldTheExit) {
  auto board = Board::make();
  if (!board) GTEST_SKIP() << "DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL are not set";
  board->configure(board->model, {{"max_reply_tokens", 6000}});
  board->env["DRAVIK_TEST_STALL_NOTICE_MS"] = "1000";
  Terminal t(board->dravik, board->dir / "one", board->env);
  ASSERT_TRUE(t.read_until(kPrompt, 120s)) << t.screen;
  t.type("Go on for long.\r");
  ASSERT_TRUE(t.read_until("Go on for long.\r\n")) << t.screen;
  ASSERT_TRUE(t.read_more(40, 300s)) << t.screen;
  for (pid_t pid : llama_servers()) ::kill(pid, SIGSTOP);
  ASSERT_TRUE(t.read_until("the server has sent nothing for 1 s; Ctrl-C cancels the reply", 30s)) << t.screen;
  t.type("\x03");
  ASSERT_TRUE(t.read_until("(cancelled)")) << t.screen;
  ASSERT_TRUE(t.read_until(kPrompt)) << t.screen;
  t.type("/exit\r");
  ASSERT_TRUE(t.read_until("the server's cache was not saved")) << t.screen;
  EXPECT_EQ(t.wait_exit(), 0) << t.screen;
  EXPECT_TRUE(llama_servers().empty());
}
