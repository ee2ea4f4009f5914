// SidecarClient: owns one llama.cpp `llama-server` child process on this
// machine and talks to it over HTTP.
//
// Start-up (`start`) checks the endpoint with the host's isolation policy,
// stops any earlier child, kills stale `llama-server`/`ollama` processes of
// this user, pins the Jetson clocks, prepares memory on CUDA boards, launches
// the server and waits for "/health" to answer 200. Every stage is reported
// to the diagnostics hook as an event named "runtime_llama_*" with a payload
// map. The client does not log.
//
// All operations run on the host's event loop. The caller must not run
// `start`, `_stop_server` or `close` concurrently on one client, nor chat or
// slot requests while `start` runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "host_services/host_services.hpp"
#include "support/json.hpp"

namespace dravik::http {
class Client;
}
namespace dravik::proc {
class Child;
class PipeReader;
}  // namespace dravik::proc

namespace dravik::sidecar {

// Receives (event type, payload map). Called synchronously on the loop; must
// not block. An ordinary error it throws is swallowed (the event is lost).
using DiagnosticsHook = std::function<void(const std::string& event_type, const Json& payload)>;
using Environment = std::map<std::string, std::string>;

namespace detail {
// A largest free block below this many MiB counts as fragmented.
inline constexpr int FRAGMENTED_LFB_MB = 64;
// Defaults of GGML_CUDA_VMM_CHUNK_MB / GGML_CUDA_VMM_RESERVE_MB on a Jetson.
inline constexpr const char* JETSON_VMM_CHUNK_MB = "1";
inline constexpr const char* JETSON_VMM_RESERVE_MB = "4096";
}  // namespace detail

// Slot directory, relative to the working directory at launch time.
inline constexpr const char* SLOT_DIR = ".dravik/state/swap";

// Batch sizes and launch flags chosen from the largest free memory block.
struct StartupProfile {
  std::int64_t batch = 128;
  std::int64_t ubatch = 32;
  bool fit_off = true;
  bool no_warmup = false;
  bool operator==(const StartupProfile&) const = default;
};

// Path of the `llama-server` executable: the PATH hit, else
// ~/llama.cpp/build/bin/llama-server. Throws FileNotFoundError
// "llama-server not found on PATH or ~/llama.cpp/build/bin/".
std::string _find_sidecar();

// The error-stream lines of one launch: a bounded FIFO (120 lines) filled by
// the reader task for the whole life of the child.
struct StderrBuffer {
  static constexpr std::size_t kCapacity = 120;
  std::deque<std::string> lines;
  void append(std::string line);
  std::vector<std::string> tail(std::size_t n) const;
};

class SidecarClient : public host::RuntimeClient {
 public:
  // Performs no I/O and starts nothing. `context_window_tokens` is raised to
  // at least 512 and `gpu_layers` to at least 0; `device` is trimmed and
  // lower-cased ("" becomes "auto"). `ex` is the host's event loop, on which
  // the HTTP client and the child run.
  SidecarClient(boost::asio::any_io_executor ex, std::string model, std::string host = "127.0.0.1",
                std::int64_t port = 8080, std::int64_t context_window_tokens = 2048, std::string device = "auto",
                std::int64_t gpu_layers = 99, bool airgapped = false, DiagnosticsHook diagnostics_hook = {});
  ~SidecarClient() override;
  SidecarClient(const SidecarClient&) = delete;
  SidecarClient& operator=(const SidecarClient&) = delete;

  std::string model;
  std::string host;
  std::int64_t port;
  std::int64_t context_window_tokens;
  std::string device;
  std::int64_t gpu_layers;
  bool airgapped;
  std::string base_url;
  std::unique_ptr<http::Client> _http;
  std::unique_ptr<proc::Child> _proc;
  std::string reasoning_mode = "default";
  // The host-RAM prompt cache the server may keep, in MiB ("--cache-ram";
  // absent: not passed, the server's default of 8192 MiB applies).
  std::optional<std::int64_t> cache_ram_mib;
  DiagnosticsHook _diagnostics_hook;

