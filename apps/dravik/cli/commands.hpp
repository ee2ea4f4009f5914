// The dravik commands, each given its parsed options; each returns the
// process exit status (0 success, 1 failure; 2 is for usage errors, found
// while parsing).
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#include <utility>

#include "support/run.hpp"

namespace CLI {
class App;
}

namespace dravik::app {

struct DoctorOptions {
  std::optional<std::string> model;
  std::string device = "auto";
  std::int64_t port = 8080;
  bool start = false;
  bool airgapped = false;
  bool yes = false;
};

struct SetupOptions {
  bool airgapped = false;
  bool json = false;
  std::optional<std::string> model_url;
  std::optional<std::string> model_path;
};

struct ChatOptions {
  std::optional<std::string> config_file;
  std::optional<std::string> model;
  std::optional<std::string> runtime;
  std::optional<std::string> prompt;
  std::optional<std::string> model_url;  // where a first-run set-up downloads the model from
  bool airgapped = false;
  bool yes = false;
  bool json = false;
  bool no_sandbox = false;            // shell commands with all the user's rights
  std::optional<std::string> resume;  // "": the latest session
  std::optional<std::string> fork;
};

// Registers a command and its options on the command line.
CLI::App* add_doctor_command(CLI::App& app, DoctorOptions& options);
CLI::App* add_setup_command(CLI::App& app, SetupOptions& options);
CLI::App* add_chat_command(CLI::App& app, ChatOptions& options);

// `dravik sessions`: this project's sessions.
CLI::App* add_sessions_command(CLI::App& app);
int sessions();

int doctor(const DoctorOptions& o);
int chat(const ChatOptions& o);
int setup(const SetupOptions& o);

// Runs one operation on the loop until it ends (support/run.hpp).
using async::run_until_done;

// ~/.dravik, where dravik keeps its configuration, models and history. The
// home directory comes from HOME or else the password database; when
// neither tells, this throws RuntimeError saying so (never the working
// directory: a repository could then configure its own approvals).
std::filesystem::path product_home();

// "" when `name` names a runtime (a key of the catalog or an alias, in any
// case, blanks around it allowed); otherwise the error, naming the valid
// ones. The libraries take an unknown name for the local runtime: dravik
// refuses it instead, since a typo would silently run something else.
std::string unknown_runtime(const std::string& name);

// An error message for the terminal: control characters escaped, and a
// long one (a build tool's whole output) cut to its last lines.
std::string shown_error(const std::string& what);

// Why the local server did not start, for the terminal: how it ended (its
// signal or exit code) first when it is known, then the last of its log
// lines that say something (not the warnings every launch prints).
std::string start_failure(const std::string& what, std::optional<int> exit_status, const std::vector<std::string>& log);

}  // namespace dravik::app
