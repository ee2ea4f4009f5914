#include "project/compaction.hpp"

#include "chat/chat_session.hpp"
#include "cli/commands.hpp"
#include "provisioning/provisioning.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace asio = boost::asio;

namespace compaction {

namespace {

constexpr std::size_t kToolOutputChars = 1000;  // of each tool output in the transcript

std::string role_of(const Json& m) { return m.is_object() ? m.value("role", "") : ""; }

std::string content_of(const Json& m) {
  const Json* c = config::find(m, "content");
  if (!c || c->is_null()) return "";
  return c->is_string() ? c->get<std::string>() : dump_json(*c);
}

}  // namespace

std::size_t turns(const Json& messages) {
  std::size_t n = 0;
  for (std::size_t i = 1; i < messages.size(); ++i) n += role_of(messages[i]) == "user";
  return n;
}

std::size_t last_turn_start(const Json& messages) {
  for (std::size_t i = messages.size(); i-- > 1;)
    if (role_of(messages[i]) == "user") return i;
  return 0;
}

std::string transcript(const Json& messages, std::size_t from, std::size_t to, std::size_t max_chars) {
  std::string out;
  for (std::size_t i = from; i < to && i < messages.size(); ++i) {
    const Json& m = messages[i];
    const std::string role = role_of(m);
    std::string content = content_of(m);
    if (role == "tool") {
      content = text::sanitize_utf8(content);
      if (const std::size_t length = text::length(content); length > kToolOutputChars)
        content = text::prefix(content, kToolOutputChars) + "\n[... " + std::to_string(length - kToolOutputChars) +
                  " more characters ...]";
      out += "[tool result]\n" + content + "\n\n";
      continue;
    }
    if (!content.empty()) out += "[" + (role.empty() ? std::string("message") : role) + "]\n" + content + "\n\n";
    if (const Json* calls = config::find(m, "tool_calls"); calls && calls->is_array())
      for (const Json& call : *calls) {
        const Json* fn = config::find(call, "function");
        if (!fn) continue;
        const Json* name = config::find(*fn, "name");
        const Json* args = config::find(*fn, "arguments");
        out += "[" + role + " calls " + (name && name->is_string() ? name->get<std::string>() : "?") + "] " +
               (args ? (args->is_string() ? args->get<std::string>() : dump_json(*args)) : "") + "\n\n";
      }
  }
  if (out.size() > max_chars) {
    // The latest part is kept, from a line start.
    std::size_t cut = out.size() - max_chars;
    const std::size_t nl = out.find('\n', cut);
    cut = nl == std::string::npos ? cut : nl + 1;
    out = "[... the earliest part of the conversation is left out ...]\n" + out.substr(cut);
  }
  return text::sanitize_utf8(out);
}

Json summary_request(const Json& messages, std::size_t keep_from, std::size_t max_chars) {
  const std::string system =
      "You summarize a conversation between a user and a coding assistant, so that the assistant can go on with "
      "the work from the summary alone.";
  const std::string user =
      "The conversation so far:\n\n" + transcript(messages, 1, keep_from, max_chars) +
      "---\nWrite a short summary of this conversation (at most about 300 words, a few Markdown bullets): the "
      "user's goals, what was decided and done, the files read or changed (with their paths), the commands that "
      "matter and how they went, and the open questions or next steps. Only what the conversation shows.";
  return Json::array({Json{{"role", "system"}, {"content", system}}, Json{{"role", "user"}, {"content", user}}});
}

Json with_summary(const Json& messages, std::size_t keep_from, const std::string& summary) {
  Json out = Json::array({messages.at(0)});
  out.push_back(Json{{"role", "user"}, {"content", std::string(kSummaryHeading) + "\n" + summary}});
  out.push_back(Json{{"role", "assistant"}, {"content", "Noted: I go on from this summary."}});
  for (std::size_t i = keep_from; i < messages.size(); ++i) out.push_back(messages[i]);
  return out;
}

}  // namespace compaction

namespace {

std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

}  // namespace

// ------------------------------------------------------------ in the session

