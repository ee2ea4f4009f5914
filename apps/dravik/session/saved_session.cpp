#include "session/saved_session.hpp"

#include "session/state_seal.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

SavedSession::SavedSession(hostlib::ChatRuntime& runtime, Conversation& conversation, fs::path home)
    : runtime_(runtime), conversation_(conversation), home_(std::move(home)) {}

boost::asio::awaitable<SavedSession::Resumed> SavedSession::resume() {
  const auto kept = runtime_.state_dir();
  if (!kept || !fs::exists(*kept / "messages.json")) co_return Resumed{};
  if (const std::string distrusted = check_state_seal(*kept, home_); !distrusted.empty())
    co_return Resumed{"", "not resuming: the saved conversation in " + text::escape_controls(kept->string()) + " " +
                              distrusted + "; starting a new conversation"};
  const bool restored = co_await runtime_.restore_conversation();
  // The system prompt is always this session's own, byte for byte, so that
  // the cached prefix stays valid from turn to turn.
  conversation_.restore_system_prompt();
  co_return Resumed{"Resumed " + std::to_string(conversation_.size() - 1) + " messages" +
                        (restored ? " and the KV cache." : " (the KV cache is rebuilt on the next turn)."),
                    ""};
}

std::optional<SavedSession::Saved> SavedSession::saved(std::string& refused) const {
  refused.clear();
  const auto kept = runtime_.state_dir();
  std::error_code ec;
  if (!kept || !fs::is_regular_file(*kept / "messages.json", ec)) return std::nullopt;
  if (const std::string distrusted = check_state_seal(*kept, home_); !distrusted.empty()) {
    refused = "not resuming: the saved conversation in " + text::escape_controls(kept->string()) + " " + distrusted +
              "; starting a new conversation";
    return std::nullopt;
  }
  const auto text = files::try_read_file((*kept / "messages.json").string());
  if (!text) return std::nullopt;
  Json messages = Json::parse(*text, nullptr, false);
  if (!messages.is_array()) return std::nullopt;
  const auto written = fs::last_write_time(*kept / "messages.json", ec);
  return Saved{std::move(messages), written};
}

std::string SavedSession::owner() const {
  const auto kept = runtime_.state_dir();
  if (!kept) return "";
  const auto text = files::try_read_file((*kept / "session").string());
  return text ? text::prefix(*text, 64) : "";
}

void SavedSession::set_owner(const std::string& session_id) {
  const auto kept = runtime_.state_dir();
  if (!kept) return;
  try {
    files::replace_file((*kept / "session").string(), session_id);
  } catch (const std::exception&) {
    // Without the record the state reads as an earlier version's: it is
    // then taken over as a session of its own, never lost.
  }
}

boost::asio::awaitable<bool> SavedSession::save() {
  if (conversation_.size() <= 1) co_return false;
  // (awaited on a statement of its own: g++ 12 miscompiles a co_await
  // inside a short-circuit condition)
  const bool saved = co_await runtime_.save_conversation();
  if (!saved) co_return false;
  seal_state(*runtime_.state_dir(), home_);
  co_return true;
}

}  // namespace dravik::app
