// LlamaEvictionTarget through a real SidecarClient and the fake
// llama-server: the conversation file, the KV-cache file and the restore
// rules, then the whole cycle driven by the coordinator.
#include <sys/stat.h>

#include <cmath>

#include <gtest/gtest.h>

#include "eviction/log_capture.hpp"
#include "eviction_coordinator/eviction_coordinator.hpp"
#include "server_eviction/server_eviction.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/errors.hpp"
#include "support/process/process.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;
using server_eviction::LlamaEvictionTarget;

namespace {

class LlamaTarget : public ::testing::Test {
 protected:
  SidecarEnv env;
  asio::io_context io;
  std::unique_ptr<sidecar::SidecarClient> client = env.client(io);
  std::shared_ptr<Json> messages = std::make_shared<Json>(Json::array(
      {{{"role", "system"}, {"content", "Du bist hilfreich. ünïcödé ✓"}},
       {{"role", "user"}, {"content", "line1\nline2\t\"quoted\""}, {"name", nullptr}}}));
  LlamaEvictionTarget target{*client, messages};
  fs::path state = fs::current_path() / ".dravik/state/swap";
  std::shared_ptr<FakeMemoryProbe> probe = std::make_shared<FakeMemoryProbe>();
  std::shared_ptr<ScriptedShellExecutor> shell = std::make_shared<ScriptedShellExecutor>();

  void SetUp() override {
    host::HostServices s;
    s.isolation_policy = env.policy;
    s.chat_protocol = env.chat;
    s.memory_limits_probe = probe;
    s.shell_executor = shell;
    host::install_host_services(s);
  }
  void TearDown() override {
    server_eviction::detail::before_commit() = nullptr;
    run_until_done(io, client->close());
  }
  void start() { run_until_done(io, client->start()); }
  bool save(const fs::path& dir) { return run_until_done(io, target.save_state(dir)); }
  bool restore(const fs::path& dir) { return run_until_done(io, target.restore_state(dir)); }
};

}  // namespace

