#include "project/compaction.hpp"

#include "support/config.hpp"
#include "support/text.hpp"

namespace dravik::app {

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

}  // namespace dravik::app
