#include "turn/context.hpp"

#include "cli/commands.hpp"
#include "project/compaction.hpp"
#include "provisioning/provisioning.hpp"
#include "settings/settings.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "chat_protocol.hpp"
#include "text_tools.hpp"

namespace dravik::app {

namespace asio = boost::asio;

namespace {

constexpr std::int64_t kReplyReserve = 512;  // tokens kept free for the answer (unless capped lower)

std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

}  // namespace

ContextKeeper::ContextKeeper(hostlib::ChatRuntime& runtime, const ChatSettings& settings)
    : runtime_(runtime), auto_compact_enabled_(settings.auto_compact), reply_cap_(settings.reply_cap) {
  follow_runtime();
}

void ContextKeeper::follow_runtime() {
  budget_.context = runtime_.context_window_tokens();
  budget_.reserve = std::min(kReplyReserve, budget_.context / 4);
  if (reply_cap_) budget_.reserve = std::min(budget_.reserve, *reply_cap_);
}

asio::awaitable<void> ContextKeeper::measure_fixed_part(const Conversation& conversation) {
  follow_runtime();
  if (fixed_measured_) co_return;
  // The fixed part as the server renders and counts it: the system prompt
  // and the tool schemas in the chat template, with an empty user turn.
  const Json probe = Json::array({conversation.messages()[0], Json{{"role", "user"}, {"content", ""}}});
  if (auto tokens = co_await runtime_.count_prompt_tokens(probe, true)) {
    budget_.fixed = *tokens;
    fixed_measured_ = true;
  }
}

void ContextKeeper::check_fixed_part_fits() const {
  if (!budget_.fixed) return;
  const std::int64_t fixed = *budget_.fixed, ctx = budget_.context, reserve = budget_.reserve;
  if (fixed + reserve <= ctx) return;
  const std::int64_t needed = (fixed + reserve + 256 + 1023) / 1024 * 1024;
  std::string m = "the system prompt and tool definitions need " + count(fixed) + " tokens of a " + count(ctx) +
                  "-token context";
  if (fixed <= ctx) m += " (with " + count(reserve) + " kept for the reply)";
  if (runtime_.owns_server())
    m += "; set \"context_window_tokens\" to " + std::to_string(needed) + " or more in ~/.dravik/config.json";
  else
    m += "; the server needs a context of " + std::to_string(needed) +
         " tokens or more (and \"context_window_tokens\" in ~/.dravik/config.json to match)";
  for (const Json& t : hostlib::tool_definitions())
    if (is_mcp_tool(t.at("function").at("name").get<std::string>())) {
      m += "; or offer fewer tools of the MCP servers (their \"tools\" entry in \"mcp_servers\"; /status shows what each adds)";
      break;
    }
  throw RuntimeError(m);
}

std::string ContextKeeper::fit(Conversation& conversation, bool interactive) {
  check_fixed_part_fits();
  Json& messages = conversation.messages();
  const std::size_t turns = compaction::turns(messages);
  if (!budget_.shrink(messages, fixed_part_estimate(conversation))) return "";
  std::string m = "(older parts of the conversation were shortened to fit the " + count(budget_.context) +
                  "-token context";
  if (const std::size_t dropped = turns - compaction::turns(messages))
    m += ": " + std::to_string(dropped) + (dropped == 1 ? " older turn" : " older turns") + " dropped; " +
         (interactive ? "/compact" : "\"auto_compact\": true in the configuration") + " keeps a summary of them instead";
  return m + ")";
}

std::string ContextKeeper::refit(Conversation& conversation, const Overflow& o, bool interactive) {
  budget_.learn_overflow(o.prompt_tokens, o.context, o.conversation_chars);
  const std::size_t before = conversation.size();
  std::string note = fit(conversation, interactive);
  // No figures and nothing dropped: only the current turn is kept.
  if (conversation.size() == before && !o.prompt_tokens)
    ContextBudget::fit(conversation.messages(), 0, 0, budget_.tokens_per_char);
  return note;
}

void ContextKeeper::learn(std::int64_t prompt_tokens, std::size_t chars) {
  last_prompt_tokens_ = prompt_tokens;
  budget_.learn(prompt_tokens, chars);
}

std::int64_t ContextKeeper::fixed_part_estimate(const Conversation& conversation) const {
  // Until the server has counted it (or a first reply has shown it), the
  // fixed part is guessed at three characters a token.
  return budget_.fixed.value_or(static_cast<std::int64_t>(
      static_cast<double>(dump_json(conversation.messages()[0]).size() + dump_json(hostlib::tool_definitions()).size()) /
      3.0));
}

asio::awaitable<ContextKeeper::Tokens> ContextKeeper::prompt_tokens(const Json& messages,
                                                                   const Conversation& conversation) {
  auto counted = co_await async::attempt(runtime_.count_prompt_tokens(messages, true));
  if (!counted.error && counted.value && *counted.value) co_return Tokens{**counted.value, true};
  const auto chars = static_cast<double>(ContextBudget::conversation_chars(messages));
  co_return Tokens{fixed_part_estimate(conversation) + static_cast<std::int64_t>(chars * budget_.tokens_per_char), false};
}

asio::awaitable<std::string> ContextKeeper::compact(Conversation& conversation) {
  const Json& messages = conversation.messages();
  const std::size_t keep_from = compaction::last_turn_start(messages);
  const std::size_t older = compaction::turns(messages) - 1;
  const Tokens before = co_await prompt_tokens(messages, conversation);
  // The transcript is kept within what the context holds besides a reply.
  const auto room = static_cast<double>(std::max<std::int64_t>(256, budget_.context - budget_.reserve - 256));
  const Json request =
      compaction::summary_request(messages, keep_from, static_cast<std::size_t>(room / budget_.tokens_per_char));
  hostlib::ChatAccumulator acc;
  auto stream = runtime_.chat_stream(request, false);
  while (auto chunk = co_await stream->next()) acc.add(chunk->data);
  const std::string summary = config::trim(acc.content());
  if (summary.empty()) throw RuntimeError("the model wrote no summary");
  // Half a summary (the reply hit its token cap) would lose the rest.
  if (acc.finish_reason() == "length")
    throw RuntimeError("the summary was cut off at the reply's token limit (\"max_reply_tokens\")");
  Json next = compaction::with_summary(messages, keep_from, summary);
  const Tokens after = co_await prompt_tokens(next, conversation);
  // A summary no shorter than the turns it replaces would only lose their
  // detail.
  if (after.tokens >= before.tokens)
    throw RuntimeError("the summary is no shorter than the turns it would replace (" + count(after.tokens) +
                       " tokens against " + count(before.tokens) + ")");
  // Only a complete summary changes the conversation.
  conversation.messages() = std::move(next);
  last_prompt_tokens_ = after.counted ? std::optional<std::int64_t>(after.tokens) : std::nullopt;
  co_return "(" + std::to_string(older) + (older == 1 ? " older turn" : " older turns") +
      " summarized: the prompt is now " + (after.counted ? "" : "about ") + count(after.tokens) + " tokens, was " +
      (before.counted ? "" : "about ") + count(before.tokens) + ")";
}

asio::awaitable<std::vector<std::string>> ContextKeeper::auto_compact(Conversation& conversation) {
  std::vector<std::string> lines;
  if (!auto_compact_enabled_ || compaction::turns(conversation.messages()) < 2) co_return lines;
  // A summary that failed in this turn is not asked for again at each round
  // of its tool calls.
  const std::size_t turn = compaction::last_turn_start(conversation.messages());
  if (turn == auto_compact_failed_at_) co_return lines;
  // Only when the fit would drop turns: shortened tool outputs alone are no
  // reason for a summary.
  Json trial = conversation.messages();
  if (!budget_.shrink(trial, fixed_part_estimate(conversation)) ||
      compaction::turns(trial) == compaction::turns(conversation.messages()))
    co_return lines;
  lines.push_back("(the conversation nears the end of the context: summarizing the older turns)");
  auto result = co_await async::attempt(compact(conversation));
  if (result.error) {
    auto_compact_failed_at_ = turn;
    lines.push_back("(could not summarize: " + shown_error(error_text(result.error)) + "; older turns are dropped instead)");
  } else {
    lines.push_back(*result.value);
  }
  co_return lines;
}

}  // namespace dravik::app
