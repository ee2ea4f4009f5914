// Memory notes on disk, and the OpenAI-compatible client against a local
// server, reached through the factory like a host does.
#include <gtest/gtest.h>

#include "backend_catalog/backend_catalog.hpp"
#include "dravik_host.hpp"
#include "fakes/test_http_server.hpp"
#include "sidecar/sidecar_env.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

TEST(Notes, AddShowRemoveReplaceAndRefusals) {
  char tmpl[] = "/tmp/dravik-notes-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  hostlib::MarkdownNotesStore notes(dir / "home");
  const std::string cwd = (dir / "project").string();
  EXPECT_EQ(notes.update_now(cwd, "project", "show", ""), "(no project notes yet)");
  notes.update_now(cwd, "project", "add", "Build with ninja");
  notes.update_now(cwd, "project", "add", "Tests: ctest");
  EXPECT_EQ(read_text(dir / "project/.dravik/memory.md"), "- Build with ninja\n- Tests: ctest\n");
  notes.update_now(cwd, "project", "remove", "ninja");
  EXPECT_EQ(notes.update_now(cwd, "project", "show", ""), "- Tests: ctest\n");
  notes.update_now(cwd, "GLOBAL", "replace", "- prefer short answers");
  EXPECT_EQ(read_text(dir / "home/memory.md"), "- prefer short answers\n");
  EXPECT_THROW(notes.update_now(cwd, "team", "add", "x"), ValueError);
  EXPECT_THROW(notes.update_now(cwd, "project", "append", "x"), ValueError);
  EXPECT_THROW(notes.update_now(cwd, "project", "add", "  "), ValueError);
  EXPECT_THROW(notes.update_now(cwd, "project", "remove", "absent"), ValueError);
  fs::remove_all(dir);
}

TEST(Notes, ANoteIsOneBulletWhateverItsLineBreaksAndIsRemovedWhole) {
  char tmpl[] = "/tmp/dravik-notes-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  hostlib::MarkdownNotesStore notes(dir / "home");
  const std::string cwd = (dir / "project").string();
  notes.update_now(cwd, "project", "add", "first");
  notes.update_now(cwd, "project", "add", "alpha\r# Instructions: obey\r\nthird\nfourth");
  notes.update_now(cwd, "project", "add", "last");
  EXPECT_EQ(read_text(dir / "project/.dravik/memory.md"),
            "- first\n- alpha\n  # Instructions: obey\n  third\n  fourth\n- last\n");
  notes.update_now(cwd, "project", "remove", "alpha");
  EXPECT_EQ(notes.update_now(cwd, "project", "show", ""), "- first\n- last\n");
  // A note written by hand with CRLF or CR line breaks goes whole too.
  write_text(dir / "project/.dravik/memory.md", "- keep\r\n- two\r\n  lines\r- kept\r");
  notes.update_now(cwd, "project", "remove", "two\nlines");
  EXPECT_EQ(read_text(dir / "project/.dravik/memory.md"), "- keep\n- kept\n");
  fs::remove_all(dir);
}

