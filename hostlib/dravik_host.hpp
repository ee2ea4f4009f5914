// Real implementations of the host services the Dravik libraries call, for
// any host application: a terminal front end, an editor plug-in, a test rig.
//
//   boost::asio::io_context io;
//   dravik::hostlib::install_services(io.get_executor(), {.workdir = "/path/to/project"});
//   auto runtime = dravik::hostlib::chat_runtime(
//       dravik::backend_catalog::create_runtime_client(io.get_executor(), cfg));
//
// Every service runs on the host's event loop; none starts a thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "host_services/host_services.hpp"
#include "support/json.hpp"
#include "text_tools.hpp"

namespace dravik::hostlib {

// ----------------------------------------------------------- installation

struct ServiceOptions {
  // Where tools run and relative paths start; file tools stay inside it.
  std::filesystem::path workdir = std::filesystem::current_path();
  bool airgapped = false;
  // Product home for the global memory notes (default: ~/.dravik).
  std::optional<std::filesystem::path> home;
};

// Builds all eight services and installs them with install_host_services.
void install_services(boost::asio::any_io_executor ex, const ServiceOptions& options);

// -------------------------------------------------------- isolation policy

// Air-gapped mode allows only loopback endpoints (127.0.0.0/8, ::1,
// "localhost"), judged on the parsed URL's host, never on its text.
class LoopbackIsolationPolicy : public host::IsolationPolicy {
 public:
  explicit LoopbackIsolationPolicy(bool airgapped) : airgapped_(airgapped) {}
  // "airgapped" of the configuration map, as a truth value; or this
  // policy's own setting when the map does not say.
  bool airgapped_from_cfg(const Json& cfg) override;
  // Throws AirgapViolationError naming `label` for a refused, absent or
  // unparsable endpoint (air-gapped mode only).
  void assert_endpoint_allowed(const std::optional<std::string>& endpoint, const std::string& label) override;
  // Removes proxy variables (both cases) and sets the usual offline
  // switches of child programs.
  void apply_airgap_env(host::Environment& env, bool enabled) override;

 private:
  bool airgapped_;
};

// True when `url` parses and its host is a loopback address or "localhost".
bool is_loopback_url(const std::string& url);

// ----------------------------------------------------------- chat protocol

// A chat request the server refused (status other than 200), with the
// server's own message.
class ChatRequestError : public RuntimeError {
 public:
  ChatRequestError(int status, std::string message, std::string type)
      : RuntimeError(std::move(message)), status(status), type(std::move(type)) {}
  int status;
  std::string type;  // the error "type" of the answer ("exceed_context_size_error"), or ""
  // True for the "prompt does not fit the context" answers.
  bool context_exceeded() const;
  // The figures a llama-server "exceed_context_size_error" carries: the
  // request's tokens and the server's context.
  std::optional<std::int64_t> n_prompt_tokens, n_ctx;
};

// The endpoint of chat completions under `base_url`: "/v1/chat/completions"
// appended, or "/chat/completions" when the base already ends in "/v1".
std::string chat_completions_url(const std::string& base_url);

// One JSON schema per tool the dispatcher knows, in the OpenAI "tools"
// format, with the argument names and types it validates.
const Json& tool_definitions();

// Opens one streamed chat completion: POSTs `body` (with "stream": true) to
// the chat endpoint of `base_url` with the extra `headers`, and yields each
// event's JSON as a chunk. Throws ChatRequestError for a non-200 answer and
// RuntimeError "stream interrupted" for a stream that ends without [DONE].
std::unique_ptr<host::ChunkStream> open_chat_stream(http::Client& http, std::string base_url, Json body,
                                                    std::vector<std::pair<std::string, std::string>> headers = {});

class SseChatProtocol : public host::ChatProtocol {
 public:
  std::unique_ptr<host::ChunkStream> stream_openai_chat(http::Client& http, const std::string& base_url,
                                                        const std::string& model, const Json& messages,
                                                        bool use_tools, const std::optional<Json>& extra_body) override;
};

// The request body of one chat turn: model, messages, "stream": true, the
// usage figures asked for, the tools when `use_tools`, then `extra_body`
// merged at the top level.
Json chat_request_body(const std::string& model, const Json& messages, bool use_tools,
                       const std::optional<Json>& extra_body);

// ----------------------------------------------------------- shell executor

struct ShellOptions {
  std::filesystem::path workdir;
  std::size_t output_cap = 64 * 1024;      // per stream, head and tail kept
  std::size_t read_cap = 256 * 1024;       // read_file
  std::size_t list_cap = 500;              // glob and list results
  std::size_t grep_cap = 200;              // grep matches
  std::size_t walk_cap = 100000;           // entries a glob or grep may visit
  std::chrono::milliseconds kill_grace{2000};
  // Air-gapped mode: commands get the environment the installed isolation
  // policy gives child programs (proxy variables removed, offline switches
  // set), as llama-server does.
  bool airgapped = false;
};

class LocalShellExecutor : public host::ShellExecutor {
 public:
  explicit LocalShellExecutor(ShellOptions options);
  boost::asio::awaitable<host::ExecResult> run_shell(std::string command, std::int64_t timeout_seconds) override;
  boost::asio::awaitable<std::string> read_file(std::string path) override;
  boost::asio::awaitable<std::string> write_file(std::string path, std::string content) override;
  boost::asio::awaitable<host::LoadFileResult> load_file(std::string path,
                                                         std::optional<std::int64_t> max_tokens) override;
  boost::asio::awaitable<host::EditFileResult> edit_file(std::string path, host::EditFileRequest request) override;
  boost::asio::awaitable<std::string> glob_files(std::string pattern, Json path) override;
  boost::asio::awaitable<std::string> grep_files(std::string pattern, Json path, Json glob_filter,
                                                 bool ignore_case) override;
  boost::asio::awaitable<std::string> list_directory(Json path) override;

