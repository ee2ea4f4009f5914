// The runtimes a host talks to: the local llama-server and remote
// OpenAI-compatible servers, behind one interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "host_services/host_services.hpp"
#include "shared_server.hpp"
#include "support/json.hpp"

namespace dravik::sidecar {
class SidecarClient;
}

namespace dravik::hostlib {

// What a host needs of any runtime, local or remote.
class ChatRuntime {
 public:
  virtual ~ChatRuntime() = default;
  // Local: starts llama-server. Remote: checks the connection when the
  // configuration asks for it.
  virtual boost::asio::awaitable<void> start() = 0;
  virtual boost::asio::awaitable<void> close() = 0;
  virtual std::unique_ptr<host::ChunkStream> chat_stream(Json messages, bool use_tools) = 0;
  // "default", "on" or "off"; a runtime without a switch stays "default"
  // and refuses the others with a ValueError.
  virtual void set_reasoning_mode(const std::string& mode) = 0;
  virtual std::string reasoning_status() const = 0;
  virtual bool has_reasoning_switch() const = 0;
  virtual std::int64_t context_window_tokens() const = 0;
  // "llama.cpp: model.gguf" / "openai_compatible: model at URL".
  virtual std::string describe() const = 0;
  // Tokens the server would read for `messages` (with the tool schemas when
  // `use_tools`) as its chat template renders them, counted by its own
  // tokenizer. Local runtime only; nothing when the server cannot tell.
  virtual boost::asio::awaitable<std::optional<std::int64_t>> count_prompt_tokens(Json messages, bool use_tools) {
    (void)messages;
    (void)use_tools;
    co_return std::nullopt;
  }
  // True when replies stream "prompt_progress" chunks while the server
  // reads the prompt (the local llama-server).
  virtual bool reports_prompt_progress() const { return false; }
  // Caps every reply at `tokens` ("max_tokens" of the request); nothing:
  // the server decides.
  void set_max_reply_tokens(std::optional<std::int64_t> tokens) { max_reply_tokens_ = tokens; }
  std::optional<std::int64_t> max_reply_tokens() const { return max_reply_tokens_; }

  // ------------------------------------------------ the local server's life
  // A remote server is someone else's: these say nothing and do nothing.

  // True for a runtime whose server this process starts and stops (the
  // local llama-server): its context is set in our configuration.
  virtual bool owns_server() const { return false; }
  // False once the local server has exited (it is started again by
  // `start`); a remote runtime is always taken to be there.
  virtual bool server_running() const { return true; }
  // After a failed request: the local server's exit status when it ended
  // (or ends within `grace`); nothing when it runs on, or for a remote one.
  virtual boost::asio::awaitable<std::optional<int>> server_exit_status(std::chrono::milliseconds grace) {
    (void)grace;
    co_return std::nullopt;
  }
  // The last lines the local server wrote to its standard error.
  virtual std::vector<std::string> server_log_tail(std::size_t lines) const {
    (void)lines;
    return {};
  }
  // Forgets what the server keeps of the conversation (the local server's
  // KV cache).
  virtual boost::asio::awaitable<void> reset() { co_return; }
  // ("server", "pid 1234 at http://127.0.0.1:8080") and the like, for a
  // status display.
  virtual std::vector<std::pair<std::string, std::string>> status() const { return {}; }

  // ---------------------------------------------- the conversation it keeps
  // The local runtime unloads the model around heavy shell commands and
  // brings it back with the conversation and its KV cache; it saves both
  // for a later session.

  // Follows `messages` (the host's conversation, shared) from now on and
  // installs the eviction coordinator for the tool dispatcher; `notify`
  // gets its progress lines. Idempotent; a remote runtime does nothing.
  virtual void attach_conversation(std::shared_ptr<Json> messages, std::function<void(const std::string&)> notify) {
    (void)messages;
    (void)notify;
  }
  // Where the conversation and its KV cache are saved (attached local
  // runtime only).
  virtual std::optional<std::filesystem::path> state_dir() const { return std::nullopt; }
  // Saves the conversation and the KV cache into `state_dir()`; false when
  // there is nothing to save to (no attached, running local server).
  virtual boost::asio::awaitable<bool> save_conversation() { co_return false; }
  // Loads the saved conversation into the attached list, and the KV cache
  // into the server when it takes it (then true).
  virtual boost::asio::awaitable<bool> restore_conversation() { co_return false; }

