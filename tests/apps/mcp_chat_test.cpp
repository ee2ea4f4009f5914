// MCP servers in dravik chat: the reference "everything" server over stdio
// and HTTP, its tools offered, called and answered; a changing tool refused
// on a pipe and asked at a terminal; a project's server started only after
// the user agreed; nothing left running.
#include <sys/stat.h>

#include "apps/chat_fixture.hpp"
#include "fakes/mcp_peer.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

namespace {

class McpChat : public Chat {
 protected:
  std::string everything;

  void SetUp() override {
    const char* e = std::getenv("DRAVIK_TEST_MCP_EVERYTHING");
    if (!e) GTEST_SKIP() << "DRAVIK_TEST_MCP_EVERYTHING is not set";
    everything = e;
    Chat::SetUp();
  }
  void configure(const Json& servers) {
    Json cfg = Json::parse(read_text(home / ".dravik/config.json"));
    cfg["mcp_servers"] = servers;
    write_text(home / ".dravik/config.json", dump_json(cfg));
  }
  Json stdio_server() const { return {{"command", "node"}, {"args", {everything, "stdio"}}}; }
  // The stdio servers of this test still running.
  std::vector<pid_t> mcp_left() const {
    return processes([&](const std::string& cmdline) {
      return cmdline.find(everything + std::string(1, '\0') + "stdio") != std::string::npos ||
             cmdline.find((dir / "marker").string()) != std::string::npos;
    });
  }
  static std::vector<std::string> tool_names(const Json& request) {
    std::vector<std::string> names;
    for (const Json& t : request["tools"]) names.push_back(t["function"]["name"].get<std::string>());
    return names;
  }
  static bool has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  }
};

}  // namespace

TEST_F(McpChat, ToolsOverBothTransportsAreCalledAndAChangingOneIsRefusedOnAPipe) {
  const std::uint16_t http_port = free_port();
  auto http_server = start_everything_http(io, everything, http_port);
  configure({{"local", stdio_server()},
             {"remote", {{"url", "http://127.0.0.1:" + std::to_string(http_port) + "/mcp"}}},
             {"broken", {{"command", "sh"}, {"args", {"-c", "echo nope; sleep 30"}}}},
             {"off", {{"command", "sh"}, {"enabled", false}}}});
  // A project's server is not started from a pipe.
  write_text(work / ".dravik/config.json",
             dump_json(Json{{"mcp_servers", {{"proj", {{"command", "sh"}, {"args", {"-c", "touch " + (dir / "marker").string()}}}}}}}));
  write_text(script, R"([
    {"tool_calls": [{"name": "local__echo", "arguments": {"message": "over stdio"}},
                    {"name": "remote__echo", "arguments": {"message": "over http"}}]},
    {"tool_calls": [{"name": "local__toggle-simulated-logging", "arguments": {}}]},
    {"content": "Done."}])");
  auto r = chat({"-p", "use the tools"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("Done."), std::string::npos) << r.out;
  EXPECT_NE((r.out + r.err).find("MCP servers left out: broken (it stopped: it printed something that is not JSON-RPC"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("proj of this project's .dravik/config.json not started"), std::string::npos)
      << r.out << r.err;
  EXPECT_FALSE(fs::exists(dir / "marker"));
  const auto reqs = sent();
  ASSERT_EQ(reqs.size(), 3u);
  const auto names = tool_names(reqs[0]);
  EXPECT_TRUE(has(names, "read_file") && has(names, "local__echo") && has(names, "remote__echo"));
  EXPECT_FALSE(has(names, "broken__echo") || has(names, "proj__echo"));
  const Json& second = reqs[1]["messages"];
  EXPECT_EQ(second[second.size() - 2]["content"], "Echo: over stdio");
  EXPECT_EQ(second[second.size() - 1]["content"], "Echo: over http");
  const Json& third = reqs[2]["messages"];
  EXPECT_NE(third[third.size() - 1]["content"].get<std::string>().find("Not allowed: changes need approval"),
            std::string::npos)
      << third[third.size() - 1];
  EXPECT_TRUE(mcp_left().empty());
  run_until_done(io, http_server.terminate(2s, true));
}

TEST_F(McpChat, AProjectServerStartsOnceAgreedAndItsChangingToolIsAskedAtATerminal) {
  write_text(work / ".dravik/config.json", dump_json(Json{{"mcp_servers", {{"proj", stdio_server()}}}}));
  write_text(script, R"([
    {"tool_calls": [{"name": "proj__toggle-simulated-logging", "arguments": {}}]},
    {"content": "Toggled."},
    {"tool_calls": [{"name": "proj__echo", "arguments": {"message": "again"}}]},
    {"content": "Echoed."}])");
  {
    Terminal t(dravik, work, env());
    ASSERT_TRUE(t.read_until("would run: node " + everything + " stdio")) << t.screen;
    ASSERT_TRUE(t.read_until("Start it?")) << t.screen;
    t.type("y\r");
    ASSERT_TRUE(t.read_until("you")) << t.screen;
    t.type("toggle it\r");
    ASSERT_TRUE(t.read_until("Allow proj__toggle-simulated-logging")) << t.screen;
    t.type("y\r");
    ASSERT_TRUE(t.read_until("Toggled.")) << t.screen;
    ASSERT_TRUE(t.read_until("you")) << t.screen;
    t.type("/status\r");
    ASSERT_TRUE(t.read_until("proj: running, ")) << t.screen;
    ASSERT_TRUE(t.read_until("tokens in every request")) << t.screen;
    t.type("/exit\r");
    EXPECT_EQ(t.wait_exit(), 0) << t.screen;
  }
  const auto reqs = sent();
  ASSERT_GE(reqs.size(), 2u);
  EXPECT_NE(reqs[1]["messages"].back()["content"].get<std::string>().find("logging"), std::string::npos)
      << reqs[1]["messages"].back();
  struct stat st {};
  ASSERT_EQ(::stat((home / ".dravik/mcp-consent.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(mcp_left().empty());
  // Agreed once: the next run starts it from a pipe too, and its read-only
  // tool runs unasked.
  auto r = chat({"-p", "echo"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("Echoed."), std::string::npos) << r.out << r.err;
  EXPECT_EQ(sent().back()["messages"].back()["content"], "Echo: again");
  EXPECT_TRUE(mcp_left().empty());
}
