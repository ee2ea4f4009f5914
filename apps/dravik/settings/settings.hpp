// Everything `dravik chat` decides before it runs, resolved once, here, from
// the command line, the configuration file and the machine, and handed
// down as one value. Nothing below reads the configuration file again or
// writes into it; nothing below derives again what is decided here.
#pragma once

#include <cstdint>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "approval/approvals.hpp"
#include "mcp.hpp"
#include "sandbox.hpp"
#include "support/json.hpp"

namespace dravik::app {

struct ChatOptions;

// The local llama-server's launch settings.
struct LocalServerSettings {
  std::string model;              // the GGUF file
  bool model_configured = false;  // named by --model or the configuration (else the catalog's choice)
  std::int64_t port = 8080;       // "llama_port"
  std::string device = "auto";    // "device"
  std::int64_t gpu_layers = 99;   // "gpu_layers"
};

struct ChatSettings {
  std::filesystem::path home;     // ~/.dravik: configuration, history, seals, the user's AGENTS.md
  std::filesystem::path workdir;  // the project: where the session runs
  std::string config_file;        // where the configuration was read from (for messages)
  // The configuration as read, with the command line's --runtime, --model
  // and --airgapped applied: only the remote runtimes' own keys are taken
  // from it below (remote_runtime_config).
  Json config = Json::object();

  std::string runtime;  // the canonical runtime key
  bool local() const { return runtime == "llama_cpp"; }
  LocalServerSettings server;  // the local runtime's

  std::int64_t context_tokens = 2048;     // the model's context window
  std::string context_why;                // how it was chosen, for the banner and /status
  std::optional<std::int64_t> reply_cap;  // "max_reply_tokens"
  // The local server's host-RAM prompt cache in MiB ("cache_ram_mib", else
  // chosen from the memory the board has left), and how it was chosen.
  std::optional<std::int64_t> cache_ram_mib;
  std::string cache_ram_why;
  bool airgapped = false;
  bool auto_compact = false;
  // How long a reply may send nothing before the user is told (tests
  // shorten it through DRAVIK_TEST_STALL_NOTICE_MS), and how long the KV
  // cache's save may take at exit before it is skipped.
  std::chrono::milliseconds stall_notice{10000};
  std::chrono::milliseconds exit_save_limit{2000};
  Approvals approvals;  // "allow" and "deny"
  // "sandbox" of the configuration, and --no-sandbox; `shell_sandbox` is
  // the one in force, probed once at the start.
  hostlib::SandboxSettings sandbox;
  bool no_sandbox = false;
  std::shared_ptr<hostlib::Sandbox> shell_sandbox;
  // "mcp_servers": the configuration's, then those of the project's own
  // configuration (<project>/.dravik/config.json, from_project: started
  // only once the user agrees); a project entry that names a server the
  // user's configuration has is left out. A project configuration that
  // cannot be used is said at the start (`mcp_project_problem`).
  std::vector<hostlib::McpServerConfig> mcp_servers;
  std::string mcp_project_problem;

  // How this run talks to its user.
  bool yes = false;          // --yes: every change runs unless denied
  bool json = false;         // --json: the turn's events as JSON lines
  bool interactive = false;  // a person at a terminal (the line editor)
  bool color = false;        // a terminal that takes colours (not NO_COLOR)
  std::optional<std::string> resume;  // --resume [ID]: "" the latest session
  std::optional<std::string> fork;    // --fork ID
  std::optional<std::string> prompt;     // the one-shot prompt, when given
  std::optional<std::string> model_url;  // a mirror for a first-run download
};

// Reads the configuration (`--config` or ~/.dravik/config.json) and
// resolves every setting but the local context window (resolve_context,
// once the model file is there). Throws ValueError naming the bad entry
// (an unknown runtime, a bad "allow"/"deny" entry, a value that is not a
// number), FileNotFoundError for a --config that does not exist,
// RuntimeError when the home directory cannot be told.
ChatSettings resolve_chat_settings(const ChatOptions& options, bool one_shot);

// The context window: "context_window_tokens" of the configuration, else,
// for the local server, chosen from the model file and the memory left
// after it; with context_why saying which. Throws ValueError for a value
// that is not a number.
void resolve_context(ChatSettings& settings);

// "sandbox" of `config`: {"network": bool, "writable": [paths],
// "readable": [paths]}, with "~" the user's home; the configuration's key
// variables ("*_api_key_env") are never passed to commands. ValueError for
// a malformed entry.
hostlib::SandboxSettings sandbox_of(const Json& config);
// The sandbox `dravik chat` and `dravik doctor` use here, probed.
std::shared_ptr<hostlib::Sandbox> probe_sandbox(const std::filesystem::path& workdir,
                                                const hostlib::SandboxSettings& settings, bool turned_off);

// The configuration the runtime factory reads for a remote runtime: the
// one read, with the runtime, context window and air-gap flag as resolved.
Json remote_runtime_config(const ChatSettings& settings);

// The configuration file at `file` (an empty object when there is none and
// `required` is false). Throws ValueError when it is not a JSON object,
// FileNotFoundError when it is required and missing.
Json read_config_file(const std::filesystem::path& file, bool required);

// The context window for `model` as `dravik chat` would choose it, with the
// configuration's "context_window_tokens" (if any) winning: the tokens and
// why. A configured value that is not a number is a ValueError.
// The host-RAM prompt cache for the local server ("cache_ram_mib", else
// chosen for the board) and why.
std::pair<std::int64_t, std::string> cache_ram_for(const std::string& model, std::int64_t context_tokens,
                                                   const Json& config);
std::pair<std::int64_t, std::string> context_for(const std::string& model, const Json& config);

}  // namespace dravik::app
