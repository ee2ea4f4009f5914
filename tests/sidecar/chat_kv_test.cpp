// Chat streaming and KV-cache slots against the fake llama-server, and the
// slot requests' failure modes against scripted local servers.
#include <gtest/gtest.h>

#include "sidecar_env.hpp"
#include "support/errors.hpp"
#include "support/process/process.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;
using sidecar::SidecarClient;

namespace {

class ChatAndSlots : public ::testing::Test {
 protected:
  SidecarEnv env;
  asio::io_context io;
  std::unique_ptr<SidecarClient> c = env.client(io);

  void SetUp() override { run_until_done(io, c->start()); }
  void TearDown() override { run_until_done(io, c->close()); }

  std::vector<Json> drain(host::ChunkStream& s) {
    return run_until_done(io, [&]() -> asio::awaitable<std::vector<Json>> {
      std::vector<Json> out;
      while (auto chunk = co_await s.next()) out.push_back(chunk->data);
      co_return out;
    }());
  }
  static std::string content(const Json& chunk) {
    const Json& d = chunk.at("choices").at(0).at("delta");
    return d.contains("content") && d["content"].is_string() ? d["content"].get<std::string>() : "";
  }
};

// A client pointed at a scripted server instead of a llama-server.
std::unique_ptr<SidecarClient> client_for(asio::io_context& io, SidecarEnv& env, std::uint16_t port) {
  return std::make_unique<SidecarClient>(io.get_executor(), "m.gguf", "127.0.0.1", port, 2048, "cpu", 99, false,
                                         env.hook());
}

}  // namespace

TEST_F(ChatAndSlots, AStreamDoesNothingUntilConsumedThenRelaysEveryChunk) {
  Json messages = Json::array({{{"role", "user"}, {"content", "hi"}}});
  auto stream = c->chat_stream(messages);
  EXPECT_TRUE(env.chat->calls.empty());
  auto checks_before = env.policy->endpoint_checks.size();
  auto chunks = drain(*stream);
  ASSERT_EQ(env.chat->calls.size(), 1u);
  const auto& call = env.chat->calls[0];
  EXPECT_EQ(call.base_url, c->base_url);
  EXPECT_EQ(call.model, "local");
  EXPECT_EQ(call.messages, messages);
  EXPECT_TRUE(call.use_tools);
  EXPECT_FALSE(call.extra_body.has_value());
  EXPECT_EQ(env.policy->endpoint_checks.size(), checks_before + 1);
  ASSERT_EQ(chunks.size(), 7u);  // role, echo, 4 tokens, finish
  EXPECT_EQ(content(chunks[1]), "thinking=unset format=unset");
  EXPECT_EQ(content(chunks[2]), " tok0");
  EXPECT_EQ(chunks[6]["choices"][0]["finish_reason"], "length");
}

TEST_F(ChatAndSlots, ReasoningModeReachesTheServerAndIsReadWhenTheStreamStarts) {
  c->set_reasoning_mode("on");
  auto on = c->chat_stream(Json::array(), false);
  c->set_reasoning_mode("off");  // before consumption: this one applies
  auto chunks = drain(*on);
  EXPECT_EQ(content(chunks[1]), "thinking=false format=none");
  EXPECT_FALSE(env.chat->calls.back().use_tools);
  c->set_reasoning_mode("on");
  EXPECT_EQ(content(drain(*c->chat_stream(Json::array()))[1]), "thinking=true format=auto");
}

TEST_F(ChatAndSlots, ARefusedEndpointFailsTheFirstStepWithoutARequest) {
  env.policy->refuse = "air-gapped: local only";
  auto stream = c->chat_stream(Json::array());
  EXPECT_THROW(drain(*stream), host::AirgapViolationError);
  EXPECT_TRUE(env.chat->calls.empty());
}

TEST_F(ChatAndSlots, AnAbandonedStreamReleasesItsConnection) {
  env.setenv("FAKE_LLAMA_CHUNKS", "5000");
  run_until_done(io, c->start());  // restarted with the long replies
  {
    auto stream = c->chat_stream(Json::array());
    auto first = run_until_done(io, stream->next());
    ASSERT_TRUE(first);
  }  // dropped mid-stream
  EXPECT_EQ(drain(*c->chat_stream(Json::array())).size(), 5003u);
}

TEST_F(ChatAndSlots, SeveralStreamsCanBeOpenAtOnce) {
  auto a = c->chat_stream(Json::array());
  auto b = c->chat_stream(Json::array());
  auto first_a = run_until_done(io, a->next());
  auto first_b = run_until_done(io, b->next());
  ASSERT_TRUE(first_a && first_b);
  EXPECT_EQ(drain(*b).size(), 6u);
  EXPECT_EQ(drain(*a).size(), 6u);
}

TEST_F(ChatAndSlots, SaveAndRestoreUseTheSlotDirectoryByFileName) {
  EXPECT_TRUE(run_until_done(io, c->save_kv_cache("/somewhere/else/kv_cache.bin")));
  EXPECT_TRUE(fs::exists(".dravik/state/swap/kv_cache.bin"));
  EXPECT_TRUE(run_until_done(io, c->restore_kv_cache(".dravik/state/swap/kv_cache.bin")));
  // A missing file is the server's "no": false, and no event.
  EXPECT_FALSE(run_until_done(io, c->restore_kv_cache("missing.bin")));
  EXPECT_EQ(env.find_event("runtime_llama_kv_restore_failed"), nullptr);
}

