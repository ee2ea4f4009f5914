// How much of the model's context a conversation may take: every request
// carries a fixed part (the system prompt and the tool schemas, as the chat
// template renders them) and the conversation after the system prompt,
// whose cost per character is learned from the server's own figures.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "support/json.hpp"
#include "support/text.hpp"

namespace dravik::app {

struct ContextBudget {
  std::int64_t context = 2048;        // the server's context, in tokens
  std::int64_t reserve = 512;         // kept free for the reply
  std::optional<std::int64_t> fixed;  // tokens of the fixed part, once known
  double tokens_per_char = 1.0 / 3.0; // of the conversation after the system prompt

  // Characters of the conversation after the system prompt (messages[1..]).
  static std::size_t conversation_chars(const Json& messages) {
    std::size_t chars = 0;
    for (std::size_t i = 1; i < messages.size(); ++i) chars += dump_json(messages[i]).size();
    return chars;
  }

  // When the conversation after the system prompt is estimated above
  // `budget` tokens, shortens it in one step to `target`: old tool outputs
  // first, then the oldest turns. The system prompt and the current turn
  // stay, and a tool exchange goes with its turn. True when it shrank.
  static bool fit(Json& messages, std::int64_t budget, std::int64_t target, double tokens_per_char) {
    auto estimate = [&] {
      return static_cast<std::int64_t>(static_cast<double>(conversation_chars(messages)) * tokens_per_char);
    };
    if (estimate() <= budget) return false;
    target = std::min(target, budget);
    std::size_t last_user = 0;
    for (std::size_t i = 0; i < messages.size(); ++i)
      if (messages[i].value("role", "") == "user") last_user = i;
    for (std::size_t i = 1; i < last_user && estimate() > target; ++i) {
      Json& m = messages[i];
      if (m.value("role", "") != "tool" || !m["content"].is_string()) continue;
      const std::string c = m["content"].get<std::string>();
      if (c.size() > 400) m["content"] = text::prefix(c, 200) + "\n[... shortened to fit the context ...]";
    }
    while (estimate() > target) {
      // The oldest turn: from the first user message after the system
      // prompt up to the next user message.
      std::size_t first = 1;
      while (first < messages.size() && messages[first].value("role", "") != "user") ++first;
      std::size_t next = first + 1;
      while (next < messages.size() && messages[next].value("role", "") != "user") ++next;
      if (next >= messages.size() || first >= last_user) break;  // only the current turn is left
      messages.erase(messages.begin() + static_cast<long>(first), messages.begin() + static_cast<long>(next));
      last_user -= next - first;
    }
    return true;
  }

  // Tokens the conversation may take; `fixed_estimate` stands in for the
  // fixed part until it is known.
  std::int64_t conversation_budget(std::int64_t fixed_estimate) const {
    return std::max<std::int64_t>(64, context - reserve - fixed.value_or(fixed_estimate));
  }

  // Over budget, the conversation shrinks to two thirds of it at once:
  // the prefix the server has cached then survives the following turns,
  // rather than changing at every request.
  bool shrink(Json& messages, std::int64_t fixed_estimate) const {
    const std::int64_t budget = conversation_budget(fixed_estimate);
    return fit(messages, budget, budget * 2 / 3, tokens_per_char);
  }

  // A reply's prompt tokens for a conversation of `chars` characters.
  void learn(std::int64_t prompt_tokens, std::size_t chars) {
    // Without a count from the server, the fixed part is what the first
    // reply cost beyond its short conversation.
    if (!fixed)
      fixed = std::max<std::int64_t>(0, prompt_tokens - static_cast<std::int64_t>(static_cast<double>(chars) *
                                                                                  tokens_per_char));
    else if (chars >= 200 && prompt_tokens > *fixed)
      tokens_per_char = std::max(0.05, static_cast<double>(prompt_tokens - *fixed) / static_cast<double>(chars));
  }

  // The server's figures for a request of `chars` characters that did not
  // fit: its context, and what this conversation really costs.
  void learn_overflow(std::optional<std::int64_t> prompt_tokens, std::optional<std::int64_t> server_context,
                      std::size_t chars) {
    if (server_context) {
      context = std::min(context, *server_context);
      reserve = std::min(reserve, context / 4);
    }
    if (!prompt_tokens) return;
    if (!fixed)
      fixed = std::max<std::int64_t>(0, *prompt_tokens - static_cast<std::int64_t>(static_cast<double>(chars) *
                                                                                   tokens_per_char));
    else
      tokens_per_char = std::max(tokens_per_char, static_cast<double>(*prompt_tokens - *fixed) /
                                                      static_cast<double>(std::max<std::size_t>(chars, 1)));
  }
};

}  // namespace dravik::app
