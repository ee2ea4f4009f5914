#include "session/conversation.hpp"

namespace dravik::app {

Conversation::Conversation(std::string system_prompt)
    : messages_(std::make_shared<Json>(Json::array())), system_prompt_(std::move(system_prompt)) {
  messages_->push_back({{"role", "system"}, {"content", system_prompt_}});
}

void Conversation::set_system_prompt(std::string prompt) {
  system_prompt_ = std::move(prompt);
  restore_system_prompt();
}

void Conversation::restore_system_prompt() {
  const Json system{{"role", "system"}, {"content", system_prompt_}};
  Json& m = *messages_;
  if (m.empty() || !m[0].is_object() || m[0].value("role", "") != "system") m.insert(m.begin(), system);
  else m[0] = system;
}

void Conversation::clear() { messages_->erase(messages_->begin() + 1, messages_->end()); }

void Conversation::load(const Json& after_system) {
  clear();
  for (const Json& m : after_system)
    if (m.is_object()) messages_->push_back(m);
}

std::string base_system_prompt(const std::string& workdir) {
  return "You are Dravik, a coding assistant on the user's machine, working in " + workdir +
         ". Use the tools to read, search and change files and run commands there (paths relative to it). "
         "shell, write_file and edit_file need the user's approval; a refusal comes back as the tool's result: "
         "do not retry it. Keep answers short.";
}

}  // namespace dravik::app
