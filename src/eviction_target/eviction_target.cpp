#include "eviction_target/eviction_target.hpp"

#include "support/errors.hpp"

namespace dravik::eviction_target {

EvictionTarget::~EvictionTarget() = default;

// Coroutines, so that the failure arrives when the operation is awaited,
// not when it is created.
boost::asio::awaitable<bool> EvictionTarget::save_state(std::filesystem::path) {
  throw NotImplementedError();
  co_return false;
}
boost::asio::awaitable<void> EvictionTarget::unload() {
  throw NotImplementedError();
  co_return;
}
boost::asio::awaitable<void> EvictionTarget::reload() {
  throw NotImplementedError();
  co_return;
}
boost::asio::awaitable<bool> EvictionTarget::restore_state(std::filesystem::path) {
  throw NotImplementedError();
  co_return false;
}
double EvictionTarget::available_memory_mb() { throw NotImplementedError(); }
double EvictionTarget::model_memory_mb() { throw NotImplementedError(); }

}  // namespace dravik::eviction_target
