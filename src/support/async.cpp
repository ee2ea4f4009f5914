#include "support/async.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace dravik::async {

boost::asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, d);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

boost::asio::awaitable<void> throw_if_cancelled() {
  auto state = co_await boost::asio::this_coro::cancellation_state;
  if (state.cancelled() != boost::asio::cancellation_type::none)
    throw boost::system::system_error(boost::asio::error::operation_aborted);
}

}  // namespace dravik::async
