#include "turn/stall_watch.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace dravik::app {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

struct StallWatch::State {
  explicit State(asio::any_io_executor ex) : timer(std::move(ex)) {}
  asio::steady_timer timer;
  Output* out = nullptr;
  std::chrono::milliseconds after{0};
  Clock::time_point last = Clock::now();
  bool said = false;
  bool stopped = false;
};

namespace {

asio::awaitable<void> watch(std::shared_ptr<StallWatch::State> s) {
  while (!s->stopped) {
    // After a notice: asleep until something arrives (fed() wakes it).
    if (s->said) s->timer.expires_at(Clock::time_point::max());
    else s->timer.expires_at(s->last + s->after);
    boost::system::error_code ec;
    co_await s->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (s->stopped) co_return;
    if (!s->said && Clock::now() - s->last >= s->after) {
      s->said = true;
      const auto secs = std::chrono::duration_cast<std::chrono::seconds>(s->after).count();
      s->out->note("(the server has sent nothing for " + std::to_string(secs > 0 ? secs : 1) +
                   " s; Ctrl-C cancels the reply)");
    }
  }
}

}  // namespace

StallWatch::StallWatch(asio::any_io_executor ex, Output& out, std::chrono::milliseconds after)
    : s_(std::make_shared<State>(ex)) {
  s_->out = &out;
  s_->after = after;
  asio::co_spawn(std::move(ex), watch(s_), asio::detached);
}

StallWatch::~StallWatch() {
  s_->stopped = true;
  s_->timer.cancel();
}

void StallWatch::fed() {
  s_->last = Clock::now();
  if (s_->said) {
    s_->said = false;
    s_->timer.cancel();
  }
}

}  // namespace dravik::app
