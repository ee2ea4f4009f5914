// Test doubles of the host services: configurable results, recorded calls
// (arguments in order), injectable errors. The chat protocol double is a
// real minimal SSE client over the library's HTTP client.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_services/host_services.hpp"
#include "support/errors.hpp"
#include "support/http/http.hpp"

namespace dravik::testing {

namespace asio = boost::asio;

struct RecordingIsolationPolicy : host::IsolationPolicy {
  bool airgapped = false;
  // When set, assert_endpoint_allowed throws AirgapViolationError with it.
  std::optional<std::string> refuse;
  std::vector<std::pair<std::optional<std::string>, std::string>> endpoint_checks;
  std::vector<bool> env_calls;
  std::function<void(host::Environment&)> edit_env;

  bool airgapped_from_cfg(const Json&) override { return airgapped; }
  void assert_endpoint_allowed(const std::optional<std::string>& endpoint, const std::string& label) override {
    endpoint_checks.emplace_back(endpoint, label);
    if (refuse) throw host::AirgapViolationError(*refuse);
  }
  void apply_airgap_env(host::Environment& env, bool enabled) override {
    env_calls.push_back(enabled);
    if (edit_env) edit_env(env);
  }
};

// Streams one OpenAI-compatible chat completion and yields each SSE data
// event as a chunk.
class SseChunkStream : public host::ChunkStream {
 public:
  SseChunkStream(http::Client& http, http::Request req) : http_(http), req_(std::move(req)) {}

  asio::awaitable<std::optional<host::StreamChunk>> next() override {
    if (!resp_) {
      resp_ = std::make_unique<http::Response>(co_await http_.send(req_));
      if (resp_->status() != 200) {
        auto body = co_await resp_->read_all();
        throw RuntimeError("chat request failed with HTTP " + std::to_string(resp_->status()) + ": " + body);
      }
    }
    for (;;) {
      if (!pending_.empty()) {
        auto c = std::move(pending_.front());
        pending_.pop_front();
        co_return c;
      }
      if (done_) co_return std::nullopt;
      auto piece = co_await resp_->read_some();
      if (!piece) {
        done_ = true;
        continue;
      }
      buf_ += *piece;
      for (auto at = buf_.find("\n\n"); at != std::string::npos; at = buf_.find("\n\n")) {
        std::string event = buf_.substr(0, at);
        buf_.erase(0, at + 2);
        if (event.rfind("data: ", 0) != 0) continue;  // comments and pings
        std::string data = event.substr(6);
        if (data == "[DONE]") {
          done_ = true;
          break;
        }
        pending_.push_back(host::StreamChunk{Json::parse(data)});
      }
    }
  }

 private:
  http::Client& http_;
  http::Request req_;
  std::unique_ptr<http::Response> resp_;
  std::string buf_;
  std::deque<host::StreamChunk> pending_;
  bool done_ = false;
};

struct SseChatProtocol : host::ChatProtocol {
  struct Call {
    std::string base_url, model;
    Json messages;
    bool use_tools;
    std::optional<Json> extra_body;
  };
  std::vector<Call> calls;
  std::optional<int> max_tokens;

  std::unique_ptr<host::ChunkStream> stream_openai_chat(http::Client& http, const std::string& base_url,
                                                        const std::string& model, const Json& messages, bool use_tools,
                                                        const std::optional<Json>& extra_body) override {
    calls.push_back({base_url, model, messages, use_tools, extra_body});
    Json body = {{"model", model}, {"messages", messages}, {"stream", true}};
    if (max_tokens) body["max_tokens"] = *max_tokens;
    if (use_tools)
      body["tools"] = Json::array({{{"type", "function"},
                                    {"function",
                                     {{"name", "read_file"},
                                      {"description", "Read a file"},
                                      {"parameters",
                                       {{"type", "object"},
                                        {"properties", {{"path", {{"type", "string"}}}}},
                                        {"required", {"path"}}}}}}}});
    if (extra_body)
      for (auto it = extra_body->begin(); it != extra_body->end(); ++it) body[it.key()] = it.value();
    http::Request req;
    req.method = "POST";
    req.url = base_url + "/v1/chat/completions";
    req.headers.emplace_back("Content-Type", "application/json");
    req.body = body.dump();
    return std::make_unique<SseChunkStream>(http, std::move(req));
  }
};

struct FakeMemoryProbe : host::MemoryLimitsProbe {
  std::optional<host::MemorySnapshot> snapshot;
  int calls = 0;
  std::optional<host::MemorySnapshot> read_memory_snapshot() override {
    ++calls;
    return snapshot;
  }
};

struct FakeHardwareProbe : host::HardwareProbe {
  std::vector<std::string> labels_seen;
  bool is_jetson_label(const std::string& label) override {
    labels_seen.push_back(label);
    return label.find("Jetson") != std::string::npos || label.find("jetson") != std::string::npos;
  }
};

// The OpenAI-compatible client the factory builds: records its options.
struct FakeCompatibleClient : host::RuntimeClient {
  host::OpenAICompatibleOptions options;
  explicit FakeCompatibleClient(host::OpenAICompatibleOptions o) : options(std::move(o)) {}
};

struct FakeCompatibleClients : host::CompatibleApiClients {
  std::vector<std::optional<std::string>> normalize_calls;
  std::function<std::optional<std::string>(const std::optional<std::string>&)> normalize =
      [](const std::optional<std::string>& u) { return u ? u : std::optional<std::string>("http://127.0.0.1:8000/v1"); };
  std::optional<std::string> _normalize_base_url(const std::optional<std::string>& base_url) override {
    normalize_calls.push_back(base_url);
    return normalize(base_url);
  }
  std::unique_ptr<host::RuntimeClient> OpenAICompatibleClient(const host::OpenAICompatibleOptions& o) override {
    return std::make_unique<FakeCompatibleClient>(o);
  }
};

}  // namespace dravik::testing

