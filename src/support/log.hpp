// Named loggers shared by all Dravik libraries. Every logger writes to one
// process-wide distributing sink; the host adds its own sinks to it.
#pragma once

#include <memory>
#include <string>

namespace spdlog {
class logger;
namespace sinks {
template <typename Mutex> class dist_sink;
}
}  // namespace spdlog

#include <mutex>

namespace dravik::log {

// The logger called `name`, created and registered on first use.
std::shared_ptr<spdlog::logger> get_logger(const std::string& name);

// The sink every Dravik logger writes to. Empty until the host adds sinks.
std::shared_ptr<spdlog::sinks::dist_sink<std::mutex>> dist_sink();

}  // namespace dravik::log
