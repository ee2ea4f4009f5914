// The chat protocol against local servers that split events anywhere, and
// the accumulator folding chunks into the assistant message.
#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include "dravik_host.hpp"
#include "fakes/test_http_server.hpp"
#include "support/http/http.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

namespace {

std::string event(const Json& data) { return "data: " + data.dump() + "\n\n"; }
Json delta(const Json& d) { return Json{{"choices", {{{"index", 0}, {"delta", d}, {"finish_reason", nullptr}}}}}; }

struct Served {
  asio::io_context io;
  std::string body;            // what the server sends after the headers
  int status = 200;
  bool byte_by_byte = true;
  std::unique_ptr<TestHttpServer> server = std::make_unique<TestHttpServer>(
      io.get_executor(), [this](const RawRequest&, Conn& c) -> asio::awaitable<void> {
        if (status != 200) {
          co_await c.respond(status, body);
          co_return;
        }
        co_await c.write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n");
        if (byte_by_byte)
          for (char ch : body) co_await c.write(std::string(1, ch));
        else
          co_await c.write(body);
      });
  http::Client client{io.get_executor(), 5s};

  std::vector<Json> stream(const std::string& base_suffix = "", Json extra = nullptr) {
    hostlib::SseChatProtocol protocol;
    std::optional<Json> extra_body;
    if (!extra.is_null()) extra_body = extra;
    auto s = protocol.stream_openai_chat(client, server->url("") + base_suffix, "local",
                                         Json::array({{{"role", "user"}, {"content", "hi"}}}), true, extra_body);
    return run_until_done(io, [&]() -> asio::awaitable<std::vector<Json>> {
      std::vector<Json> out;
      while (auto c = co_await s->next()) out.push_back(c->data);
      co_return out;
    }());
  }
};

}  // namespace

TEST(Sse, EventsSplitAnywhereWithCrLfCommentsAndMultiLineData) {
  hostlib::SseParser p;
  const std::string wire = ": keep-alive\r\n\r\ndata: {\"a\":1}\r\n\r\nevent: x\ndata: line1\ndata: line2\n\ndata: [DONE]\n\n";
  std::vector<std::string> events;
  for (char c : wire) {
    p.feed(std::string_view(&c, 1));
    while (auto e = p.next_event()) events.push_back(*e);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"{\"a\":1}", "line1\nline2", "[DONE]"}));
  hostlib::SseParser small(100);
  EXPECT_THROW(small.feed(std::string(200, 'x')), RuntimeError);
}

TEST(ChatProtocol, RequestAndChunksByteByByte) {
  Served s;
  const std::string too_deep = "{\"usage\":{\"x\":" + std::string(1000, '[') + std::string(1000, ']') + "}}";
  s.body = event(delta({{"role", "assistant"}})) + ":\n\n" + "data: not json\n\n" + event(delta({{"content", "Hel"}})) +
           "data: " + too_deep + "\n\n" + event(delta({{"content", "lo"}})) + "data: [DONE]\n\n";
  auto chunks = s.stream("", Json{{"temperature", 0.2}, {"stream", true}});
  ASSERT_EQ(chunks.size(), 3u);  // the garbage event and the one nested too deep are skipped
  EXPECT_EQ(chunks[1]["choices"][0]["delta"]["content"], "Hel");
  const auto& req = s.server->requests().at(0);
  EXPECT_EQ(req.target, "/v1/chat/completions");
  const Json body = Json::parse(req.body);
  EXPECT_EQ(body["model"], "local");
  EXPECT_EQ(body["stream"], true);
  EXPECT_EQ(body["temperature"], 0.2);
  EXPECT_EQ(body["tools"].size(), hostlib::tool_definitions().size());
  // A base that already ends in /v1 is not doubled.
  s.stream("/v1/");
  EXPECT_EQ(s.server->requests().at(1).target, "/v1/chat/completions");
}

