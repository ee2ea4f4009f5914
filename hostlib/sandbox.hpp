// The sandbox of shell commands: what the model's commands (and the heavy
// commands run around model eviction) may touch.
//
// The project is writable, its .git and .dravik read-only, the rest of the
// file system read-only; the home directory is hidden except the project and
// a short read-only allow-list; no network; secrets are not in the
// environment. Chosen once per session, the strongest that works here:
//   bubblewrap  (bwrap): also a private /tmp, an empty home, a PID
//               namespace, a network namespace with a loopback of its own;
//   landlock    Landlock + seccomp: the same files rules (new entries at the
//               project's top level cannot be made, since .git sits there),
//               sockets that leave the machine refused; /tmp is shared and,
//               on kernels before Landlock ABI 6, other processes can be
//               signalled;
//   none        nothing available: every command is asked about;
//   off         the user turned it off (--no-sandbox).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/process/process.hpp"

namespace dravik::hostlib {

struct SandboxSettings {
  // Reach the network (and the host's loopback).
  bool network = false;
  // Absolute paths made writable, and readable inside a hidden home.
  std::vector<std::filesystem::path> writable;
  std::vector<std::filesystem::path> readable;
  // Environment variables never passed, besides those whose names look like
  // secrets (*_KEY, *_TOKEN, *_SECRET, *PASSWORD*).
  std::vector<std::string> secret_env;
};

enum class SandboxLevel { bubblewrap, landlock, none, off };

// Files of the home directory commands read, read-only, unless configured
// otherwise (relative to the home directory).
inline const std::vector<std::string> kHomeAllowList = {".gitconfig", ".config/git/config", ".config/git/ignore",
                                                        ".config/git/attributes"};

class Sandbox {
 public:
  // Tries bubblewrap (running `true` inside, once), then Landlock. `force`
  // (a test seam, DRAVIK_TEST_SANDBOX): "bubblewrap", "landlock" or "none"
  // skips what comes before it.
  static std::shared_ptr<Sandbox> probe(std::filesystem::path project, std::filesystem::path home,
                                        SandboxSettings settings, const std::string& force = "");
  // --no-sandbox.
  static std::shared_ptr<Sandbox> turned_off(std::filesystem::path project, std::filesystem::path home,
                                             SandboxSettings settings);

  SandboxLevel level() const { return level_; }
  // True when commands run confined.
  bool confines() const { return level_ == SandboxLevel::bubblewrap || level_ == SandboxLevel::landlock; }
  // "bubblewrap 0.8.0 (project writable; .git, .dravik read-only; home
  // hidden; no network)", and the like for the other levels.
  std::string describe() const;
  // Why the stronger levels are not in force ("bwrap not found on PATH"),
  // and how to get bubblewrap.
  const std::string& why_not_stronger() const { return why_not_; }
  // What the shell tool's description tells the model.
  std::string for_the_model() const;

  // `argv` (/bin/sh -c COMMAND) made to run inside, in `cwd`: the program
  // and environment to run and the confinement its keeper applies. Keep
  // the result until the run has ended (it holds the ruleset open).
  struct Prepared {
    std::vector<std::string> argv;
    proc::Environment env;
    std::optional<proc::Confinement> confinement;
    std::shared_ptr<void> ruleset;
  };
  Prepared prepare(std::vector<std::string> argv, const proc::Environment& env, const std::filesystem::path& cwd) const;
  // `env` without the variables that look like secrets.
  proc::Environment without_secrets(proc::Environment env) const;

  // The user agreed at a terminal to run `command` outside once.
  void allow_outside_once(const std::string& command) { outside_.insert(command); }
  // Uses up that agreement; false when there is none.
  bool take_outside_grant(const std::string& command) { return outside_.erase(command) > 0; }

  // Output of a failed command that reads like the sandbox refused it.
  static bool looks_refused(const std::string& output);

  const std::filesystem::path& project() const { return project_; }
  const std::filesystem::path& home() const { return home_; }

 private:
  Sandbox(std::filesystem::path project, std::filesystem::path home, SandboxSettings settings)
      : project_(std::move(project)), home_(std::move(home)), settings_(std::move(settings)) {}
  std::vector<std::string> bwrap_argv(const std::filesystem::path& cwd) const;
  // The project or the home lies in /tmp or the like, which the Landlock
  // level leaves writable whole.
  bool in_scratch() const;
  // Builds the Landlock ruleset for one command; -1 on failure.
  int landlock_ruleset() const;

  std::filesystem::path project_, home_;
  SandboxSettings settings_;
  SandboxLevel level_ = SandboxLevel::none;
  std::string bwrap_, bwrap_version_, why_not_;
  int landlock_abi_ = 0;
  std::vector<std::uint64_t> seccomp_;
  std::set<std::string> outside_;
};

// The Landlock ABI the kernel offers (0: none).
int landlock_abi();

}  // namespace dravik::hostlib
