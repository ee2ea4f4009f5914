#include "turn/turn.hpp"

#include <optional>

#include <boost/asio/this_coro.hpp>

#include "provisioning/provisioning.hpp"
#include "settings/settings.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "chat_protocol.hpp"
#include "text_tools.hpp"
#include "turn/stall_watch.hpp"
#include "cli/commands.hpp"

namespace dravik::app {

namespace asio = boost::asio;

namespace {

std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

}  // namespace

// One reply as it streams.
struct Turn::Streamed {
  hostlib::ChatAccumulator acc;
  ReplyFigures figures;
  std::size_t request_chars = 0;
};

asio::awaitable<void> Turn::run() {
  // A server that died since the last turn is started again first.
  if (!p_.runtime.server_running()) {
    p_.out.note("(starting llama-server again)");
    auto started = co_await async::attempt(p_.runtime.start());
    if (started) {
      // Said as at the first start: how the server ended, then its log.
      std::string what;
      try {
        std::rethrow_exception(started);
      } catch (const hostlib::StartDeclined&) {
        throw;
      } catch (const Error& e) {
        what = e.what();
      }
      const auto status = co_await p_.runtime.server_exit_status(std::chrono::milliseconds(0));
      throw RuntimeError("the model server did not start: " +
                         start_failure(what, status, p_.runtime.server_log_tail(120)));
    }
  }
  co_await p_.context.measure_fixed_part(p_.conversation);
  for (int round = 0; round < kMaxRounds; ++round) {
    for (const auto& line : co_await p_.context.auto_compact(p_.conversation)) p_.out.note(line);
    if (const std::string note = p_.context.fit(p_.conversation, p_.settings.interactive); !note.empty())
      p_.out.note(note);
    std::optional<Overflow> overflow;
    bool called_tools = co_await reply(overflow);
    if (overflow) {
      // The server said the request does not fit: refit once from its
      // figures and send again.
      if (const std::string note = p_.context.refit(p_.conversation, *overflow, p_.settings.interactive); !note.empty())
        p_.out.note(note);
      p_.out.note("(the server's context was full: older parts of the conversation were dropped)");
      const std::optional<std::int64_t> first_prompt = overflow->prompt_tokens;
      called_tools = co_await reply(overflow);
      if (overflow) {
        std::string m = "the message does not fit the model's context";
        if (overflow->prompt_tokens && overflow->context)
          m += " (" + count(*overflow->prompt_tokens) + " tokens of " + count(*overflow->context) + ")";
        else if (first_prompt)
          m += " (" + count(*first_prompt) + " tokens)";
        throw RuntimeError(m + "; try a shorter one");
      }
    }
    if (!called_tools) co_return;
  }
  p_.out.note("(stopped after " + std::to_string(kMaxRounds) + " rounds of tool calls in one turn)");
}

asio::awaitable<bool> Turn::reply(std::optional<Overflow>& overflow) {
  auto attempt = co_await async::attempt(stream_reply(overflow));
  if (!attempt.error) co_return *attempt.value;
  if (is_repeated_call_stop(attempt.error)) std::rethrow_exception(attempt.error);  // not the server's doing
  // A reply cut off because the local server died says so, rather than
  // showing the transport's words.
  if (auto status = co_await p_.runtime.server_exit_status(std::chrono::milliseconds(500)))
    throw RuntimeError("llama-server stopped in the middle of the reply (exit status " + std::to_string(*status) +
                       "); the next message starts it again");
  // A server another dravik started tells us no exit status.
  if (!p_.runtime.server_running())
    throw RuntimeError("llama-server stopped in the middle of the reply; the next message starts it again");
  std::rethrow_exception(attempt.error);
}

asio::awaitable<bool> Turn::stream_reply(std::optional<Overflow>& overflow) {
  overflow.reset();
  Streamed s;
  s.request_chars = ContextBudget::conversation_chars(p_.conversation.messages());
  auto stream = p_.runtime.chat_stream(p_.conversation.messages(), true);
  // Watches the stream only: not the tool calls or the questions after it.
  std::optional<StallWatch> stall;
  stall.emplace(co_await asio::this_coro::executor, p_.out, p_.settings.stall_notice);
  try {
    while (auto chunk = co_await stream->next()) {
      stall->fed();
      on_chunk(s, chunk->data);
    }
    stall.reset();
  } catch (const hostlib::ChatRequestError& e) {
    stall.reset();
    p_.out.reply_end(false);
    if (!e.context_exceeded()) throw;
    overflow = Overflow{e.n_prompt_tokens, e.n_ctx, s.request_chars};
    co_return false;
  } catch (...) {
    stall.reset();
    p_.out.reply_end(true);
    // Cancelled or cut off: what arrived stays in the conversation, without
    // half a tool exchange.
    if (!s.acc.content().empty()) p_.conversation.add({{"role", "assistant"}, {"content", s.acc.content()}}, true);
    throw;
  }
  p_.out.reply_end(false);
  co_return co_await finish_reply(s);
}

void Turn::on_chunk(Streamed& s, const Json& data) {
  const std::size_t content_before = s.acc.content().size(), reasoning_before = s.acc.reasoning().size();
  s.acc.add(data);
  s.figures.take(data);
  p_.out.chunk(data);
  // While the server reads a long prompt: how far it is.
  if (const Json* p = config::find(data, "prompt_progress"); p && p->is_object()) {
    const auto total = p->value("total", std::int64_t{0}), cache = p->value("cache", std::int64_t{0}),
               done = p->value("processed", std::int64_t{0});
    if (total - cache > 256 && done < total) p_.out.prompt_progress(done, total);
    else p_.out.prompt_progress(total, total);
  }
  if (s.acc.reasoning().size() > reasoning_before)
    p_.out.reasoning(std::string_view(s.acc.reasoning()).substr(reasoning_before));
  if (s.acc.content().size() > content_before)
    p_.out.reply_text(std::string_view(s.acc.content()).substr(content_before));
}

asio::awaitable<bool> Turn::finish_reply(Streamed& s) {
  if (s.figures.prompt) p_.context.learn(*s.figures.prompt, s.request_chars);
  p_.out.figures(s.figures);
  last_figures_ = s.figures.line();
  const Json message = s.acc.message();
  p_.conversation.add(message);
  last_reply_ = s.acc.content();
  if (const std::size_t dropped = s.acc.dropped_tool_calls())
    p_.out.note("(" + count(static_cast<std::int64_t>(dropped)) +
                " further tool calls of this reply were ignored: one reply may make " +
                std::to_string(hostlib::ChatAccumulator::kMaxToolCalls) + ")");
  const auto calls = s.acc.tool_calls();
  if (calls.empty()) co_return false;
  co_await run_tools(calls, message["tool_calls"]);
  co_return true;
}

}  // namespace dravik::app
