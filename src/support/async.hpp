// Small coroutine helpers on the host's event loop.
#pragma once

#include <chrono>

#include <boost/asio/awaitable.hpp>

namespace dravik::async {

// Suspends the calling coroutine for `d` without blocking the loop.
// Cancellation propagates as Asio's operation_aborted.
boost::asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d);

}  // namespace dravik::async
