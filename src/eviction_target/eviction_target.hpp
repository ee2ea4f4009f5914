// Interface that any harness implements to participate in model swap.
//
// A cycle runs save_state -> unload -> (command) -> reload -> restore_state;
// the two memory queries let the coordinator decide whether a cycle is
// worth it. Every operation of this base fails with NotImplementedError (the
// asynchronous ones when awaited): a derived class overrides all six.
#pragma once

#include <filesystem>

#include <boost/asio/awaitable.hpp>

namespace dravik::eviction_target {

class EvictionTarget {
 public:
  virtual ~EvictionTarget();

  // Persists the model state into `state_dir` (created when missing).
  // False tells the coordinator not to unload.
  virtual boost::asio::awaitable<bool> save_state(std::filesystem::path state_dir);
  // Frees the model's memory. Failure is an error.
  virtual boost::asio::awaitable<void> unload();
  // Loads the model again. Failure is an error.
  virtual boost::asio::awaitable<void> reload();
  // Restores what save_state stored; false: re-send the whole conversation.
  virtual boost::asio::awaitable<bool> restore_state(std::filesystem::path state_dir);
  // Free RAM now, in MB.
  virtual double available_memory_mb();
  // Approximate RAM of the loaded model, in MB.
  virtual double model_memory_mb();
};

}  // namespace dravik::eviction_target
