#include "support/async.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace dravik::async {

boost::asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, d);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

}  // namespace dravik::async
