#include "session/conversation.hpp"

#include <vector>

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

Json after_system(const Json& messages) {
  Json out = Json::array();
  for (std::size_t i = 1; i < messages.size(); ++i) out.push_back(messages[i]);
  return out;
}

std::size_t complete_exchanges(Json& messages) {
  std::size_t added = 0;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const Json& m = messages[i];
    if (!m.is_object() || m.value("role", "") != "assistant" || !m.contains("tool_calls") || !m["tool_calls"].is_array())
      continue;
    std::vector<std::string> missing;
    for (const Json& call : m["tool_calls"])
      if (call.is_object() && call.contains("id") && call["id"].is_string()) missing.push_back(call["id"].get<std::string>());
    std::size_t j = i + 1;
    for (; j < messages.size() && messages[j].is_object() && messages[j].value("role", "") == "tool"; ++j) {
      const Json& id = messages[j].value("tool_call_id", Json());
      if (id.is_string()) std::erase(missing, id.get<std::string>());
    }
    for (const auto& id : missing) {
      messages.insert(messages.begin() + static_cast<std::ptrdiff_t>(j++),
                      Json{{"role", "tool"},
                           {"tool_call_id", id},
                           {"content", "Error: no result: the session ended before this call finished."}});
      ++added;
    }
    i = j - 1;
  }
  if (!messages.empty() && messages.back().is_object() && messages.back().value("role", "") == "user") {
    messages.push_back(Json{{"role", "assistant"}, {"content", "(No reply: the session ended before this was answered.)"}});
    ++added;
  }
  return added;
}

std::string base_system_prompt(const std::string& workdir) {
  return "You are Dravik, a coding assistant on the user's machine, working in " + workdir +
         ". Use the tools to read, search and change files and run commands there (paths relative to it). "
         "shell, write_file and edit_file need the user's approval; a refusal comes back as the tool's result: "
         "do not retry it. Keep answers short.";
}

}  // namespace dravik::app
