// The OpenAI-compatible chat protocol: the request, the server-sent events of
// the answer, and the assistant message folded from its chunks.
#include "dravik_host.hpp"

#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/http/http.hpp"

namespace dravik::hostlib {

namespace {

Json parse_or_null(const std::string& text) {
  Json v = Json::parse(text, nullptr, false);
  return v.is_discarded() ? Json() : v;
}

// The server's own words from an error answer body.
std::pair<std::string, std::string> error_of(const std::string& body) {
  const Json v = parse_or_null(body);
  if (v.is_object()) {
    const Json* e = config::find(v, "error");
    if (e && e->is_object()) {
      const Json* m = config::find(*e, "message");
      const Json* t = config::find(*e, "type");
      return {m ? config::text_form(*m) : body, t && t->is_string() ? t->get<std::string>() : ""};
    }
    if (e && e->is_string()) return {e->get<std::string>(), ""};
    if (const Json* m = config::find(v, "message")) return {config::text_form(*m), ""};
  }
  return {config::trim(body.substr(0, 2000)), ""};
}

class SseChunkStream : public host::ChunkStream {
 public:
  SseChunkStream(http::Client& http, std::string base_url, Json body,
                 std::vector<std::pair<std::string, std::string>> headers)
      : http_(http), url_(chat_completions_url(base_url)), body_(std::move(body)), headers_(std::move(headers)) {}

  boost::asio::awaitable<std::optional<host::StreamChunk>> next() override {
    if (done_) co_return std::nullopt;
    if (!response_) co_await open();
    for (;;) {
      if (auto event = parser_.next_event()) {
        if (*event == "[DONE]") {
          done_ = true;
          response_->close();
          co_return std::nullopt;
        }
        // Garbage between events, and chunks nested absurdly deep, are skipped.
        std::optional<Json> parsed = parse_chunk(*event);
        if (!parsed || !parsed->is_object()) continue;
        Json data = std::move(*parsed);
        if (config::find(data, "error")) {  // the server failed in the middle
          const auto [message, type] = error_of(data.dump());
          throw ChatRequestError(200, message, type);
        }
        co_return host::StreamChunk{std::move(data)};
      }
      auto piece = co_await response_->read_some();
      if (!piece) throw RuntimeError("stream interrupted: the server closed the chat stream before its end");
      parser_.feed(*piece);
    }
  }

 private:
  boost::asio::awaitable<void> open() {
    http::Request req;
    req.method = "POST";
    req.url = url_;
    req.headers.emplace_back("Content-Type", "application/json");
    req.headers.emplace_back("Accept", "text/event-stream");
    for (const auto& h : headers_) req.headers.push_back(h);
    req.body = dump_json(body_);
    response_.emplace(co_await http_.send(std::move(req)));
    if (response_->status() != 200) {
      const int status = response_->status();
      std::string text;
      try {
        text = co_await response_->read_all(1 << 20);
      } catch (const http::TransportError&) {
      }
      const auto [message, type] = error_of(text);
      done_ = true;
      ChatRequestError error(status, "chat request failed (HTTP " + std::to_string(status) + "): " + message, type);
      const Json answer = parse_or_null(text);
      if (const Json* e = answer.is_object() ? config::find(answer, "error") : nullptr; e && e->is_object()) {
        auto figure = [&](const char* key) -> std::optional<std::int64_t> {
          const Json* v = config::find(*e, key);
          if (v && v->is_number_integer()) return v->get<std::int64_t>();
          return std::nullopt;
        };
        error.n_prompt_tokens = figure("n_prompt_tokens");
        error.n_ctx = figure("n_ctx");
      }
      throw error;
    }
  }

