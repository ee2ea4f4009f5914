// The conversation with the model: the system message first, then the
// turns (a user message and everything up to the next one). The message
// list is shared with the runtime, which saves it for --resume and keeps
// it across an unload of the model around a heavy command.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "support/json.hpp"

namespace dravik::app {

class Conversation {
 public:
  explicit Conversation(std::string system_prompt);

  // The list itself, for the runtime that follows it.
  const std::shared_ptr<Json>& shared() const { return messages_; }
  Json& messages() { return *messages_; }
  const Json& messages() const { return *messages_; }
  std::size_t size() const { return messages_->size(); }

  // The system prompt stays the same all session (the server's cached
  // prefix stays valid): set once, at start, with the project's
  // instructions; after a restore the first message is made this
  // session's system message again.
  const std::string& system_prompt() const { return system_prompt_; }
  void set_system_prompt(std::string prompt);
  void restore_system_prompt();

  // `interrupted`: a reply cut off part-way (kept as such).
  void add(Json message, bool interrupted = false) {
    messages_->push_back(std::move(message));
    if (on_add_) on_add_(interrupted);
  }
  void add_user(const std::string& text) { add(Json{{"role", "user"}, {"content", text}}); }
  // Only the system message is left.
  void clear();
  // The messages after the system prompt replaced by `after_system`.
  void load(const Json& after_system);
  // Called after each message added (the session's journal follows).
  void on_add(std::function<void(bool interrupted)> f) { on_add_ = std::move(f); }

 private:
  std::shared_ptr<Json> messages_;
  std::string system_prompt_;
  std::function<void(bool)> on_add_;
};

// The messages after the system prompt (what a session journals).
Json after_system(const Json& messages);

// Gives every tool call of `messages` that has no result (a session killed
// while the call ran) a result saying so, and a last user message without
// an answer an assistant message saying so, so that the conversation reads
// as whole exchanges to the server (some chat templates refuse two user
// messages in a row); the number of messages added.
std::size_t complete_exchanges(Json& messages);

// The fixed part of dravik's system prompt for a session in `workdir`.
std::string base_system_prompt(const std::string& workdir);

}  // namespace dravik::app
