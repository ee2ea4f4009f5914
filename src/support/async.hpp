// Small coroutine helpers on the host's event loop.
#pragma once

#include <chrono>

#include <boost/asio/awaitable.hpp>

namespace dravik::async {

// Suspends the calling coroutine for `d` without blocking the loop.
// Cancellation propagates as Asio's operation_aborted.
boost::asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d);

// Throws Asio's operation_aborted when the calling coroutine has been
// cancelled. For waits whose own cancellation error is expected (a timer
// used as a signal), so that a cancellation of the caller is not lost.
boost::asio::awaitable<void> throw_if_cancelled();

}  // namespace dravik::async