  // ----------------------------------------------------------- launch
  // "cuda" or "cpu": the requested device, or probed when automatic.
  std::string _resolve_device() const;
  // True on a Jetson ("/etc/nv_tegra_release" or "/dev/nvhost-gpu").
  static bool _is_jetson_platform();
  // Hands (event_type, payload) to the hook; ordinary hook errors are
  // swallowed.
  void _emit_diagnostic(const std::string& event_type, Json payload) const;
  // The child's environment: the host's, edited by the isolation policy,
  // with the library path and CUDA/GGML variables set and LLAMA_API_KEY
  // removed (the client cannot send it).
  Environment _launch_environment(const std::string& binary, const std::string& resolved_device) const;
  // The child's argument vector. Creates the slot directory (owner-only).
  std::vector<std::string> _launch_command(const std::string& binary, std::int64_t ngl, std::int64_t ctx,
                                           std::int64_t batch, std::int64_t ubatch, bool fit_off,
                                           bool no_warmup) const;
  // The same command without creating anything: for showing what a launch
  // would run.
  std::vector<std::string> launch_command_preview(const std::string& binary, std::int64_t ngl, std::int64_t ctx,
                                                  std::int64_t batch, std::int64_t ubatch, bool fit_off,
                                                  bool no_warmup) const;

  // -------------------------------------------------------- lifecycle
  // (Re)starts the server and returns once "/health" answers 200. Throws
  // TimeoutError "llama-server did not become ready" after 120 s, and
  // RuntimeError "llama-server exited with code N: detail" when the child
  // exits first.
  boost::asio::awaitable<void> start();
  boost::asio::awaitable<void> _start_once(const std::string& binary, const Environment& env, std::int64_t ngl,
                                           std::int64_t ctx, std::int64_t batch, std::int64_t ubatch, bool fit_off,
                                           bool no_warmup);
  // Reads the child's error stream into `sink` until end of file, emitting
  // "runtime_llama_stderr_line" for notable lines while start-up runs.
  boost::asio::awaitable<void> _capture_startup_stderr(std::shared_ptr<StderrBuffer> sink);
  // Stops the child if one runs (SIGTERM; a second one after 50 ms unless
  // it is shutting down; SIGKILL once 5 s have passed), reaps it and
  // forgets it.
  boost::asio::awaitable<void> _stop_server();
  // How the last stop of a running child ended: its exit status (-9 when
  // it was killed) and the SIGTERMs it was sent.
  struct StopOutcome {
    int exit_status = 0;
    int sigterms = 0;
  };
  std::optional<StopOutcome> _last_stop;
  // Stops the child and closes the HTTP client. The client is not used again.
  boost::asio::awaitable<void> close();
  // Forgets the running child without stopping it, for a server that other
  // clients go on using after this one is gone: it runs on and is reaped by
  // whoever is its parent then. Its error stream is still drained while
  // this client lives; the server ignores SIGPIPE, so it carries on once
  // no one reads that stream any more.
  void release_server();
  // False for a client of a server that saves its slots into another
  // project's directory: the KV cache requests then do nothing (and return
  // false), so that no other conversation's cache file is replaced.
  bool slot_files = true;

  // The error-stream lines of the current (or last) launch.
  std::shared_ptr<const StderrBuffer> stderr_lines() const { return _stderr; }

  // --------------------------------------------------- stale processes
  static std::vector<pid_t> _find_stale_inference_pids();
  // The llama-server/ollama processes of this user a start would stop.
  static std::vector<pid_t> stale_server_pids() { return _find_stale_inference_pids(); }
  static bool _pid_exists(pid_t pid);
  boost::asio::awaitable<void> _cleanup_stale_inference_processes();