namespace dravik::testing {

// Shell executor double: records every call with its arguments in order and
// answers with configurable results; `error` is thrown by every operation.
struct ScriptedShellExecutor : host::ShellExecutor {
  struct Call {
    std::string op;
    Json args;
  };
  std::vector<Call> calls;
  host::ExecResult exec{"ran", true, 0, "out", "", false, 30};
  std::string text = "text result";
  host::LoadFileResult loaded;
  host::EditFileResult edited;
  std::exception_ptr error;
  // Awaited inside run_shell (e.g. to hold the command open).
  std::function<asio::awaitable<void>()> during_shell;

  void fail_if_told() {
    if (error) std::rethrow_exception(error);
  }
  asio::awaitable<host::ExecResult> run_shell(std::string command, std::int64_t timeout_seconds) override {
    calls.push_back({"run_shell", {command, timeout_seconds}});
    if (during_shell) co_await during_shell();
    fail_if_told();
    co_return exec;
  }
  asio::awaitable<std::string> read_file(std::string path) override {
    calls.push_back({"read_file", {path}});
    fail_if_told();
    co_return text;
  }
  asio::awaitable<std::string> write_file(std::string path, std::string content) override {
    calls.push_back({"write_file", {path, content}});
    fail_if_told();
    co_return text;
  }
  asio::awaitable<host::LoadFileResult> load_file(std::string path, std::optional<std::int64_t> max_tokens) override {
    calls.push_back({"load_file", {path, max_tokens ? Json(*max_tokens) : Json()}});
    fail_if_told();
    co_return loaded;
  }
  asio::awaitable<host::EditFileResult> edit_file(std::string path, host::EditFileRequest r) override {
    Json args = {path};
    if (r.patch) args.push_back({{"patch", *r.patch}, {"return_result", r.return_result}});
    else
      args.push_back({{"old_string", r.old_string},
                      {"new_string", r.new_string},
                      {"replace_all", r.replace_all},
                      {"return_result", r.return_result}});
    calls.push_back({"edit_file", args});
    fail_if_told();
    co_return edited;
  }
  asio::awaitable<std::string> glob_files(std::string pattern, Json path) override {
    calls.push_back({"glob_files", {pattern, path}});
    fail_if_told();
    co_return text;
  }
  asio::awaitable<std::string> grep_files(std::string pattern, Json path, Json glob_filter, bool ignore_case) override {
    calls.push_back({"grep_files", {pattern, path, glob_filter, ignore_case}});
    fail_if_told();
    co_return text;
  }
  asio::awaitable<std::string> list_directory(Json path) override {
    calls.push_back({"list_directory", {path}});
    fail_if_told();
    co_return text;
  }
};

struct FakeNotesStore : host::MemoryNotesStore {
  std::vector<Json> calls;
  std::string answer = "noted";
  std::exception_ptr error;
  asio::awaitable<std::string> update_persistent_memory(std::string cwd, std::string scope, std::string action,
                                                        std::string content) override {
    calls.push_back({cwd, scope, action, content});
    if (error) std::rethrow_exception(error);
    co_return answer;
  }
};

}  // namespace dravik::testing
