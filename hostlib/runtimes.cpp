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

namespace dravik::hostlib {

namespace {

constexpr const char* kDefaultBase = "https://api.openai.com/v1";

std::string file_name(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The extra request body of a remote server: the configured one with the
// reply cap.
std::optional<Json> with_reply_cap(std::optional<Json> base, std::optional<std::int64_t> max_tokens) {
  if (!max_tokens) return base;
  Json body = base && base->is_object() ? *base : Json::object();
  body["max_tokens"] = *max_tokens;
  return body;
}

// A reply on a shared server: the session's turn on the server is taken
// before the request is sent and held until the reply has ended (or the
// stream is dropped).
class TurnTakingStream : public host::ChunkStream {
 public:
  TurnTakingStream(SharedServer& shared, std::unique_ptr<host::ChunkStream> inner)
      : shared_(shared), inner_(std::move(inner)) {}
  boost::asio::awaitable<std::optional<host::StreamChunk>> next() override {
    if (!started_) {
      started_ = true;
      turn_ = co_await shared_.take_turn();
    }
    auto chunk = co_await inner_->next();
    if (!chunk) give_back();
    co_return chunk;
  }
  ~TurnTakingStream() override { give_back(); }

 private:
  void give_back() {
    if (!turn_) return;
    turn_.reset();
    shared_.turn_ended();
  }

  SharedServer& shared_;
  std::unique_ptr<host::ChunkStream> inner_;
  bool started_ = false;
  std::optional<ServerRegistry::Lock> turn_;
};

// The eviction target of a shared server: unloading leaves the server
// (the last session stops it) and reloading joins again. With other
// sessions on it, unloading frees nothing: their model is not ours to take.
class SharedServerTarget : public server_eviction::LlamaEvictionTarget {
 public:
  SharedServerTarget(sidecar::SidecarClient& client, std::shared_ptr<Json> messages, SharedServer& shared)
      : LlamaEvictionTarget(client, std::move(messages)), shared_(shared) {}
  double model_memory_mb() override {
    return shared_.shared_with_others() ? 0.0 : LlamaEvictionTarget::model_memory_mb();
  }
  boost::asio::awaitable<void> unload() override { co_await shared_.leave(); }
  boost::asio::awaitable<void> reload() override { co_await shared_.join(); }

 private:
  SharedServer& shared_;
};

class LocalRuntime : public ChatRuntime {
 public:
  LocalRuntime(std::unique_ptr<sidecar::SidecarClient> owned, std::optional<SharedServerOptions> shared)
      : owned_(std::move(owned)), c_(*owned_) {
    if (shared) shared_ = std::make_unique<SharedServer>(c_, std::move(*shared));
  }
  ~LocalRuntime() override { detach(); }
  boost::asio::awaitable<void> start() override {
    if (shared_) co_await shared_->join();
    else co_await c_.start();
  }
  boost::asio::awaitable<void> close() override {
    detach();
    // leave() stops or lets go of the server and does not throw an
    // ordinary error; the client is closed either way.
    if (shared_) co_await shared_->leave();
    co_await c_.close();
  }
  std::unique_ptr<host::ChunkStream> chat_stream(Json messages, bool use_tools) override {
    Json extra = {{"return_progress", true}};
    if (max_reply_tokens_) extra["max_tokens"] = *max_reply_tokens_;
    auto stream = c_.chat_stream(std::move(messages), use_tools, std::move(extra));
    if (!shared_) return stream;
    return std::make_unique<TurnTakingStream>(*shared_, std::move(stream));
  }
  void set_reasoning_mode(const std::string& mode) override { c_.set_reasoning_mode(mode); }
  std::string reasoning_status() const override { return c_.reasoning_status(); }
  bool has_reasoning_switch() const override { return true; }
  std::int64_t context_window_tokens() const override { return c_.context_window_tokens; }
  std::string describe() const override { return "llama.cpp: " + file_name(c_.model); }
  bool reports_prompt_progress() const override { return true; }

  bool owns_server() const override { return true; }
  bool server_running() const override { return shared_ ? shared_->running() : c_.server_running(); }
  boost::asio::awaitable<std::optional<int>> server_exit_status(std::chrono::milliseconds grace) override {
    co_return co_await c_.server_exit_status(grace);
  }
  std::vector<std::string> server_log_tail(std::size_t lines) const override {
    const auto log = c_.stderr_lines();
    return log ? log->tail(lines) : std::vector<std::string>{};
  }
  boost::asio::awaitable<void> reset() override {
    if (!shared_) {
      co_await c_.reset_kv_cache();
      co_return;
    }
    // A server other sessions use is not restarted: the next prompt differs
    // from what its cache holds anyway.
    if (shared_->shared_with_others()) co_return;
    co_await shared_->leave();
    co_await shared_->join();
  }
  std::vector<std::pair<std::string, std::string>> status() const override {
    const auto pid = shared_ ? shared_->pid() : c_.server_pid();
    std::string line = (pid ? "pid " + std::to_string(*pid) : std::string("stopped")) + " at " + c_.base_url;
    if (shared_ && pid) {
      const std::size_t others = shared_->other_sessions();
      if (shared_->attached()) line += ", started by another dravik";
      if (others > 0) line += ", shared with " + std::to_string(others) + (others == 1 ? " other session" : " other sessions");
    }
    return {{"server", line}};
  }

  void attach_conversation(std::shared_ptr<Json> messages, std::function<void(const std::string&)> notify) override {
    if (target_) {
      target_->set_messages(std::move(messages));
      return;
    }
    if (shared_) target_ = std::make_shared<SharedServerTarget>(c_, std::move(messages), *shared_);
    else target_ = std::make_shared<server_eviction::LlamaEvictionTarget>(c_, std::move(messages));
    coordinator_ = std::make_shared<eviction_coordinator::EvictionCoordinator>(target_, std::nullopt, std::move(notify));
    action_dispatch::set_eviction_coordinator(coordinator_);
  }
  std::optional<std::filesystem::path> state_dir() const override {
    if (!coordinator_) return std::nullopt;
    return coordinator_->state_dir();
  }
  boost::asio::awaitable<bool> save_conversation() override {
    if (!target_ || !server_running()) co_return false;
    // With other sessions on the server, its slot holds whichever request
    // came last, not necessarily this conversation's: this save leaves the
    // slot alone.
    struct KeepSlot {
      sidecar::SidecarClient& c;
      bool was = c.slot_files;
      ~KeepSlot() { c.slot_files = was; }
    } keep{c_};
    if (shared_ && shared_->shared_with_others()) c_.slot_files = false;
    co_await target_->save_state(coordinator_->state_dir());
    co_return true;
  }
  boost::asio::awaitable<bool> restore_conversation() override {
    if (!target_) co_return false;
    co_return co_await target_->restore_state(coordinator_->state_dir());
  }

  boost::asio::awaitable<std::optional<std::int64_t>> count_prompt_tokens(Json messages, bool use_tools) override {
    // Built on its own statement: g++ 12 destroys a conditional's temporary
    // twice inside a co_await expression.
    std::optional<Json> tools;
    if (use_tools) tools = tool_definitions();
    auto counting = c_.count_prompt_tokens(std::move(messages), std::move(tools));
    co_return co_await std::move(counting);
  }

 private:
  // The tool dispatcher's coordinator slot is emptied with this runtime:
  // the coordinator must not outlive the server it unloads.
  void detach() {
    if (coordinator_) action_dispatch::set_eviction_coordinator(nullptr);
    coordinator_.reset();
  }

  std::unique_ptr<sidecar::SidecarClient> owned_;
  sidecar::SidecarClient& c_;
  std::unique_ptr<SharedServer> shared_;
  std::shared_ptr<server_eviction::LlamaEvictionTarget> target_;
  std::shared_ptr<eviction_coordinator::EvictionCoordinator> coordinator_;
};

class RemoteRuntime : public ChatRuntime {
 public:
  explicit RemoteRuntime(std::unique_ptr<OpenAICompatibleClient> owned) : owned_(std::move(owned)), c_(*owned_) {}
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

 private:
  std::unique_ptr<OpenAICompatibleClient> owned_;
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
      http_(std::make_unique<http::Client>(std::move(ex), std::chrono::seconds(300), host::policy_redirect_check())) {}

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
      chat_request_body(options_.model, messages, use_tools, with_reply_cap(options_.extra_body, max_tokens)),
      headers());
}

std::optional<std::string> CompatibleApiClientFactory::_normalize_base_url(const std::optional<std::string>& base_url) {
  return normalize_base_url(base_url);
}

std::unique_ptr<host::RuntimeClient> CompatibleApiClientFactory::OpenAICompatibleClient(
    const host::OpenAICompatibleOptions& options) {
  return std::make_unique<hostlib::OpenAICompatibleClient>(ex_, options);
}

std::unique_ptr<ChatRuntime> local_runtime(std::unique_ptr<sidecar::SidecarClient> client,
                                           std::optional<SharedServerOptions> shared) {
  if (!client) throw TypeError("no runtime client");
  return std::make_unique<LocalRuntime>(std::move(client), std::move(shared));
}

std::unique_ptr<ChatRuntime> local_runtime(boost::asio::any_io_executor ex, LocalRuntimeOptions o) {
  if (config::trim(o.model).empty()) throw ValueError("Missing model for llama.cpp runtime (`llama_model` or `model`).");
  auto client = std::make_unique<sidecar::SidecarClient>(std::move(ex), std::move(o.model), "127.0.0.1", o.port,
                                                        o.context_window_tokens, std::move(o.device), o.gpu_layers,
                                                        o.airgapped, std::move(o.diagnostics));
  client->cache_ram_mib = o.cache_ram_mib;
  auto runtime = local_runtime(std::move(client), std::move(o.shared));
  runtime->set_max_reply_tokens(o.max_reply_tokens);
  return runtime;
}

std::unique_ptr<ChatRuntime> remote_runtime(boost::asio::any_io_executor ex, host::OpenAICompatibleOptions options,
                                            std::optional<std::int64_t> max_reply_tokens) {
  auto runtime =
      std::make_unique<RemoteRuntime>(std::make_unique<OpenAICompatibleClient>(std::move(ex), std::move(options)));
  runtime->set_max_reply_tokens(max_reply_tokens);
  return runtime;
}

void install_services(boost::asio::any_io_executor ex, const ServiceOptions& options) {
  host::HostServices s;
  s.isolation_policy = std::make_shared<LoopbackIsolationPolicy>(options.airgapped);
  s.chat_protocol = std::make_shared<SseChatProtocol>();
  ShellOptions shell;
  shell.workdir = options.workdir;
  shell.airgapped = options.airgapped;
  shell.sandbox = options.sandbox;
  set_sandbox_note(options.sandbox ? options.sandbox->for_the_model() : "");
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
