// Small coroutine helpers on the host's event loop.
#pragma once

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/awaitable.hpp>

#include "support/errors.hpp"

namespace dravik::async {

// Suspends the calling coroutine for `d` without blocking the loop.
// Cancellation propagates as Asio's operation_aborted.
boost::asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d);

// Throws Asio's operation_aborted when the calling coroutine has been
// cancelled. For waits whose own cancellation error is expected (a timer
// used as a signal), so that a cancellation of the caller is not lost.
boost::asio::awaitable<void> throw_if_cancelled();

// What an operation gave: its value, or the ordinary error it raised.
template <class T>
struct Attempt {
  std::optional<T> value;
  std::exception_ptr error;
};

// Awaits `op`, keeping an ordinary error instead of throwing it; cancellation
// and other non-ordinary exceptions still propagate. For the best-effort
// steps that log or report a failure and carry on.
template <class T>
boost::asio::awaitable<Attempt<T>> attempt(boost::asio::awaitable<T> op) {
  Attempt<T> r;
  try {
    r.value.emplace(co_await std::move(op));
  } catch (...) {
    r.error = std::current_exception();
    if (!is_ordinary_error(r.error)) throw;
  }
  co_return r;
}

// The same for an operation without a result: the ordinary error, or null.
inline boost::asio::awaitable<std::exception_ptr> attempt(boost::asio::awaitable<void> op) {
  try {
    co_await std::move(op);
  } catch (...) {
    auto e = std::current_exception();
    if (!is_ordinary_error(e)) throw;
    co_return e;
  }
  co_return nullptr;
}

}  // namespace dravik::async
