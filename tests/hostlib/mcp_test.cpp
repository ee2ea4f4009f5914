// The MCP client against the reference "everything" server over both
// transports, and against small scripted servers for the faults it cannot
// show.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>

#include "fakes/mcp_peer.hpp"
#include "fakes/processes.hpp"
#include "mcp.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/errors.hpp"
#include "support/process/process.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

namespace {

fs::path temp_dir() {
  char tmpl[] = "/tmp/dravik-mcp-XXXXXX";
  return ::mkdtemp(tmpl);
}

hostlib::McpServerConfig program(std::string name, std::vector<std::string> argv) {
  hostlib::McpServerConfig c;
  c.name = std::move(name);
  c.argv = std::move(argv);
  return c;
}

// A server in sh: answers initialize and tools/list from the lines it
// reads; `on_call` is the shell run for a tools/call (with $id set).
std::string scripted_server(const std::string& on_call, const std::string& before = "",
                            const std::string& after = "") {
  return "#!/bin/sh\n" + before +
         "while IFS= read -r line; do\n"
         "  printf '%s\\n' \"$line\" >> \"$0.log\"\n"
         "  id=$(printf '%s' \"$line\" | sed -n 's/.*\"id\":\\([0-9]*\\).*/\\1/p')\n"
         "  case \"$line\" in\n"
         "  *'\"method\":\"initialize\"'*) printf '{\"jsonrpc\":\"2.0\",\"id\":%s,\"result\":{\"protocolVersion\":"
         "\"2025-06-18\",\"capabilities\":{\"tools\":{}},\"serverInfo\":{\"name\":\"s\",\"version\":\"1\"}}}\\n' $id;;\n"
         "  *'\"method\":\"tools/list\"'*) printf '{\"jsonrpc\":\"2.0\",\"id\":%s,\"result\":{\"tools\":[{\"name\":"
         "\"go\",\"inputSchema\":{\"type\":\"object\"}}]}}\\n' $id;;\n"
         "  *'\"method\":\"tools/call\"'*) " +
         on_call +
         ";;\n"
         "  esac\n"
         "done\n" +
         after;
}

}  // namespace