TEST(ChatProtocol, FailuresSayWhatHappened) {
  Served s;
  s.body = event(delta({{"content", "partial"}}));  // no [DONE]: cut off
  try {
    s.stream();
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find("stream interrupted"), std::string::npos);
  }
  s.status = 400;
  s.body = R"({"error":{"code":400,"message":"request (3016 tokens) exceeds the available context size (2048 tokens), try increasing it","type":"exceed_context_size_error","n_prompt_tokens":3016,"n_ctx":2048}})";
  try {
    s.stream();
    FAIL();
  } catch (const hostlib::ChatRequestError& e) {
    EXPECT_EQ(e.status, 400);
    EXPECT_TRUE(e.context_exceeded());
    EXPECT_NE(std::string(e.what()).find("exceeds the available context size"), std::string::npos);
    EXPECT_EQ(e.n_prompt_tokens, 3016);
    EXPECT_EQ(e.n_ctx, 2048);
  }
}

TEST(ChatProtocol, TheCallersCancellationEndsAStalledStream) {
  asio::io_context io;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n" + event(delta({{"content", "x"}}));
  TestHttpServer server(io.get_executor(), [&head](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.write(head);
    co_await c.sleep(10s);
  });
  http::Client client(io.get_executor(), 30s);
  auto s = hostlib::SseChatProtocol().stream_openai_chat(client, server.url(""), "m", Json::array(), false,
                                                         std::nullopt);
  asio::cancellation_signal sig;
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> {
    while (co_await s->next()) {
    }
  }, asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr e) { error = e; done = true; }));
  asio::steady_timer t(io, 200ms);
  t.async_wait([&](auto) { sig.emit(asio::cancellation_type::terminal); });
  while (!done) io.run_one();
  EXPECT_TRUE(is_cancellation(error));
}

TEST(Accumulator, ToolCallsFromDeltasReasoningUsageAndTimings) {
  hostlib::ChatAccumulator acc;
  acc.add(delta({{"role", "assistant"}, {"content", nullptr}}));
  acc.add(delta({{"reasoning_content", "Let me "}}));
  acc.add(delta({{"reasoning_content", "look."}}));
  acc.add(delta({{"content", "Reading it."}}));
  acc.add(delta({{"tool_calls", {{{"index", 0}, {"id", "call_a"}, {"function", {{"name", "read_file"}, {"arguments", "{\"pa"}}}}}}}));
  acc.add(delta({{"tool_calls", {{{"index", 1}, {"id", "call_b"}, {"function", {{"name", "grep"}, {"arguments", "{\"pattern\""}}}}}}}));
  acc.add(delta({{"tool_calls", {{{"index", 0}, {"function", {{"arguments", "th\":\"a.cpp\"}"}}}}}}}));
  acc.add(delta({{"tool_calls", {{{"index", 1}, {"function", {{"arguments", ":\"x\"}"}}}}}}}));
  acc.add(Json{{"choices", {{{"index", 0}, {"delta", Json::object()}, {"finish_reason", "tool_calls"}}}},
               {"timings", {{"predicted_n", 7}}}});
  acc.add(Json{{"choices", Json::array()}, {"usage", {{"prompt_tokens", 40}, {"completion_tokens", 7}}}});
  EXPECT_EQ(acc.content(), "Reading it.");
  EXPECT_EQ(acc.reasoning(), "Let me look.");
  EXPECT_EQ(acc.finish_reason(), "tool_calls");
  EXPECT_EQ((*acc.usage())["prompt_tokens"], 40);
  EXPECT_EQ((*acc.timings())["predicted_n"], 7);
  const auto calls = acc.tool_calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].name, "read_file");
  EXPECT_EQ(calls[0].arguments, (Json{{"path", "a.cpp"}}));
  EXPECT_EQ(calls[1].arguments, (Json{{"pattern", "x"}}));
  const Json m = acc.message();
  EXPECT_EQ(m["tool_calls"][1]["id"], "call_b");
  EXPECT_EQ(m["tool_calls"][0]["function"]["arguments"], "{\"path\":\"a.cpp\"}");
  EXPECT_FALSE(m.contains("reasoning_content"));
}
