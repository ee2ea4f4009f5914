// What `dravik chat --resume` continues: the conversation and its KV cache,
// saved by the local runtime in the project (".dravik/state/swap") and
// sealed in the user's home, so that a state shipped in a cloned
// repository is never loaded into the model.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "runtimes.hpp"
#include "session/conversation.hpp"

namespace dravik::app {

class SavedSession {
 public:
  // `home`: where the seals are kept. The runtime must follow
  // `conversation` (attach_conversation) before either call.
  SavedSession(hostlib::ChatRuntime& runtime, Conversation& conversation, std::filesystem::path home);

  // Loads the saved conversation and, when the server takes it, its KV
  // cache. A state this user's dravik did not save is not loaded.
  struct Resumed {
    std::string note;     // what was resumed ("" when nothing was)
    std::string refused;  // why a saved state was not loaded ("" when it was, or there was none)
  };
  boost::asio::awaitable<Resumed> resume();
  // The conversation the runtime saved here (system prompt first) and when,
  // if this user's dravik saved it; `refused` says why one is not trusted.
  struct Saved {
    Json messages;
    std::filesystem::file_time_type written;
  };
  std::optional<Saved> saved(std::string& refused) const;
  // Saves the conversation (and the KV cache) and seals them; false when
  // there is nothing to save to (a remote runtime, a stopped server). A
  // failure throws, saying why.
  boost::asio::awaitable<bool> save();
  // The session whose conversation and KV cache the saved state is ("":
  // an earlier version's, or none), and recording it after a save.
  std::string owner() const;
  void set_owner(const std::string& session_id);

 private:
  hostlib::ChatRuntime& runtime_;
  Conversation& conversation_;
  std::filesystem::path home_;
};

}  // namespace dravik::app
