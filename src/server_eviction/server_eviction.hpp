// LlamaEvictionTarget: evicts the local llama-server and brings it back with
// its conversation ("messages.json") and KV cache ("kv_cache.bin").
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "eviction_target/eviction_target.hpp"
#include "sidecar/sidecar.hpp"
#include "support/json.hpp"

namespace dravik::server_eviction {

// The host's conversation: a JSON array of message maps, shared by
// reference. Restoring changes its contents, never its identity.
using Conversation = std::shared_ptr<Json>;

class LlamaEvictionTarget : public eviction_target::EvictionTarget {
 public:
  // `client` must outlive the target. `messages` absent: a new empty list;
  // present but not an array: TypeError.
  explicit LlamaEvictionTarget(sidecar::SidecarClient& client, Conversation messages = nullptr);

  // Points the target at another conversation (TypeError if not an array).
  void set_messages(Conversation messages);
  void set_estimated_model_mb(double mb) { _estimated_model_mb = mb; }
  const Conversation& messages() const { return _messages; }

  // Writes "messages.json" (atomically, owner-only) and asks the server to
  // save its slot into "kv_cache.bin". False only when the conversation
  // could not be written.
  boost::asio::awaitable<bool> save_state(std::filesystem::path state_dir) override;
  boost::asio::awaitable<void> unload() override;
  boost::asio::awaitable<void> reload() override;
  // Restores the conversation and the KV cache; false means the model must
  // be re-prompted with the whole conversation.
  boost::asio::awaitable<bool> restore_state(std::filesystem::path state_dir) override;
  // Free memory from the host's probe; 0.0 when unknown.
  double available_memory_mb() override;
  // The host's estimate, or 2500.0 until it sets a positive one.
  double model_memory_mb() override;

 private:
  sidecar::SidecarClient& _client;
  Conversation _messages;
  double _estimated_model_mb = 0.0;
};

namespace detail {
// Test seam: called with the temporary file's descriptor after the
// conversation was written and before it replaces "messages.json".
std::function<void(int fd)>& before_commit();
}  // namespace detail

}  // namespace dravik::server_eviction