  http::Client& http_;
  std::string url_;
  Json body_;
  std::vector<std::pair<std::string, std::string>> headers_;
  std::optional<http::Response> response_;
  SseParser parser_;
  bool done_ = false;
};

}  // namespace

bool ChatRequestError::context_exceeded() const {
  if (type == "exceed_context_size_error") return true;
  const std::string m = config::lower(what());
  return m.find("context") != std::string::npos &&
         (m.find("exceed") != std::string::npos || m.find("too long") != std::string::npos ||
          m.find("maximum context") != std::string::npos);
}

std::string chat_completions_url(const std::string& base_url) {
  std::string base = config::trim(base_url);
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (base.size() >= 3 && base.compare(base.size() - 3, 3, "/v1") == 0) return base + "/chat/completions";
  return base + "/v1/chat/completions";
}

std::unique_ptr<host::ChunkStream> open_chat_stream(http::Client& http, std::string base_url, Json body,
                                                    std::vector<std::pair<std::string, std::string>> headers) {
  return std::make_unique<SseChunkStream>(http, std::move(base_url), std::move(body), std::move(headers));
}

Json chat_request_body(const std::string& model, const Json& messages, bool use_tools,
                       const std::optional<Json>& extra_body) {
  Json body = {{"model", model}, {"messages", messages}, {"stream", true},
               {"stream_options", {{"include_usage", true}}}};
  if (use_tools) body["tools"] = tool_definitions();
  if (extra_body && extra_body->is_object())
    for (auto it = extra_body->begin(); it != extra_body->end(); ++it) body[it.key()] = it.value();
  return body;
}

std::unique_ptr<host::ChunkStream> SseChatProtocol::stream_openai_chat(http::Client& http, const std::string& base_url,
                                                                       const std::string& model, const Json& messages,
                                                                       bool use_tools,
                                                                       const std::optional<Json>& extra_body) {
  return open_chat_stream(http, base_url, chat_request_body(model, messages, use_tools, extra_body));
}

// ------------------------------------------------------------ tool schemas

// Every word here is read by the model on every request and fills the
// context of a small board: names and types say most of it, descriptions
// only what they do not.
namespace {
std::string& sandbox_note() {
  static std::string note;
  return note;
}

Json& extra_tools() {
  static Json extra = Json::array();
  return extra;
}
int& extra_generation() {
  static int generation = 0;
  return generation;
}
}  // namespace

void set_sandbox_note(std::string note) { sandbox_note() = std::move(note); }

void set_extra_tools(Json definitions) {
  extra_tools() = definitions.is_array() ? std::move(definitions) : Json::array();
  ++extra_generation();
}

const Json& tool_definitions() {
  static Json tools;
  static std::optional<std::pair<std::string, int>> built_for;
  if (built_for && built_for->first == sandbox_note() && built_for->second == extra_generation()) return tools;
  built_for.emplace(sandbox_note(), extra_generation());
  tools = [] {
    auto tool = [](const char* name, const char* description, Json properties, Json required) {
      Json parameters = Json::object();
      parameters["type"] = "object";
      parameters["properties"] = std::move(properties);
      if (!required.empty()) parameters["required"] = std::move(required);
      Json function = Json::object();
      function["name"] = name;
      function["description"] = description;
      function["parameters"] = std::move(parameters);
      return Json{{"type", "function"}, {"function", std::move(function)}};
    };
    const Json text = {{"type", "string"}};
    const Json integer = {{"type", "integer"}};
    const Json boolean = {{"type", "boolean"}};
    Json t = Json::array();
    const std::string& note = sandbox_note();
    const std::string shell =
        "Run a /bin/sh command in the working directory. Background processes it starts on purpose are left "
        "running after it exits; at the time-out (default 120 s) all it started are ended." +
        (note.empty() ? "" : " " + note);
    Json shell_arguments = {{"command", text}, {"timeout_seconds", integer}};
    if (!note.empty()) {
      shell_arguments["outside_sandbox"] = boolean;
      shell_arguments["reason"] = text;
    }
    t.push_back(tool("shell", shell.c_str(), std::move(shell_arguments), {"command"}));
    t.push_back(tool("read_file", "Read a text file, with line numbers.", {{"path", text}}, {"path"}));
    t.push_back(tool("write_file", "Create or replace a file.", {{"path", text}, {"content", text}},
                     {"path", "content"}));
    t.push_back(tool("edit_file",
                     "Replace old_string (matching once, or every match with replace_all) by new_string, or apply "
                     "a unified diff (patch).",
                     {{"path", text},
                      {"old_string", text},
                      {"new_string", text},
                      {"replace_all", boolean},
                      {"patch", text}},
                     {"path"}));
    t.push_back(tool("load_file", "Load a large file, up to max_tokens.", {{"path", text}, {"max_tokens", integer}},
                     {"path"}));
    t.push_back(tool("glob", "List files matching a glob (** spans directories).", {{"pattern", text}, {"path", text}},
                     {"pattern"}));
    t.push_back(tool("grep", "Search files for a regex (RE2, as ripgrep).",
                     {{"pattern", text}, {"path", text}, {"glob", text}, {"ignore_case", boolean}}, {"pattern"}));
    t.push_back(tool("list_directory", "List a directory (default .).", {{"path", text}}, Json::array()));
    t.push_back(tool("memory", "Notes kept across sessions. content: the note, all notes (replace) or text to remove.",
                     {{"scope", {{"type", "string"}, {"enum", {"project", "global"}}}},
                      {"action", {{"type", "string"}, {"enum", {"add", "replace", "remove", "show"}}}},
                      {"content", text}},
                     {"scope", "action"}));
    for (const Json& extra : extra_tools()) t.push_back(extra);
    return t;
  }();
  return tools;
}

}  // namespace dravik::hostlib