  // The synchronous work behind the file tools (also for tests).
  std::string read_file_now(const std::string& path);
  std::string write_file_now(const std::string& path, const std::string& content);
  host::EditFileResult edit_file_now(const std::string& path, const host::EditFileRequest& request);
  std::string glob_now(const std::string& pattern, const Json& path);
  std::string grep_now(const std::string& pattern, const Json& path, const Json& glob_filter, bool ignore_case);
  std::string list_now(const Json& path);
  host::LoadFileResult load_now(const std::string& path, std::optional<std::int64_t> max_tokens);

 private:
  ShellOptions o_;
};

// ------------------------------------------------------ memory notes store

// Notes as Markdown: scope "project" in <cwd>/.dravik/memory.md, scope
// "global" in <home>/memory.md. Actions: "add" (a bullet), "replace" (the
// whole notes), "remove" (the bullets containing the content), "show".
class MarkdownNotesStore : public host::MemoryNotesStore {
 public:
  explicit MarkdownNotesStore(std::filesystem::path home) : home_(std::move(home)) {}
  boost::asio::awaitable<std::string> update_persistent_memory(std::string cwd, std::string scope, std::string action,
                                                               std::string content) override;
  std::string update_now(const std::string& cwd, const std::string& scope, const std::string& action,
                         const std::string& content);

 private:
  std::filesystem::path home_;
};

// ------------------------------------------------------------------ probes

// MemAvailable of /proc/meminfo (under `root`); nothing when unreadable.
class ProcMemoryProbe : public host::MemoryLimitsProbe {
 public:
  explicit ProcMemoryProbe(std::string root = "") : root_(std::move(root)) {}
  std::optional<host::MemorySnapshot> read_memory_snapshot() override;

 private:
  std::string root_;
};

// The board: total RAM, the device-tree model name, CUDA present.
class LinuxHardwareProbe : public host::HardwareProbe {
 public:
  bool is_jetson_label(const std::string& label) override;
  static host::HardwareInfo probe(const std::string& root = "");
};

// --------------------------------------------------------- chat runtimes

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
  // The runtime client itself (a SidecarClient for the local runtime).
  virtual host::RuntimeClient& client() = 0;
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

 protected:
  std::optional<std::int64_t> max_reply_tokens_;
};

// Wraps a client the factory built. Throws TypeError for an unknown kind.
std::unique_ptr<ChatRuntime> chat_runtime(std::unique_ptr<host::RuntimeClient> client);

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
  std::unique_ptr<host::ChunkStream> chat_stream(Json messages, bool use_tools);
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
