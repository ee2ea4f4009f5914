// Captures what the Dravik loggers write, as "level: message" lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include "support/log.hpp"

namespace dravik::testing {

class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1000)) {
    sink_->set_pattern("%n %l: %v");
    log::dist_sink()->add_sink(sink_);
  }
  ~LogCapture() { log::dist_sink()->remove_sink(sink_); }
  std::vector<std::string> lines() const { return sink_->last_formatted(); }
  bool contains(const std::string& line) const {
    for (auto l : lines()) {
      while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
      if (l == line) return true;
    }
    return false;
  }

 private:
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

}  // namespace dravik::testing
