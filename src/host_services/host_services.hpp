// Services of the host application that the Dravik libraries call. The host
// implements these interfaces and installs them once at start-up with
// `install_host_services`; a library that needs a service the host has not
// installed gets a ServiceNotInstalledError naming it.
//
// This registry is process-wide by design: the libraries' public operations
// (the runtime factory, the tool dispatcher, the sidecar) take no services
// argument, so each reaches its services here. It is the one such seam;
// what can be handed over at construction is (the HTTP client's redirect
// check, below).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "support/errors.hpp"
#include "support/json.hpp"

namespace dravik::http {
class Client;
}

namespace dravik::host {

using Environment = std::map<std::string, std::string>;

// ------------------------------------------------------- isolation policy

// Raised when air-gapped mode refuses a runtime or endpoint.
class AirgapViolationError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

class IsolationPolicy {
 public:
  virtual ~IsolationPolicy() = default;
  // True when the configuration turns air-gapped mode on.
  virtual bool airgapped_from_cfg(const Json& cfg) = 0;
  // Returns when the endpoint may be used; otherwise throws (the caller lets
  // the error propagate). `endpoint` may be absent.
  virtual void assert_endpoint_allowed(const std::optional<std::string>& endpoint, const std::string& label) = 0;
  // Edits a child process's environment in place for air-gapped mode.
  virtual void apply_airgap_env(Environment& env, bool enabled) = 0;
};

// ---------------------------------------------------------- chat protocol

// One streamed chat chunk, passed through to the host unchanged.
struct StreamChunk {
  Json data;
  bool operator==(const StreamChunk&) const = default;
};

// A tool call the model made. `arguments` is normally a map, but may be any
// JSON value; `name` is normally a text.
struct ToolCall {
  Json name;
  Json arguments;
};

// An asynchronous sequence of chunks. `next` completes with the next chunk,
// or nullopt once the stream has ended; errors are thrown from `next`.
class ChunkStream {
 public:
  virtual ~ChunkStream() = default;
  virtual boost::asio::awaitable<std::optional<StreamChunk>> next() = 0;
};

class ChatProtocol {
 public:
  virtual ~ChatProtocol() = default;
  // One streamed OpenAI-compatible chat completion against `base_url`,
  // through the caller's HTTP client. Nothing is sent before the first
  // `next`. `extra_body` absent means no extras.
  virtual std::unique_ptr<ChunkStream> stream_openai_chat(http::Client& http, const std::string& base_url,
                                                          const std::string& model, const Json& messages,
                                                          bool use_tools, const std::optional<Json>& extra_body) = 0;
};

// ---------------------------------------------------------- shell executor

// Time-out used when a shell tool call gives none.
inline constexpr std::int64_t DEFAULT_SHELL_TIMEOUT_SECONDS = 120;

// Result of one shell command. (The command's output streams are named
// `stdout_text` and `stderr_text`: `stdout` and `stderr` are C macros.)
struct ExecResult {
  std::string summary;
  bool ok = false;
  std::optional<std::int64_t> exit_code;
  std::string stdout_text;
  std::string stderr_text;
  bool timed_out = false;
  std::int64_t timeout_seconds = 0;
  bool operator==(const ExecResult&) const = default;
};

struct LoadFileResult {
  bool ok = false;
  std::string detail;
  Json summary;
  Json content;
  bool truncated = false;
  Json estimated_tokens;
  Json returned_tokens;
  Json token_budget;
  Json mem_available_mb;
};

struct EditFileResult {
  std::string output;
  bool ok = false;
  bool internal_retry = false;
  Json replacements;
  Json match_strategy;
  Json validation_error;
};

// What edit_file is asked to do: a patch, or a string replacement.
// The dispatcher always asks for the structured result (return_result).
struct EditFileRequest {
  std::optional<std::string> patch;
  std::string old_string;
  std::string new_string;
  bool replace_all = false;
  bool return_result = true;
};

class ShellExecutor {
 public:
  virtual ~ShellExecutor() = default;
  virtual boost::asio::awaitable<ExecResult> run_shell(std::string command, std::int64_t timeout_seconds) = 0;
  // Failure texts start with "Error:".
  virtual boost::asio::awaitable<std::string> read_file(std::string path) = 0;
  // Failure texts start with "Error".
  virtual boost::asio::awaitable<std::string> write_file(std::string path, std::string content) = 0;
  virtual boost::asio::awaitable<LoadFileResult> load_file(std::string path, std::optional<std::int64_t> max_tokens) = 0;
  virtual boost::asio::awaitable<EditFileResult> edit_file(std::string path, EditFileRequest request) = 0;
  // `path`, `glob_filter`: the value the model gave, null when absent.
  virtual boost::asio::awaitable<std::string> glob_files(std::string pattern, Json path) = 0;
  virtual boost::asio::awaitable<std::string> grep_files(std::string pattern, Json path, Json glob_filter,
                                                         bool ignore_case) = 0;
  virtual boost::asio::awaitable<std::string> list_directory(Json path) = 0;
};

// ------------------------------------------------------ memory limits probe

struct MemorySnapshot {
  std::optional<double> available_mb;
};

class MemoryLimitsProbe {
 public:
  virtual ~MemoryLimitsProbe() = default;
  virtual std::optional<MemorySnapshot> read_memory_snapshot() = 0;
};

// ------------------------------------------------------ memory notes store

class MemoryNotesStore {
 public:
  virtual ~MemoryNotesStore() = default;
  // May throw ValueError, whose message the caller shows.
  virtual boost::asio::awaitable<std::string> update_persistent_memory(std::string cwd, std::string scope,
                                                                       std::string action, std::string content) = 0;
};

// ---------------------------------------------------------- hardware probe

struct HardwareInfo {
  double total_ram_gb = 0.0;
  bool has_cuda = false;
  std::string label;
};

class HardwareProbe {
 public:
  virtual ~HardwareProbe() = default;
  virtual bool is_jetson_label(const std::string& label) = 0;
};

// ---------------------------------------------------- runtime client base

// Base of every runtime client the factory builds.
class RuntimeClient {
 public:
  virtual ~RuntimeClient() = default;
};

// ------------------------------------------------- compatible API client

struct OpenAICompatibleOptions {
  std::string model;
  std::optional<std::string> base_url;
  std::optional<std::string> api_key;
  std::string api_key_env;
  std::int64_t context_window_tokens = 2048;
  std::optional<Json> extra_headers;  // a map of text to text, in configured order
  std::optional<Json> extra_body;
  bool verify_connection = false;
  bool airgapped = false;
};

class CompatibleApiClients {
 public:
  virtual ~CompatibleApiClients() = default;
  // The URL text the isolation policy is to judge.
  virtual std::optional<std::string> _normalize_base_url(const std::optional<std::string>& base_url) = 0;
  // Constructs an unstarted OpenAICompatibleClient; performs no I/O.
  virtual std::unique_ptr<RuntimeClient> OpenAICompatibleClient(const OpenAICompatibleOptions& options) = 0;
};

// --------------------------------------------------------- installation

// A service the host has not installed was called.
class ServiceNotInstalledError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

struct HostServices {
  std::shared_ptr<IsolationPolicy> isolation_policy;
  std::shared_ptr<ChatProtocol> chat_protocol;
  std::shared_ptr<ShellExecutor> shell_executor;
  std::shared_ptr<MemoryLimitsProbe> memory_limits_probe;
  std::shared_ptr<MemoryNotesStore> memory_notes_store;
  std::shared_ptr<HardwareProbe> hardware_probe;
  std::shared_ptr<CompatibleApiClients> compatible_api_clients;
};

// Installs the host's services (replacing any earlier installation). Call
// once at start-up, before any library call; tests may call it again.
void install_host_services(HostServices services);

// The installed services; each throws ServiceNotInstalledError naming the
// service when it is missing.
IsolationPolicy& isolation_policy();
ChatProtocol& chat_protocol();
ShellExecutor& shell_executor();
MemoryLimitsProbe& memory_limits_probe();
MemoryNotesStore& memory_notes_store();
HardwareProbe& hardware_probe();
CompatibleApiClients& compatible_api_clients();

// A redirect check for an HTTP client (http::Client's `redirect_check`):
// the installed isolation policy judges the URL a redirect points to,
// asked when the redirect happens; without an installed policy (a program
// that uses the client alone) there is nothing to ask.
std::function<void(const std::string& from, const std::string& to)> policy_redirect_check();

}  // namespace dravik::host
