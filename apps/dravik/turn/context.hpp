// The model's context window as a turn spends it: the fixed part every
// request carries (the system prompt and the tool schemas), the share left
// to the conversation and for the reply, shrinking the conversation when
// it outgrows its share, and summarizing older turns (/compact and the
// automatic compaction).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "runtimes.hpp"
#include "session/conversation.hpp"
#include "turn/context_budget.hpp"

namespace dravik::app {

struct ChatSettings;

// What the server said when a request did not fit its context.
struct Overflow {
  std::optional<std::int64_t> prompt_tokens, context;
  std::size_t conversation_chars = 0;
};

class ContextKeeper {
 public:
  // The window and the room kept for the reply come from the runtime and
  // the settings' reply cap.
  ContextKeeper(hostlib::ChatRuntime& runtime, const ChatSettings& settings);

  const ContextBudget& budget() const { return budget_; }
  bool fixed_measured() const { return fixed_measured_; }
  // The prompt tokens of the last reply, for /status.
  std::optional<std::int64_t> last_prompt_tokens() const { return last_prompt_tokens_; }
  void forget() { last_prompt_tokens_.reset(); }

  // Counts the fixed part as the server renders it, once.
  boost::asio::awaitable<void> measure_fixed_part(const Conversation& conversation);
  // Throws RuntimeError saying what to set when the fixed part alone does
  // not fit the window.
  void check_fixed_part_fits() const;
  // Shrinks the conversation when it outgrows its share; the note for the
  // user ("" when nothing changed). `interactive`: the note suggests
  // /compact rather than the configuration's "auto_compact".
  std::string fit(Conversation& conversation, bool interactive);
  // The server's refusal taken into account, then fit again.
  std::string refit(Conversation& conversation, const Overflow& overflow, bool interactive);
  // A reply's prompt tokens for a conversation of `chars` characters.
  void learn(std::int64_t prompt_tokens, std::size_t chars);

  // The fixed part: counted, or estimated at three characters a token.
  std::int64_t fixed_part_estimate(const Conversation& conversation) const;
  struct Tokens {
    std::int64_t tokens = 0;
    bool counted = false;  // by the server, else estimated
  };
  boost::asio::awaitable<Tokens> prompt_tokens(const Json& messages, const Conversation& conversation);

  // Replaces the older turns with a summary the model writes of them (the
  // last turn stays whole); the line that says so. Throws when the summary
  // fails, is cut off or is no shorter: the conversation is then unchanged.
  boost::asio::awaitable<std::string> compact(Conversation& conversation);
  // With "auto_compact", before a fit would drop turns: compact instead;
  // the lines to show (a failed summary falls back to dropping turns).
  boost::asio::awaitable<std::vector<std::string>> auto_compact(Conversation& conversation);

 private:
  hostlib::ChatRuntime& runtime_;
  bool auto_compact_enabled_;
  std::optional<std::int64_t> reply_cap_;
  ContextBudget budget_;
  // The window as the runtime has it now (a shared server that was joined
  // again may have another).
  void follow_runtime();
  bool fixed_measured_ = false;  // the fixed part counted by the server itself
  std::optional<std::int64_t> last_prompt_tokens_;
  std::size_t auto_compact_failed_at_ = 0;  // the turn (its user message) whose summary failed
};

}  // namespace dravik::app