  // ----------------------------------------------- memory preparation
  static Json _read_meminfo_fields();
  static std::optional<double> _largest_free_block_mb_from_text(const std::string& text, std::int64_t page_size_kb);
  static std::optional<double> _largest_free_block_mb();
  static Json _memory_snapshot();
  static StartupProfile _startup_profile_for_lfb(std::optional<double> lfb_mb);
  static void _compact_memory();
  boost::asio::awaitable<std::optional<double>> _prepare_memory_for_launch();

  // ------------------------------------------------------ Jetson clocks
  static void _ensure_jetson_clocks_sudoers();
  static void _maximize_gpu_clocks();

  // ------------------------------------------------ chat and reasoning
  // Stores "default", "on" or "off" (trimmed, any case); anything else is a
  // ValueError "reasoning mode must be one of: default, on, off".
  void set_reasoning_mode(const std::string& mode);
  std::string reasoning_status() const { return reasoning_mode; }
  // A lazy stream of chat chunks: nothing happens until the first `next`,
  // which checks the endpoint and starts the request with the extras of the
  // current reasoning mode. Chunks pass through unchanged and in order.
  std::unique_ptr<host::ChunkStream> chat_stream(Json messages, bool use_tools = true);
  // The same stream with `extra` (a map) merged into the request body over
  // the reasoning mode's extras: a reply cap ("max_tokens"), prompt progress
  // ("return_progress") and the like.
  std::unique_ptr<host::ChunkStream> chat_stream(Json messages, bool use_tools, Json extra);
  // The extra request body of the current reasoning mode (absent: default).
  std::optional<Json> _reasoning_extra_body() const;
  // Tokens the server would read for `messages` (and `tools`, the tool
  // schemas, when given) as its chat template renders them, counted by its
  // own tokenizer ("/apply-template", then "/tokenize"); absent when the
  // server cannot tell or cannot be reached.
  boost::asio::awaitable<std::optional<std::int64_t>> count_prompt_tokens(Json messages, std::optional<Json> tools);

  // ------------------------------------------------------ server state
  // True while the launched child runs (reaps it when it has exited).
  bool server_running();
  // The running child's process id.
  std::optional<pid_t> server_pid() const;
  // The child's exit status once it has ended or ends within `grace`;
  // absent when it runs on or none was launched.
  boost::asio::awaitable<std::optional<int>> server_exit_status(std::chrono::steady_clock::duration grace);

  // What a launch would do on this machine, found without launching,
  // creating or stopping anything: for a diagnostic display.
  struct LaunchPlan {
    bool jetson = false;
    std::string resolved_device;
    Json memory_snapshot;
    std::optional<double> largest_free_block_mb;
    StartupProfile profile;
    // The executable found, or why none was.
    std::optional<std::string> binary;
    std::string binary_error;
    Environment environment;
    std::vector<std::string> command;
  };
  // `binary` overrides the search for the executable.
  LaunchPlan plan_launch(std::optional<std::string> binary = std::nullopt) const;

  // ------------------------------------------------------ KV cache slot
  // True when the server confirmed; false (with a "*_failed" event for
  // transport errors) otherwise. Only the file name of `path` is sent.
  boost::asio::awaitable<bool> save_kv_cache(std::filesystem::path path);
  boost::asio::awaitable<bool> restore_kv_cache(std::filesystem::path path);
  // Restarts the server with an empty cache.
  boost::asio::awaitable<void> reset_kv_cache();

  // State of the task that drains the child's error pipe (internal).
  struct ReaderState;

 private:
  std::vector<std::string> _command_with_slot_dir(const std::string& binary, const std::string& slot_dir,
                                                  std::int64_t ngl, std::int64_t ctx, std::int64_t batch,
                                                  std::int64_t ubatch, bool fit_off, bool no_warmup) const;
  boost::asio::awaitable<bool> _slot_request(const std::string& action, const std::filesystem::path& path,
                                             const char* failure_event);
  boost::asio::awaitable<void> _finish_reader(std::chrono::steady_clock::duration bound);
  boost::asio::any_io_executor ex_;
  std::shared_ptr<StderrBuffer> _stderr;
  std::shared_ptr<ReaderState> _reader;
};

}  // namespace dravik::sidecar