 protected:
  std::optional<std::int64_t> max_reply_tokens_;
};

// The local llama-server, as the host resolved it.
struct LocalRuntimeOptions {
  std::string model;
  std::int64_t port = 8080;
  std::int64_t context_window_tokens = 2048;
  std::string device = "auto";
  std::int64_t gpu_layers = 99;
  bool airgapped = false;
  // Gets the server's start-up events (see sidecar.hpp).
  std::function<void(const std::string& event_type, const Json& payload)> diagnostics;
  std::optional<std::int64_t> max_reply_tokens;
  // The server's host-RAM prompt cache in MiB (absent: its default).
  std::optional<std::int64_t> cache_ram_mib;
  // Share the board's one server with the other dravik sessions (see
  // shared_server.hpp); absent: this runtime's server is its own.
  std::optional<SharedServerOptions> shared;
};

// The local runtime: a llama-server this process starts and stops.
std::unique_ptr<ChatRuntime> local_runtime(boost::asio::any_io_executor ex, LocalRuntimeOptions options);
// The same around a client already built (tests bring their own).
std::unique_ptr<ChatRuntime> local_runtime(std::unique_ptr<sidecar::SidecarClient> client,
                                           std::optional<SharedServerOptions> shared = std::nullopt);
// A remote OpenAI-compatible server; `options` as the backend catalog makes
// them from a configuration (backend_catalog::api_runtime_options).
std::unique_ptr<ChatRuntime> remote_runtime(boost::asio::any_io_executor ex, host::OpenAICompatibleOptions options,
                                            std::optional<std::int64_t> max_reply_tokens = std::nullopt);

// A remote OpenAI-compatible server (vLLM, SGLang, TGI, OpenRouter...).
class OpenAICompatibleClient : public host::RuntimeClient {
 public:
  OpenAICompatibleClient(boost::asio::any_io_executor ex, host::OpenAICompatibleOptions options);
  ~OpenAICompatibleClient() override;

  const host::OpenAICompatibleOptions& options() const { return options_; }
  // The normalised base URL (trailing slashes removed, "/v1" kept).
  const std::string& base_url() const { return base_url_; }
  // The key from the option, else from the named environment variable.
  std::optional<std::string> api_key() const;
  // "Authorization: Bearer <key>" (when there is a key) and the extra headers.
  std::vector<std::pair<std::string, std::string>> headers() const;
  // GET <base>/models; a clear RuntimeError when it fails.
  boost::asio::awaitable<void> verify();
  // `max_tokens`: the reply's cap ("max_tokens" of the request).
  std::unique_ptr<host::ChunkStream> chat_stream(Json messages, bool use_tools,
                                                 std::optional<std::int64_t> max_tokens = std::nullopt);
  http::Client& http() { return *http_; }

 private:
  host::OpenAICompatibleOptions options_;
  std::string base_url_;
  std::unique_ptr<http::Client> http_;
};

// The normalised base URL of an OpenAI-compatible runtime: trimmed, without
// trailing slashes; absent or empty gives the OpenAI API's.
std::string normalize_base_url(const std::optional<std::string>& base_url);

class CompatibleApiClientFactory : public host::CompatibleApiClients {
 public:
  explicit CompatibleApiClientFactory(boost::asio::any_io_executor ex) : ex_(std::move(ex)) {}
  std::optional<std::string> _normalize_base_url(const std::optional<std::string>& base_url) override;
  std::unique_ptr<host::RuntimeClient> OpenAICompatibleClient(const host::OpenAICompatibleOptions& options) override;

 private:
  boost::asio::any_io_executor ex_;
};

}  // namespace dravik::hostlib
