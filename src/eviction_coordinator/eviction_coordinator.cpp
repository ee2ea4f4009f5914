#include "eviction_coordinator/eviction_coordinator.hpp"

#include <chrono>

#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
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
  // The cycle runs as a coroutine of its own, with its own cancellation
  // state: shielding the reload must not change the caller's. Cancelling
  // the caller still reaches it.
  co_return co_await asio::co_spawn(co_await asio::this_coro::executor, _swap_cycle(std::move(command), timeout),
                                    asio::use_awaitable);
}

asio::awaitable<SwapResult> EvictionCoordinator::_swap_cycle(std::string command, std::int64_t timeout) {
  // Whatever kind of cancellation the caller let through applies here.
  const auto pass_all = [](asio::cancellation_type t) { return t; };
  co_await asio::this_coro::reset_cancellation_state(pass_all, pass_all);
  const double t0 = now_s();
  _emit("Saving model state...");
  const bool save_ok = co_await _plugin->save_state(_state_dir);
  if (!save_ok) {
    logger()->warn("State save failed — running without swap");
    SwapResult r;
    r.exec_result = co_await host::shell_executor().run_shell(command, timeout);
    co_return r;
  }

  // From the start of the unload on, every way out goes through the reload.
  std::optional<host::ExecResult> exec;
  std::exception_ptr error;
  try {
    _emit("Unloading model to free memory...");
    co_await _plugin->unload();
    // The command is model-written: control characters are shown escaped so
    // that they cannot disguise what runs. The command itself runs unchanged.
    _emit("Running: " + text::escape_controls(text::prefix(text::sanitize_utf8(command), 80)) + "...");
    exec = co_await host::shell_executor().run_shell(command, timeout);
  } catch (...) {
    error = std::current_exception();
  }

  // The model comes back whatever happened, shielded from cancellation: a
  // cancellation that arrives now is recorded (the input filter keeps it in
  // the state) but reaches no operation (the output filter drops it), and
  // takes effect once the model is back.
  co_await asio::this_coro::reset_cancellation_state(
      pass_all, [](asio::cancellation_type) { return asio::cancellation_type::none; });
  co_await asio::this_coro::throw_if_cancelled(false);
  const Restored restored = co_await reload_and_restore();
  const double duration = now_s() - t0;
  _emit("");
  if (error) std::rethrow_exception(error);
  const auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none)
    throw boost::system::system_error(asio::error::operation_aborted);

  SwapResult r;
  r.exec_result = std::move(*exec);
  r.unloaded = true;
  r.reload_ok = restored.reload_ok;
  r.restore_ok = restored.restore_ok;
  r.swap_duration_s = config::round2(duration);
  co_return r;
}

}  // namespace dravik::eviction_coordinator