TEST_F(LlamaTarget, TheConversationIsWrittenPrettyOwnerOnlyAndByteExact) {
  start();
  EXPECT_TRUE(save(state));
  const std::string expected =
      "[\n  {\n    \"role\": \"system\",\n    \"content\": \"Du bist hilfreich. ünïcödé ✓\"\n  },\n"
      "  {\n    \"role\": \"user\",\n    \"content\": \"line1\\nline2\\t\\\"quoted\\\"\",\n    \"name\": null\n  }\n]";
  EXPECT_EQ(read_text(state / "messages.json"), expected);
  EXPECT_EQ(fs::status(state / "messages.json").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(fs::exists(state / "kv_cache.bin"));
  // Nothing but the two files is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(state), fs::directory_iterator()), 2);
  // The directories holding them are the owner's only, from ".dravik" down.
  for (const fs::path& d : {fs::current_path() / ".dravik", fs::current_path() / ".dravik/state", state})
    EXPECT_EQ(fs::status(d).permissions() & fs::perms::mask, fs::perms::owner_all) << d;
}

// Text that the file cannot carry as it is (invalid UTF-8 in a tool's
// output, a NaN) does not make the conversation look replaced: what was
// appended while the command ran is kept.
TEST_F(LlamaTarget, RestoreComparesTheConversationAsTheFileCarriesIt) {
  start();
  messages->push_back({{"role", "tool"}, {"content", "bytes \xff\xfe from a binary"}});
  messages->push_back({{"role", "tool"}, {"content", "ok"}, {"score", std::nan("")}});
  EXPECT_TRUE(save(state));
  messages->push_back({{"role", "user"}, {"content", "appended while the command ran"}});
  Json* identity = messages.get();
  EXPECT_TRUE(restore(state));
  EXPECT_EQ(messages.get(), identity);
  ASSERT_EQ(messages->size(), 5u);
  EXPECT_EQ(messages->back()["content"], "appended while the command ran");
  EXPECT_EQ((*messages)[2]["content"], "bytes \xff\xfe from a binary");  // the live text, not the file's
}

TEST_F(LlamaTarget, ANumberOutOfRangeInTheFileIsAWarningNotACrash) {
  start();
  const Json original = *messages;
  fs::create_directories(state);
  write_text(state / "messages.json", R"([{"role": "user", "content": "x", "n": 1e500}])");
  LogCapture logs;
  EXPECT_FALSE(restore(state));
  EXPECT_EQ(*messages, original);
  bool warned = false;
  for (const auto& l : logs.lines()) warned = warned || l.find("warning: Failed to restore messages: ") != std::string::npos;
  EXPECT_TRUE(warned);
}

TEST_F(LlamaTarget, AnEmptyConversationIsWrittenAsBracketsEvenWithoutAServer) {
  LogCapture logs;
  messages->clear();
  const fs::path deep = env.dir / "a/b/c";
  EXPECT_TRUE(save(deep));  // no server: the KV save fails, the save still counts
  EXPECT_EQ(read_text(deep / "messages.json"), "[]");
  EXPECT_TRUE(logs.contains("server_eviction info: KV cache save returned False (server may not support slots)"));
}

TEST_F(LlamaTarget, InvalidUtf8InMessagesIsReplacedNotFatal) {
  (*messages)[0]["content"] = std::string("bad \xff byte");
  EXPECT_TRUE(save(state));
  EXPECT_NE(read_text(state / "messages.json").find("bad \xEF\xBF\xBD byte"), std::string::npos);
}

TEST_F(LlamaTarget, AFailedWriteKeepsTheOldConversationOnDisk) {
  EXPECT_TRUE(save(state));
  const std::string before = read_text(state / "messages.json");
  messages->push_back({{"role", "assistant"}, {"content", "new"}});
  server_eviction::detail::before_commit() = [](int) { throw OSError(ENOSPC, "No space left on device"); };
  LogCapture logs;
  EXPECT_FALSE(save(state));
  EXPECT_EQ(read_text(state / "messages.json"), before);
  EXPECT_TRUE(logs.contains("server_eviction warning: Failed to save messages: No space left on device"));
  EXPECT_EQ(std::distance(fs::directory_iterator(state), fs::directory_iterator()), 1);
}

TEST_F(LlamaTarget, AStateDirectoryThatCannotBeCreatedIsAnError) {
  write_text(env.dir / "blocker", "file");
  EXPECT_THROW(save(env.dir / "blocker/state"), OSError);
}

TEST_F(LlamaTarget, AStaleCacheFileIsNeverRestoredAsIfFresh) {
  write_text(state / "kv_cache.bin", "from an earlier cycle");
  EXPECT_TRUE(save(state));  // no server: this save wrote no cache
  EXPECT_FALSE(fs::exists(state / "kv_cache.bin"));
  start();
  EXPECT_FALSE(restore(state));
}

TEST_F(LlamaTarget, RestoreKeepsTheListObjectAndItsAppendedMessages) {
  start();
  EXPECT_TRUE(save(state));
  const Json saved = *messages;
  Json* identity = messages.get();
  messages->push_back({{"role", "tool"}, {"content", "appended while the command ran"}});
  EXPECT_TRUE(restore(state));
  EXPECT_EQ(messages.get(), identity);
  EXPECT_EQ(messages->size(), 3u);
  // A list that no longer starts with the saved messages is replaced.
  *messages = Json::array({{{"role", "user"}, {"content", "other"}}});
  EXPECT_TRUE(restore(state));
  EXPECT_EQ(*messages, saved);
  EXPECT_EQ(messages.get(), identity);
}

TEST_F(LlamaTarget, RestoreEdgeCasesLeaveTheConversationAlone) {
  start();
  const Json original = *messages;
  fs::create_directories(state);
  // No messages file, no cache file: conversation kept, false.
  EXPECT_FALSE(restore(state));
  EXPECT_EQ(*messages, original);
  // An object instead of a list: kept, and the cache is still tried.
  write_text(state / "messages.json", R"({"role":"user"})");
  write_text(state / "kv_cache.bin", "x");
  EXPECT_TRUE(restore(state));
  EXPECT_EQ(*messages, original);
  // Truncated JSON: false with a warning, the cache is not touched.
  LogCapture logs;
  write_text(state / "messages.json", R"([{"role": "us)");
  fs::remove(state / "kv_cache.bin");
  fs::create_directories(state / "kv_cache.bin");  // would fail if tried
  EXPECT_FALSE(restore(state));
  EXPECT_EQ(*messages, original);
  bool warned = false;
  for (const auto& l : logs.lines()) warned = warned || l.find("warning: Failed to restore messages: ") != std::string::npos;
  EXPECT_TRUE(warned);
  // Not UTF-8: an error the coordinator catches; the conversation is kept.
  write_text(state / "messages.json", "[\"\xff\"]");
  EXPECT_THROW(restore(state), ValueError);
  EXPECT_EQ(*messages, original);
}

TEST_F(LlamaTarget, ACacheFileTheServerRejectsGivesFalse) {
  start();
  fs::create_directories(state);
  LogCapture logs;
  // The fake's slot directory is the state directory; a cache "file" it
  // cannot read makes it answer 400, as the real server does for a bad file.
  fs::create_directories(state / "kv_cache.bin");
  EXPECT_FALSE(restore(state));
  EXPECT_TRUE(logs.contains("server_eviction info: KV cache restore returned False — will re-prompt"));
}

TEST_F(LlamaTarget, MemoryFiguresComeFromTheProbeAndTheEstimate) {
  EXPECT_EQ(target.available_memory_mb(), 0.0);
  probe->snapshot = host::MemorySnapshot{};
  EXPECT_EQ(target.available_memory_mb(), 0.0);
  probe->snapshot->available_mb = 1234.5;
  EXPECT_EQ(target.available_memory_mb(), 1234.5);
  EXPECT_EQ(target.model_memory_mb(), 2500.0);
  target.set_estimated_model_mb(-3);
  EXPECT_EQ(target.model_memory_mb(), 2500.0);
  target.set_estimated_model_mb(4100);
  EXPECT_EQ(target.model_memory_mb(), 4100.0);
}

TEST_F(LlamaTarget, MessagesMustBeAList) {
  EXPECT_THROW(LlamaEvictionTarget(*client, std::make_shared<Json>(Json::object())), TypeError);
  EXPECT_THROW(target.set_messages(std::make_shared<Json>("text")), TypeError);
  LlamaEvictionTarget fresh(*client);
  EXPECT_EQ(*fresh.messages(), Json::array());
}

TEST_F(LlamaTarget, TheWholeCycleAgainstARealServerProcess) {
  start();
  const pid_t first = client->_proc->pid();
  auto shared_target = std::make_shared<LlamaEvictionTarget>(*client, messages);
  std::vector<std::string> status;
  eviction_coordinator::EvictionCoordinator coordinator(shared_target, std::nullopt,
                                                        [&](const std::string& s) { status.push_back(s); });
  bool server_was_gone = false;
  shell->during_shell = [&]() -> asio::awaitable<void> {
    server_was_gone = !client->_proc && ::kill(first, 0) != 0;
    co_return;
  };
  auto r = run_until_done(io, coordinator.run_with_swap("cmake --build .", 60));
  EXPECT_TRUE(server_was_gone);
  EXPECT_TRUE(r.unloaded && r.reload_ok && r.restore_ok);
  ASSERT_TRUE(client->_proc);
  EXPECT_NE(client->_proc->pid(), first);
  EXPECT_TRUE(fs::exists(state / "messages.json"));
  EXPECT_TRUE(fs::exists(state / "kv_cache.bin"));
  EXPECT_EQ(status.size(), 6u);
}
