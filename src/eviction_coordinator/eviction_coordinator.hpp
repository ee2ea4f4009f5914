// EvictionCoordinator: runs a heavy shell command with the model taken out
// of memory (save state, unload, run, reload, restore state), reporting
// progress lines through a status hook.
#pragma once

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "eviction_target/eviction_target.hpp"
#include "host_services/host_services.hpp"

namespace dravik::eviction_coordinator {

namespace detail {
// Free memory that must remain beyond a command's estimated need, in MB.
inline constexpr double MIN_HEADROOM_MB = 200.0;
}  // namespace detail

// Result of a swap-guarded command execution.
struct SwapResult {
  host::ExecResult exec_result;
  bool unloaded = false;
  bool reload_ok = true;
  bool restore_ok = true;
  double swap_duration_s = 0.0;
  bool operator==(const SwapResult&) const = default;
};

// Receives one status line; "" clears the status. Errors it throws are
// ignored.
using StatusHook = std::function<void(const std::string&)>;

class EvictionCoordinator {
 public:
  // `state_dir` absent or empty: ".dravik/state/swap" under the working
  // directory. The directory is created by the target when it saves.
  explicit EvictionCoordinator(std::shared_ptr<eviction_target::EvictionTarget> plugin,
                               std::optional<std::filesystem::path> state_dir = std::nullopt,
                               StatusHook status_hook = {});

  eviction_target::EvictionTarget& plugin() const { return *_plugin; }
  const std::filesystem::path& state_dir() const { return _state_dir; }

  // True when the command needs the model's memory and unloading would
  // free enough (200 MB headroom beyond the need).
  bool should_unload(double estimated_need_mb);

  // Runs `command` through the host's shell executor inside the eviction
  // cycle. Errors of the save, the unload and the command propagate; a
  // failed reload or restore is recorded in the result. Once unloading has
  // begun, the model is always reloaded and restored before this returns or
  // throws, even when the unload or the command fails or the caller
  // cancels; a cancellation that arrives meanwhile propagates afterwards.
  // The caller's own cancellation state is left as it was.
  boost::asio::awaitable<SwapResult> run_with_swap(std::string command, std::int64_t timeout = 120);
  template <std::same_as<bool> B>
  boost::asio::awaitable<SwapResult> run_with_swap(std::string command, B timeout) = delete;

  void _emit(const std::string& text);

 private:
  struct Restored {
    bool reload_ok;
    bool restore_ok;
  };
  boost::asio::awaitable<Restored> reload_and_restore();
  boost::asio::awaitable<SwapResult> _swap_cycle(std::string command, std::int64_t timeout);

  std::shared_ptr<eviction_target::EvictionTarget> _plugin;
  std::filesystem::path _state_dir;
  StatusHook _status_hook;
};

}  // namespace dravik::eviction_coordinator
