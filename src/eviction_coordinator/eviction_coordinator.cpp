#include "eviction_coordinator/eviction_coordinator.hpp"

#include <chrono>

#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/this_coro.hpp>
#include <spdlog/spdlog.h>

#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace dravik::eviction_coordinator {

namespace asio = boost::asio;

namespace {

std::shared_ptr<spdlog::logger> logger() {
  static auto l = log::get_logger("eviction_coordinator");
  return l;
}

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

EvictionCoordinator::EvictionCoordinator(std::shared_ptr<eviction_target::EvictionTarget> plugin,
                                         std::optional<std::filesystem::path> state_dir, StatusHook status_hook)
    : _plugin(std::move(plugin)),
      _state_dir(state_dir && !state_dir->empty() ? *state_dir : std::filesystem::path(".dravik/state/swap")),
      _status_hook(std::move(status_hook)) {
  if (!_plugin) throw TypeError("EvictionCoordinator needs an eviction target");
}

bool EvictionCoordinator::should_unload(double estimated_need_mb) {
  const double available = _plugin->available_memory_mb();
  const double wanted = estimated_need_mb + detail::MIN_HEADROOM_MB;
  if (available >= wanted) return false;
  return available + _plugin->model_memory_mb() >= wanted;
}

void EvictionCoordinator::_emit(const std::string& text) {
  if (!_status_hook) return;
  try {
    _status_hook(text);
  } catch (...) {
    if (!is_ordinary_error(std::current_exception())) throw;
  }
}

asio::awaitable<EvictionCoordinator::Restored> EvictionCoordinator::reload_and_restore() {
  _emit("Reloading model...");
  bool reload_ok = true;
  bool restore_ok = false;
  if (auto failure = co_await async::attempt(_plugin->reload())) {
    logger()->error("Model reload failed: {}", error_text(failure));
    reload_ok = false;
  } else {
    _emit("Restoring model state...");
    auto restored = co_await async::attempt(_plugin->restore_state(_state_dir));
    if (restored.error) logger()->warn("State restore failed: {}", error_text(restored.error));
    restore_ok = restored.value.value_or(false);
  }
  if (!restore_ok) _emit("KV cache restore failed — conversation will be re-prompted");
  co_return Restored{reload_ok, restore_ok};
}

asio::awaitable<SwapResult> EvictionCoordinator::run_with_swap(std::string command, std::int64_t timeout) {
  const double t0 = now_s();
  _emit("Saving model state...");
  const bool save_ok = co_await _plugin->save_state(_state_dir);
  if (!save_ok) {
    logger()->warn("State save failed — running without swap");
    SwapResult r;
    r.exec_result = co_await host::shell_executor().run_shell(command, timeout);
    co_return r;
  }
  _emit("Unloading model to free memory...");
  co_await _plugin->unload();
  // The command is model-written: control characters are shown escaped so
  // that they cannot disguise what runs. The command itself runs unchanged.
  _emit("Running: " + text::escape_controls(text::prefix(text::sanitize_utf8(command), 80)) + "...");

  std::optional<host::ExecResult> exec;
  std::exception_ptr command_error;
  try {
    exec = co_await host::shell_executor().run_shell(command, timeout);
  } catch (...) {
    command_error = std::current_exception();
  }

  // From here on the model comes back whatever happened to the command,
  // shielded from a cancellation that is under way.
  co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
  const Restored restored = co_await reload_and_restore();
  const double duration = now_s() - t0;
  _emit("");
  co_await asio::this_coro::reset_cancellation_state(asio::enable_terminal_cancellation());
  if (command_error) std::rethrow_exception(command_error);

  SwapResult r;
  r.exec_result = std::move(*exec);
  r.unloaded = true;
  r.reload_ok = restored.reload_ok;
  r.restore_ok = restored.restore_ok;
  r.swap_duration_s = config::round2(duration);
  co_return r;
}

}  // namespace dravik::eviction_coordinator
