// The runtimes a host talks to through one interface: the local llama-server
// (a SidecarClient) and any remote OpenAI-compatible server.
#include <cstdlib>

#include "action_dispatch/action_dispatch.hpp"
#include "dravik_host.hpp"
#include "eviction_coordinator/eviction_coordinator.hpp"
#include "server_eviction/server_eviction.hpp"
#include "sidecar/sidecar.hpp"
#include "support/files.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/http/http.hpp"
#include "support/process/process.hpp"

namespace dravik::hostlib {

namespace {

constexpr const char* kDefaultBase = "https://api.openai.com/v1";

std::string file_name(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The extra request body: `base` (the reasoning switch) with the reply cap
// and, for the local server, prompt progress.
std::optional<Json> with_request_extras(std::optional<Json> base, std::optional<std::int64_t> max_tokens,
                                        bool progress) {
  if (!max_tokens && !progress) return base;
  Json body = base && base->is_object() ? *base : Json::object();
  if (max_tokens) body["max_tokens"] = *max_tokens;
  if (progress) body["return_progress"] = true;
  return body;
}

// The local server's chat stream: the endpoint is checked and the request
// opened on the first `next`, with the current reasoning mode's extras.
class LocalChatStream : public host::ChunkStream {
 public:
  LocalChatStream(sidecar::SidecarClient& c, Json messages, bool use_tools, std::optional<std::int64_t> max_tokens)
      : c_(c), messages_(std::move(messages)), use_tools_(use_tools), max_tokens_(max_tokens) {}
  boost::asio::awaitable<std::optional<host::StreamChunk>> next() override {
    if (!inner_) {
      host::isolation_policy().assert_endpoint_allowed(c_.base_url, "the llama.cpp runtime");
      inner_ = host::chat_protocol().stream_openai_chat(
          *c_._http, c_.base_url, "local", messages_, use_tools_,
          with_request_extras(c_._reasoning_extra_body(), max_tokens_, true));
    }
    co_return co_await inner_->next();
  }

 private:
  sidecar::SidecarClient& c_;
  Json messages_;
  bool use_tools_;
  std::optional<std::int64_t> max_tokens_;
  std::unique_ptr<host::ChunkStream> inner_;
};

constexpr std::chrono::seconds kCountTimeout{30};

Json template_request(Json messages, bool use_tools) {
  Json request = Json::object();
  request["messages"] = std::move(messages);
  if (use_tools) request["tools"] = tool_definitions();
  return request;
}

// {"content": <the rendered prompt>} from an "/apply-template" answer.
std::optional<Json> tokenize_request(const http::FullResponse& r) {
  if (r.status != 200) return std::nullopt;
  const Json v = Json::parse(r.body, nullptr, false);
  if (!v.is_object() || !v.contains("prompt") || !v["prompt"].is_string()) return std::nullopt;
  Json request = Json::object();
  request["content"] = v["prompt"];
  request["parse_special"] = true;
  return request;
}

std::optional<std::int64_t> token_count(const http::FullResponse& r) {
  if (r.status != 200) return std::nullopt;
  const Json v = Json::parse(r.body, nullptr, false);
  if (!v.is_object() || !v.contains("tokens") || !v["tokens"].is_array()) return std::nullopt;
  return static_cast<std::int64_t>(v["tokens"].size());
}

class LocalRuntime : public ChatRuntime {
 public:
  explicit LocalRuntime(std::unique_ptr<host::RuntimeClient> owned)
      : owned_(std::move(owned)), c_(static_cast<sidecar::SidecarClient&>(*owned_)) {}
  ~LocalRuntime() override { detach(); }
  boost::asio::awaitable<void> start() override { co_await c_.start(); }
  boost::asio::awaitable<void> close() override {
    detach();
    co_await c_.close();
  }
  std::unique_ptr<host::ChunkStream> chat_stream(Json messages, bool use_tools) override {
    return std::make_unique<LocalChatStream>(c_, std::move(messages), use_tools, max_reply_tokens_);
  }
  void set_reasoning_mode(const std::string& mode) override { c_.set_reasoning_mode(mode); }
  std::string reasoning_status() const override { return c_.reasoning_status(); }
  bool has_reasoning_switch() const override { return true; }
  std::int64_t context_window_tokens() const override { return c_.context_window_tokens; }
  std::string describe() const override { return "llama.cpp: " + file_name(c_.model); }
  host::RuntimeClient& client() override { return c_; }
  bool reports_prompt_progress() const override { return true; }

  bool owns_server() const override { return true; }
  void set_port(std::int64_t port) override {
    c_.port = port;
    c_.base_url = "http://" + c_.host + ":" + std::to_string(port);
  }
  bool server_running() const override { return c_._proc && !c_._proc->poll(); }
  boost::asio::awaitable<std::optional<int>> server_exit_status(std::chrono::milliseconds grace) override {
    if (!c_._proc) co_return std::nullopt;
    co_return co_await c_._proc->wait_for(grace);
  }
  std::vector<std::string> server_log_tail(std::size_t lines) const override {
    const auto log = c_.stderr_lines();
    return log ? log->tail(lines) : std::vector<std::string>{};
  }
  boost::asio::awaitable<void> reset() override { co_await c_.reset_kv_cache(); }
  std::vector<std::pair<std::string, std::string>> status() const override {
    return {{"server", (c_._proc ? "pid " + std::to_string(c_._proc->pid()) : std::string("stopped")) + " at " +
                           c_.base_url}};
  }

  void attach_conversation(std::shared_ptr<Json> messages, std::function<void(const std::string&)> notify) override {
    if (target_) {
      target_->set_messages(std::move(messages));
      return;
    }
    target_ = std::make_shared<server_eviction::LlamaEvictionTarget>(c_, std::move(messages));
    coordinator_ = std::make_shared<eviction_coordinator::EvictionCoordinator>(target_, std::nullopt, std::move(notify));
    action_dispatch::set_eviction_coordinator(coordinator_);
  }
  std::optional<std::filesystem::path> state_dir() const override {
    if (!coordinator_) return std::nullopt;
    return coordinator_->state_dir();
  }
  boost::asio::awaitable<bool> save_conversation() override {
    if (!target_ || !server_running()) co_return false;
    co_await target_->save_state(coordinator_->state_dir());
    co_return true;
  }
  boost::asio::awaitable<bool> restore_conversation() override {
    if (!target_) co_return false;
    co_return co_await target_->restore_state(coordinator_->state_dir());
  }

  // The server renders the request with its chat template
  // ("/apply-template") and counts the result ("/tokenize").
  boost::asio::awaitable<std::optional<std::int64_t>> count_prompt_tokens(Json messages, bool use_tools) override {
    host::isolation_policy().assert_endpoint_allowed(c_.base_url, "the llama.cpp runtime");
    const std::string base = c_.base_url;
    try {
      auto rendered = co_await c_._http->post_json(
          base + "/apply-template", template_request(std::move(messages), use_tools), kCountTimeout);
      const std::optional<Json> tokenize = tokenize_request(rendered);
      if (!tokenize) co_return std::nullopt;
      auto counted = co_await c_._http->post_json(base + "/tokenize", *tokenize, kCountTimeout);
      co_return token_count(counted);
    } catch (const http::TransportError&) {
      co_return std::nullopt;
    }
  }

 private:
  // The tool dispatcher's coordinator slot is emptied with this runtime:
  // the coordinator must not outlive the server it unloads.
  void detach() {
    if (coordinator_) action_dispatch::set_eviction_coordinator(nullptr);
    coordinator_.reset();
  }

  std::unique_ptr<host::RuntimeClient> owned_;
  sidecar::SidecarClient& c_;
  std::shared_ptr<server_eviction::LlamaEvictionTarget> target_;
  std::shared_ptr<eviction_coordinator::EvictionCoordinator> coordinator_;
};

class RemoteRuntime : public ChatRuntime {
 public:
  explicit RemoteRuntime(std::unique_ptr<host::RuntimeClient> owned)
      : owned_(std::move(owned)), c_(static_cast<OpenAICompatibleClient&>(*owned_)) {}
  boost::asio::awaitable<void> start() override {
    if (c_.options().verify_connection) co_await c_.verify();
  }
  boost::asio::awaitable<void> close() override {
    c_.http().close_connections();
    co_return;
  }
  std::unique_ptr<host::ChunkStream> chat_stream(Json messages, bool use_tools) override {
    return c_.chat_stream(std::move(messages), use_tools, max_reply_tokens_);
  }
  void set_reasoning_mode(const std::string& mode) override {
    if (config::lower(config::trim(mode)) != "default")
      throw ValueError("this runtime has no reasoning switch; its model decides");
  }
  std::string reasoning_status() const override { return "default"; }
  bool has_reasoning_switch() const override { return false; }
  std::int64_t context_window_tokens() const override { return c_.options().context_window_tokens; }
  std::string describe() const override { return "OpenAI-compatible: " + c_.options().model + " at " + c_.base_url(); }
  host::RuntimeClient& client() override { return c_; }

 private:
  std::unique_ptr<host::RuntimeClient> owned_;
  OpenAICompatibleClient& c_;
};

}  // namespace

std::string normalize_base_url(const std::optional<std::string>& base_url) {
  std::string base = base_url ? config::trim(*base_url) : "";
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base.empty() ? kDefaultBase : base;
}

OpenAICompatibleClient::OpenAICompatibleClient(boost::asio::any_io_executor ex, host::OpenAICompatibleOptions options)
    : options_(std::move(options)),
      base_url_(normalize_base_url(options_.base_url)),
      http_(std::make_unique<http::Client>(std::move(ex), std::chrono::seconds(300))) {}

OpenAICompatibleClient::~OpenAICompatibleClient() = default;

std::optional<std::string> OpenAICompatibleClient::api_key() const {
  if (options_.api_key && !config::trim(*options_.api_key).empty()) return config::trim(*options_.api_key);
  if (!options_.api_key_env.empty())
    if (const char* v = std::getenv(options_.api_key_env.c_str()); v && *v) return config::trim(v);
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> OpenAICompatibleClient::headers() const {
  std::vector<std::pair<std::string, std::string>> h;
  if (auto key = api_key()) h.emplace_back("Authorization", "Bearer " + *key);
  if (options_.extra_headers && options_.extra_headers->is_object())
    for (auto it = options_.extra_headers->begin(); it != options_.extra_headers->end(); ++it)
      h.emplace_back(it.key(), config::text_form(it.value()));
  return h;
}

boost::asio::awaitable<void> OpenAICompatibleClient::verify() {
  host::isolation_policy().assert_endpoint_allowed(base_url_, "the OpenAI-compatible runtime");
  http::Request req;
  req.url = base_url_ + "/models";
  req.headers = headers();
  req.timeout = std::chrono::seconds(15);
  http::FullResponse r;
  try {
    r = co_await http_->fetch(std::move(req));
  } catch (const http::TransportError& e) {
    throw RuntimeError("cannot reach the OpenAI-compatible server at " + base_url_ + ": " + e.what());
  }
  if (r.status == 401 || r.status == 403)
    throw RuntimeError("the server at " + base_url_ + " refused the API key (HTTP " + std::to_string(r.status) +
                       "); set it with the api_key option or " +
                       (options_.api_key_env.empty() ? std::string("an environment variable") : options_.api_key_env));
  if (r.status != 200)
    throw RuntimeError("the server at " + base_url_ + " answered HTTP " + std::to_string(r.status) + " to GET /models");
}

std::unique_ptr<host::ChunkStream> OpenAICompatibleClient::chat_stream(Json messages, bool use_tools,
                                                                   std::optional<std::int64_t> max_tokens) {
  host::isolation_policy().assert_endpoint_allowed(base_url_, "the OpenAI-compatible runtime");
  return open_chat_stream(
      *http_, base_url_,
      chat_request_body(options_.model, messages, use_tools, with_request_extras(options_.extra_body, max_tokens, false)),
      headers());
}

std::optional<std::string> CompatibleApiClientFactory::_normalize_base_url(const std::optional<std::string>& base_url) {
  return normalize_base_url(base_url);
}

std::unique_ptr<host::RuntimeClient> CompatibleApiClientFactory::OpenAICompatibleClient(
    const host::OpenAICompatibleOptions& options) {
  return std::make_unique<hostlib::OpenAICompatibleClient>(ex_, options);
}

std::unique_ptr<ChatRuntime> chat_runtime(std::unique_ptr<host::RuntimeClient> client) {
  if (!client) throw TypeError("no runtime client");
  if (dynamic_cast<sidecar::SidecarClient*>(client.get())) return std::make_unique<LocalRuntime>(std::move(client));
  if (dynamic_cast<OpenAICompatibleClient*>(client.get())) return std::make_unique<RemoteRuntime>(std::move(client));
  throw TypeError("unknown kind of runtime client");
}

void install_services(boost::asio::any_io_executor ex, const ServiceOptions& options) {
  host::HostServices s;
  s.isolation_policy = std::make_shared<LoopbackIsolationPolicy>(options.airgapped);
  s.chat_protocol = std::make_shared<SseChatProtocol>();
  ShellOptions shell;
  shell.workdir = options.workdir;
  shell.airgapped = options.airgapped;
  s.shell_executor = std::make_shared<LocalShellExecutor>(shell);
  s.memory_limits_probe = std::make_shared<ProcMemoryProbe>();
  std::filesystem::path home = options.home.value_or("");
  if (home.empty()) {
    home = std::filesystem::path(files::home_directory().value_or("/")) / ".dravik";
  }
  s.memory_notes_store = std::make_shared<MarkdownNotesStore>(home);
  s.hardware_probe = std::make_shared<LinuxHardwareProbe>();
  s.compatible_api_clients = std::make_shared<CompatibleApiClientFactory>(std::move(ex));
  host::install_host_services(std::move(s));
}

}  // namespace dravik::hostlib