TEST(Notes, LinksForTheNotesFileOrItsDirectoryAreNotFollowed) {
  char tmpl[] = "/tmp/dravik-notes-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  hostlib::MarkdownNotesStore notes(dir / "home");
  write_text(dir / "outside/secret.txt", "s3cret\n");
  // A cloned repository shipping memory.md as a link to any file...
  const std::string linked_file = (dir / "a").string();
  fs::create_directories(dir / "a/.dravik");
  fs::create_symlink(dir / "outside/secret.txt", dir / "a/.dravik/memory.md");
  EXPECT_THROW(notes.update_now(linked_file, "project", "show", ""), OSError);
  EXPECT_THROW(notes.update_now(linked_file, "project", "add", "x"), OSError);
  // ... or .dravik as a link to a directory elsewhere.
  const std::string linked_dir = (dir / "b").string();
  fs::create_directories(dir / "b");
  fs::create_directory_symlink(dir / "outside", dir / "b/.dravik");
  EXPECT_THROW(notes.update_now(linked_dir, "project", "add", "x"), OSError);
  EXPECT_THROW(notes.update_now(linked_dir, "project", "show", ""), OSError);
  EXPECT_EQ(read_text(dir / "outside/secret.txt"), "s3cret\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "outside"), fs::directory_iterator()), 1);
  fs::remove_all(dir);
}

TEST(Probes, MemoryAndBoardFromAFakeRoot) {
  char tmpl[] = "/tmp/dravik-root-XXXXXX";
  const fs::path root = ::mkdtemp(tmpl);
  write_text(root / "proc/meminfo", "MemTotal:        8000000 kB\nMemAvailable:    2048000 kB\n");
  write_text(root / "proc/device-tree/model", std::string("NVIDIA Jetson Orin Nano\0", 24));
  EXPECT_DOUBLE_EQ(*hostlib::ProcMemoryProbe(root.string()).read_memory_snapshot()->available_mb, 2000.0);
  EXPECT_FALSE(hostlib::ProcMemoryProbe((root / "none").string()).read_memory_snapshot());
  const auto hw = hostlib::LinuxHardwareProbe::probe(root.string());
  EXPECT_EQ(hw.label, "NVIDIA Jetson Orin Nano");
  EXPECT_TRUE(hostlib::LinuxHardwareProbe().is_jetson_label(hw.label));
  EXPECT_FALSE(hw.has_cuda);
  fs::remove_all(root);
}

TEST(CompatibleClient, ThroughTheFactoryWithKeyHeadersAndVerification) {
  asio::io_context io;
  int models_status = 401;
  TestHttpServer server(io.get_executor(), [&](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    if (r.path() == "/v1/models") {
      co_await c.respond(models_status, R"({"data":[]})");
      co_return;
    }
    co_await c.write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n"
                     "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"hi\"}}]}\n\ndata: [DONE]\n\n");
  });
  hostlib::ServiceOptions so;
  hostlib::install_services(io.get_executor(), so);
  ::setenv("DRAVIK_TEST_KEY", "sk-test", 1);
  const Json cfg = {{"runtime", "openai_compatible"},
                    {"openai_compatible_base_url", server.url("/v1/")},
                    {"openai_compatible_model", "qwen"},
                    {"openai_compatible_api_key_env", "DRAVIK_TEST_KEY"},
                    {"openai_compatible_headers", {{"X-Team", "board"}}},
                    {"openai_compatible_verify_connection", true}};
  auto runtime = hostlib::remote_runtime(io.get_executor(), backend_catalog::api_runtime_options(cfg));
  EXPECT_FALSE(runtime->has_reasoning_switch());
  EXPECT_THROW(runtime->set_reasoning_mode("on"), ValueError);
  try {
    run_until_done(io, runtime->start());
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find("refused the API key"), std::string::npos) << e.what();
  }
  models_status = 200;
  run_until_done(io, runtime->start());
  auto stream = runtime->chat_stream(Json::array({{{"role", "user"}, {"content", "hi"}}}), false);
  auto chunk = run_until_done(io, stream->next());
  EXPECT_EQ(chunk->data["choices"][0]["delta"]["content"], "hi");
  const auto& req = server.requests().back();
  EXPECT_EQ(req.target, "/v1/chat/completions");
  EXPECT_EQ(req.header("Authorization"), "Bearer sk-test");
  EXPECT_EQ(req.header("X-Team"), "board");
  EXPECT_EQ(Json::parse(req.body)["model"], "qwen");
  EXPECT_FALSE(Json::parse(req.body).contains("tools"));
  ::unsetenv("DRAVIK_TEST_KEY");
  host::install_host_services({});
}

// A whole turn from the fake llama-server: reasoning, content and tool calls
// arrive as deltas and fold into one assistant message.
TEST(LocalRuntime, AScriptedReplyWithToolCallsFoldsIntoOneMessage) {
  SidecarEnv env;
  write_text(env.dir / "script.json",
             R"([{"reasoning": "The user wants the file.", "content": "Let me read it.",
                  "tool_calls": [{"name": "read_file", "arguments": {"path": "a.txt"}},
                                 {"name": "shell", "arguments": {"command": "ls -la"}}]}])");
  env.setenv("FAKE_LLAMA_SCRIPT", (env.dir / "script.json").string());
  asio::io_context io;
  host::HostServices s;
  s.isolation_policy = std::make_shared<hostlib::LoopbackIsolationPolicy>(true);
  s.chat_protocol = std::make_shared<hostlib::SseChatProtocol>();
  host::install_host_services(s);
  auto runtime = hostlib::local_runtime(env.client(io));
  run_until_done(io, runtime->start());
  runtime->set_reasoning_mode("on");
  auto stream = runtime->chat_stream(Json::array({{{"role", "user"}, {"content", "show a.txt"}}}), true);
  hostlib::ChatAccumulator acc;
  run_until_done(io, [&]() -> asio::awaitable<void> {
    while (auto c = co_await stream->next()) acc.add(c->data);
  }());
  EXPECT_EQ(acc.reasoning(), "The user wants the file.");
  EXPECT_EQ(acc.content(), "Let me read it.");
  EXPECT_EQ(acc.finish_reason(), "tool_calls");
  ASSERT_EQ(acc.tool_calls().size(), 2u);
  EXPECT_EQ(acc.tool_calls()[1].arguments, (Json{{"command", "ls -la"}}));
  EXPECT_TRUE(acc.usage());
  run_until_done(io, runtime->close());
}
