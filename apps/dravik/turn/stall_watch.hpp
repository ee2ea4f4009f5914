// Tells the user when a reply has sent nothing for a while (a stopped or
// stuck server), once per silence, and that Ctrl-C cancels; the reply goes
// on and the transport's own time-outs stay as they are. Runs beside the
// stream on the same loop; stops with its owner.
#pragma once

#include <chrono>
#include <memory>

#include <boost/asio/any_io_executor.hpp>

#include "output/output.hpp"

namespace dravik::app {

class StallWatch {
 public:
  StallWatch(boost::asio::any_io_executor ex, Output& out, std::chrono::milliseconds after);
  ~StallWatch();
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;

  // Something arrived.
  void fed();

  struct State;

 private:
  std::shared_ptr<State> s_;
};

}  // namespace dravik::app