TEST(McpResults, FoldedForTheModelAndConfigurationChecked) {
  struct Case {
    const char* result;
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {R"({"content":[{"type":"text","text":"a"},{"type":"text","text":"b"}]})", "a\nb", true},
      {R"({"content":[{"type":"text","text":"no"}],"isError":true})", "no", false},
      {R"({"content":[{"type":"image","mimeType":"image/png","data":"AAAA"}]})", "[image: image/png, 3 bytes]", true},
      {R"({"content":[{"type":"resource_link","uri":"file:///x","name":"x"}]})", "[resource link: file:///x (x)]", true},
      // Structured content given as text too comes once.
      {R"({"content":[{"type":"text","text":"{\"n\":1}"}],"structuredContent":{"n":1}})", "{\"n\":1}", true},
      {R"({"structuredContent":{"n":2}})", "{\"n\":2}", true},
      {R"({"content":[]})", "(no output)", true},
      {R"("odd")", "The tool's server gave no result.", false},
  };
  for (const auto& c : cases) {
    const auto r = hostlib::mcp_result_text(Json::parse(c.result));
    EXPECT_EQ(r.text, c.text) << c.result;
    EXPECT_EQ(r.ok, c.ok) << c.result;
  }
  const auto big = hostlib::mcp_result_text(
      Json{{"content", Json::array({Json{{"type", "text"}, {"text", std::string(200000, 'x')}}})}});
  EXPECT_LT(big.text.size(), hostlib::kMcpOutputCap + 100);
  EXPECT_NE(big.text.find("bytes cut"), std::string::npos);

  const auto servers = hostlib::mcp_servers_of(Json::parse(R"({"mcp_servers": {
      "a": {"command": "node", "args": ["x.js"], "env": {"K": "V"}, "tools": ["t"]},
      "b": {"url": "http://127.0.0.1:1/mcp", "headers": {"Authorization": "Bearer z"}},
      "off": {"command": "x", "enabled": false}}})"),
                                               true);
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].argv, (std::vector<std::string>{"node", "x.js"}));
  EXPECT_EQ(servers[0].env.at("K"), "V");
  EXPECT_EQ(*servers[0].tools, std::vector<std::string>{"t"});
  EXPECT_TRUE(servers[0].from_project);
  EXPECT_EQ(servers[1].headers.at(0).second, "Bearer z");
  for (const char* bad : {R"({"mcp_servers": []})", R"({"mcp_servers": {"a": {}}})",
                          R"({"mcp_servers": {"a": {"command": "x", "url": "http://h"}}})",
                          R"({"mcp_servers": {"a__b": {"command": "x"}}})", R"({"mcp_servers": {"a.b": {"command": "x"}}})",
                          R"({"mcp_servers": {"a_": {"command": "x"}}})",
                          R"({"mcp_servers": {"a": {"command": "x", "args": "y"}}})",
                          R"({"mcp_servers": {"a": {"url": "ftp://h"}}})"})
    EXPECT_THROW(hostlib::mcp_servers_of(Json::parse(bad), false), ValueError) << bad;
}

TEST(McpServers, TheEverythingServerOverStdioAndHttp) {
  const char* everything = std::getenv("DRAVIK_TEST_MCP_EVERYTHING");
  if (!everything) GTEST_SKIP() << "DRAVIK_TEST_MCP_EVERYTHING is not set";
  asio::io_context io;
  const fs::path dir = temp_dir();
  const std::uint16_t port = free_port();
  auto http_server = start_everything_http(io, everything, port);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/mcp";
  hostlib::McpServerConfig remote;
  remote.name = "remote";
  remote.url = url;
  std::vector<hostlib::McpServerConfig> configs = {program("local", {"node", everything, "stdio"}), remote};
  hostlib::McpOptions options;
  options.workdir = dir;
  hostlib::McpServers servers(io.get_executor(), configs, options);
  EXPECT_EQ(async::run_until_done(io, servers.start()), "");
  for (const std::string name : {"local", "remote"}) {
    const hostlib::McpTool* echo = servers.find(name + "__echo");
    ASSERT_NE(echo, nullptr) << name;
    EXPECT_TRUE(echo->read_only);
    EXPECT_EQ(echo->definition["function"]["name"], name + "__echo");
    const hostlib::McpTool* toggle = servers.find(name + "__toggle-simulated-logging");
    ASSERT_NE(toggle, nullptr) << name;
    EXPECT_FALSE(toggle->read_only);
    const auto r = async::run_until_done(io, servers.call(name + "__echo", Json{{"message", "hi " + name}}));
    EXPECT_TRUE(r.ok) << r.text;
    EXPECT_EQ(r.text, "Echo: hi " + name);
    // A failing call is the model's to read, not an exception.
    const auto bad = async::run_until_done(io, servers.call(name + "__echo", Json::object()));
    EXPECT_FALSE(bad.ok);
    const auto odd = async::run_until_done(io, servers.call(name + "__echo", Json("hi")));
    EXPECT_FALSE(odd.ok);
    EXPECT_NE(odd.text.find("must be a JSON object"), std::string::npos) << odd.text;
  }
  for (const auto& st : servers.status()) {
    EXPECT_EQ(st.state, "running") << st.name;
    EXPECT_GE(st.tools, 10u);
    EXPECT_GT(st.tokens, 100);
  }
  async::run_until_done(io, servers.stop());
  async::run_until_done(io, http_server.terminate(2s, true));
  fs::remove_all(dir);
}

TEST(McpServers, BrokenHungMissingAndCrashingServersAreNamedAndEnded) {
  asio::io_context io;
  const fs::path dir = temp_dir();
  write_text(dir / "garbage.sh", "#!/bin/sh\necho 'hello, I am not JSON-RPC'\nsleep 30\n", true);
  write_text(dir / "hung.sh", "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 30\n", true);
  // Answers the first call, then crashes on every later one; and leaves a
  // process of its own running that must not outlive it.
  write_text(dir / "crash.sh",
             scripted_server("if [ -e \"$0.called\" ]; then echo dying >&2; exit 3; fi; touch \"$0.called\"; "
                             "printf '{\"jsonrpc\":\"2.0\",\"id\":%s,\"result\":{\"content\":[{\"type\":\"text\","
                             "\"text\":\"went\"}]}}\\n' $id",
                             "sleep 300 & echo $! >> \"$0.helpers\"\n"),
             true);
  write_text(dir / "ignores.sh", scripted_server("sleep 30 &"), true);
  // Asks something of the client while it is being stopped.
  write_text(dir / "pings.sh",
             scripted_server("", "", "printf '{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"ping\"}\\n'; sleep 1\n"), true);
  hostlib::McpServerConfig far;
  far.name = "far";
  far.url = "http://192.0.2.1/mcp";
  hostlib::McpOptions options;
  options.workdir = dir;
  options.airgapped = true;
  options.limits = {1500ms, 1000ms, 200ms};
  hostlib::McpServers servers(io.get_executor(),
                              {program("garbage", {(dir / "garbage.sh").string()}),
                               program("hung", {(dir / "hung.sh").string()}),
                               program("missing", {(dir / "no-such-program").string()}), far,
                               program("crash", {(dir / "crash.sh").string()}),
                               program("ignores", {(dir / "ignores.sh").string()}),
                               program("pings", {(dir / "pings.sh").string()})},
                              options);
  const std::string warning = async::run_until_done(io, servers.start());
  for (const char* expected : {"garbage (it stopped: it printed something that is not JSON-RPC", "hung (", "did not answer initialize in time",
                               "missing (its program", "far (air-gapped mode allows only loopback"})
    EXPECT_NE(warning.find(expected), std::string::npos) << expected << " in " << warning;
  EXPECT_EQ(warning.find("crash"), std::string::npos) << warning;
  // The hung server was ended when it was left out.
  EXPECT_TRUE(eventually_gone(std::stoi(read_text(dir / "hung.sh.pid"))));

  EXPECT_EQ(async::run_until_done(io, servers.call("crash__go", Json::object())).text, "went");
  // It crashes: the call fails naming it; the next call starts it again
  // (which crashes again); after that it stays stopped.
  const auto crashed = async::run_until_done(io, servers.call("crash__go", Json::object()));
  EXPECT_FALSE(crashed.ok);
  EXPECT_NE(crashed.text.find("crash"), std::string::npos) << crashed.text;
  EXPECT_NE(servers.status()[4].state.find("stopped: it exited (it said: dying)"), std::string::npos)
      << servers.status()[4].state << " / " << crashed.text;
  const auto again = async::run_until_done(io, servers.call("crash__go", Json::object()));
  EXPECT_FALSE(again.ok);
  const auto last = async::run_until_done(io, servers.call("crash__go", Json::object()));
  EXPECT_NE(last.text.find("started again once already"), std::string::npos) << last.text;

  const auto slow = async::run_until_done(io, servers.call("ignores__go", Json::object()));
  EXPECT_NE(slow.text.find("did not answer tools/call in time"), std::string::npos) << slow.text;
  // A cancelled call propagates, and the server is told.
  asio::cancellation_signal cancel;
  asio::steady_timer soon(io, 100ms);
  soon.async_wait([&](boost::system::error_code) { cancel.emit(asio::cancellation_type::terminal); });
  std::exception_ptr cancelled;
  bool done = false;
  asio::co_spawn(io, servers.call("ignores__go", Json{{"n", 2}}),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, hostlib::McpCallResult) {
                   cancelled = e;
                   done = true;
                 }));
  while (!done) io.run_one();
  EXPECT_TRUE(is_cancellation(cancelled));
  for (int i = 0; i < 100 && read_text(dir / "ignores.sh.log").find("cancelled by the user") == std::string::npos; ++i)
    io.run_for(10ms);
  EXPECT_NE(read_text(dir / "ignores.sh.log").find("\"reason\":\"cancelled by the user\""), std::string::npos)
      << read_text(dir / "ignores.sh.log");
  async::run_until_done(io, servers.stop());
  // Nothing any server started is left running.
  std::istringstream helpers(read_text(dir / "crash.sh.helpers"));
  for (std::string pid; std::getline(helpers, pid);) EXPECT_TRUE(eventually_gone(std::stoi(pid))) << pid;
  fs::remove_all(dir);
}