std::int64_t ChatSession::fixed_part_estimate() const {
  // Until the server has counted it (or a first reply has shown it), the
  // fixed part is guessed at three characters a token.
  return budget_.fixed.value_or(static_cast<std::int64_t>(
      static_cast<double>(dump_json((*messages_)[0]).size() + dump_json(hostlib::tool_definitions()).size()) / 3.0));
}

asio::awaitable<ChatSession::Tokens> ChatSession::prompt_tokens(const Json& messages) {
  auto counted = co_await async::attempt(runtime_->count_prompt_tokens(messages, true));
  if (!counted.error && counted.value && *counted.value) co_return Tokens{**counted.value, true};
  co_return Tokens{fixed_part_estimate() + static_cast<std::int64_t>(static_cast<double>(ContextBudget::conversation_chars(
                                                                         messages)) *
                                                                     budget_.tokens_per_char),
                   false};
}

asio::awaitable<void> ChatSession::compact() {
  const std::size_t keep_from = compaction::last_turn_start(*messages_);
  const std::size_t older = compaction::turns(*messages_) - 1;
  const Tokens before = co_await prompt_tokens(*messages_);
  // The transcript is kept within what the context holds besides a reply.
  const auto room = static_cast<double>(std::max<std::int64_t>(256, budget_.context - budget_.reserve - 256));
  const Json request =
      compaction::summary_request(*messages_, keep_from, static_cast<std::size_t>(room / budget_.tokens_per_char));
  hostlib::ChatAccumulator acc;
  auto stream = runtime_->chat_stream(request, false);
  while (auto chunk = co_await stream->next()) acc.add(chunk->data);
  const std::string summary = config::trim(acc.content());
  if (summary.empty()) throw RuntimeError("the model wrote no summary");
  // Half a summary (the reply hit its token cap) would lose the rest.
  if (acc.finish_reason() == "length")
    throw RuntimeError("the summary was cut off at the reply's token limit (\"max_reply_tokens\")");
  Json next = compaction::with_summary(*messages_, keep_from, summary);
  const Tokens after = co_await prompt_tokens(next);
  // A summary no shorter than the turns it replaces would only lose their
  // detail.
  if (after.tokens >= before.tokens)
    throw RuntimeError("the summary is no shorter than the turns it would replace (" + count(after.tokens) +
                       " tokens against " + count(before.tokens) + ")");
  // Only a complete summary changes the conversation.
  *messages_ = std::move(next);
  last_prompt_tokens_ = after.counted ? std::optional<std::int64_t>(after.tokens) : std::nullopt;
  dim_line("(" + std::to_string(older) + (older == 1 ? " older turn" : " older turns") +
           " summarized: the prompt is now " + (after.counted ? "" : "about ") + count(after.tokens) +
           " tokens, was " + (before.counted ? "" : "about ") + count(before.tokens) + ")");
}

void ChatSession::compact_command() {
  if (compaction::turns(*messages_) < 2) {
    dim_line("(nothing to compact: the conversation has fewer than two turns)");
    return;
  }
  dim_line("(summarizing the older turns...)");
  const std::exception_ptr error = interruptible(compact());
  if (!error) return;
  command_ok_ = false;
  if (is_cancellation(error))
    dim_line("(cancelled: the conversation is unchanged)");
  else
    error_line("could not compact: " + shown_error(error_text(error)) + "; the conversation is unchanged");
}

asio::awaitable<void> ChatSession::auto_compact() {
  if (!config::is_set(cfg_, "auto_compact") || compaction::turns(*messages_) < 2) co_return;
  // A summary that failed in this turn is not asked for again at each round
  // of its tool calls.
  const std::size_t turn = compaction::last_turn_start(*messages_);
  if (turn == auto_compact_failed_at_) co_return;
  // Only when the fit would drop turns: shortened tool outputs alone are no
  // reason for a summary.
  Json trial = *messages_;
  if (!budget_.shrink(trial, fixed_part_estimate()) || compaction::turns(trial) == compaction::turns(*messages_))
    co_return;
  dim_line("(the conversation nears the end of the context: summarizing the older turns)");
  if (const auto error = co_await async::attempt(compact())) {
    auto_compact_failed_at_ = turn;
    dim_line("(could not summarize: " + shown_error(error_text(error)) + "; older turns are dropped instead)");
  }
}

}  // namespace dravik::app