TEST_F(ChatAndSlots, ResetRestartsTheServer) {
  pid_t before = c->_proc->pid();
  run_until_done(io, c->reset_kv_cache());
  ASSERT_TRUE(c->_proc);
  EXPECT_NE(c->_proc->pid(), before);
  run_until_done(io, c->_stop_server());
  run_until_done(io, c->reset_kv_cache());  // no server: still starts one
  EXPECT_TRUE(c->_proc);
}

TEST(SlotFailures, OnlyStatus200CountsAndErrorsBecomeOneEvent) {
  SidecarEnv env;
  asio::io_context io;
  int status = 201;
  TestHttpServer server(io.get_executor(), [&](const RawRequest&, Conn& conn) -> asio::awaitable<void> {
    co_await conn.respond(status, "{}");
  });
  auto c = client_for(io, env, server.port());
  EXPECT_FALSE(run_until_done(io, c->save_kv_cache("kv_cache.bin")));
  status = 204;
  EXPECT_FALSE(run_until_done(io, c->restore_kv_cache("kv_cache.bin")));
  EXPECT_TRUE(env.events.empty());
  EXPECT_EQ(Json::parse(server.requests().at(0).body), (Json{{"filename", "kv_cache.bin"}}));
  EXPECT_EQ(server.requests().at(0).target, "/slots/0?action=save");
  EXPECT_EQ(server.requests().at(1).target, "/slots/0?action=restore");
}

TEST(SlotFailures, AServerThatIsGoneSlowOrSpeaksGarbageGivesFalse) {
  SidecarEnv env;
  sidecar::detail::seams().slot_request_timeout = 200ms;
  asio::io_context io;
  auto gone = client_for(io, env, free_port());
  EXPECT_FALSE(run_until_done(io, gone->save_kv_cache("kv_cache.bin")));
  ASSERT_EQ(env.events.size(), 1u);
  EXPECT_EQ(env.events[0].type, "runtime_llama_kv_save_failed");
  EXPECT_EQ(env.events[0].payload.size(), 1u);
  EXPECT_TRUE(env.events[0].payload.contains("error"));

  TestHttpServer slow(io.get_executor(), [](const RawRequest&, Conn& conn) -> asio::awaitable<void> {
    co_await conn.sleep(5s);
  });
  EXPECT_FALSE(run_until_done(io, client_for(io, env, slow.port())->restore_kv_cache("kv_cache.bin")));
  EXPECT_EQ(env.events.back().type, "runtime_llama_kv_restore_failed");

  TestHttpServer garbage(io.get_executor(), [](const RawRequest&, Conn& conn) -> asio::awaitable<void> {
    co_await conn.write("SPEAKS NO HTTP\r\n\r\n");
  });
  EXPECT_FALSE(run_until_done(io, client_for(io, env, garbage.port())->save_kv_cache("kv_cache.bin")));
  EXPECT_EQ(env.events.size(), 3u);
}

TEST(SlotFailures, ATricklingServerCannotStretchTheSlotRequestTimeOut) {
  SidecarEnv env;
  env.setenv("FAKE_LLAMA_SLOT_TRICKLE_MS", "30");  // each byte well within the time-out
  asio::io_context io;
  auto c = env.client(io);
  run_until_done(io, c->start());
  sidecar::detail::seams().slot_request_timeout = 300ms;
  EXPECT_FALSE(run_until_done(io, c->save_kv_cache("kv_cache.bin")));
  EXPECT_EQ(env.events.back().type, "runtime_llama_kv_save_failed");
  run_until_done(io, c->close());
}

// llama-server finishes its SIGTERM shutdown only once no request is in
// flight: stopping ends our own open stream first.
TEST_F(ChatAndSlots, StoppingWithAStreamOpenEndsTheStreamAndStopsGracefully) {
  run_until_done(io, c->close());
  env.setenv("FAKE_LLAMA_STREAM_HOLD_MS", "60000");
  const fs::path marker = env.dir / "exit-marker";
  env.setenv("FAKE_LLAMA_EXIT_MARKER", marker.string());
  sidecar::detail::seams().stop_grace = 3000ms;
  c = env.client(io);
  run_until_done(io, c->start());
  auto stream = c->chat_stream(Json::array({{{"role", "user"}, {"content", "hi"}}}));
  std::exception_ptr stream_error;
  bool stream_done = false;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> {
    while (co_await stream->next()) {
    }
  }, [&](std::exception_ptr e) {
    stream_error = e;
    stream_done = true;
  });
  asio::steady_timer t(io, 200ms);  // the stream is open and waiting
  run_until_done(io, [&]() -> asio::awaitable<void> { co_await t.async_wait(asio::use_awaitable); }());
  run_until_done(io, c->_stop_server());
  while (!stream_done) io.run_one();
  EXPECT_TRUE(stream_error);
  EXPECT_FALSE(is_cancellation(stream_error));
  EXPECT_EQ(read_text(marker), "graceful");  // SIGTERM did it, not SIGKILL
}
