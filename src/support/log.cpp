#include "support/log.hpp"

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/spdlog.h>

namespace dravik::log {

std::shared_ptr<spdlog::sinks::dist_sink<std::mutex>> dist_sink() {
  static auto sink = std::make_shared<spdlog::sinks::dist_sink<std::mutex>>();
  return sink;
}

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  static std::mutex mu;
  std::lock_guard lock(mu);
  if (auto existing = spdlog::get(name)) return existing;
  auto logger = std::make_shared<spdlog::logger>(name, dist_sink());
  logger->set_level(spdlog::level::trace);
  spdlog::register_logger(logger);
  return logger;
}

}  // namespace dravik::log
