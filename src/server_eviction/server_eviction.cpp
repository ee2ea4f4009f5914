#include "server_eviction/server_eviction.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <spdlog/spdlog.h>

#include "support/async.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace dravik::server_eviction {

namespace fs = std::filesystem;

namespace detail {
std::function<void(int)>& before_commit() {
  static std::function<void(int)> hook;
  return hook;
}
}  // namespace detail

namespace {

std::shared_ptr<spdlog::logger> logger() {
  static auto l = log::get_logger("server_eviction");
  return l;
}

Conversation checked(Conversation messages) {
  if (!messages) return std::make_shared<Json>(Json::array());
  if (!messages->is_array()) throw TypeError("messages must be a list of message maps");
  return messages;
}

[[noreturn]] void throw_errno(const std::string& what) {
  int e = errno;
  throw OSError(e, what + ": " + std::strerror(e));
}

// Replaces `target` with `content` so that the file on disk is always
// either the old or the new version: write a temporary file in the same
// directory, flush it to disk, rename it over the old one. The conversation
// is private work, so the file is readable by its owner only.
void write_atomically(const fs::path& target, const std::string& content) {
  std::string tmpl = (target.parent_path() / (target.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) throw_errno("cannot create a temporary file next to " + target.string());
  auto fail = [&](const std::string& what) {
    int e = errno;
    ::close(fd);
    ::unlink(tmpl.c_str());
    throw OSError(e, what + ": " + std::strerror(e));
  };
  if (::fchmod(fd, 0600) != 0) fail("cannot set the mode of " + tmpl);
  try {
    files::write_all(fd, content, tmpl);
    if (detail::before_commit()) detail::before_commit()(fd);
  } catch (...) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    throw;
  }
  if (::fsync(fd) != 0) fail("cannot flush " + tmpl);
  if (::close(fd) != 0) {
    int e = errno;
    ::unlink(tmpl.c_str());
    throw OSError(e, "cannot close " + tmpl + ": " + std::strerror(e));
  }
  if (::rename(tmpl.c_str(), target.c_str()) != 0) {
    int e = errno;
    ::unlink(tmpl.c_str());
    throw OSError(e, "cannot replace " + target.string() + ": " + std::strerror(e));
  }
}

// Whether `live` still begins with the `saved` elements. Each live element
// is compared in the form the file gives back (invalid UTF-8 written as
// U+FFFD, NaN and infinities as null), so that what the save changed does
// not count as a change of the conversation.
bool starts_with_elements(const Json& live, const Json& saved) {
  if (!live.is_array() || live.size() < saved.size()) return false;
  for (std::size_t i = 0; i < saved.size(); ++i)
    if (Json::parse(dump_json(live[i])) != saved[i]) return false;
  return true;
}

}  // namespace

LlamaEvictionTarget::LlamaEvictionTarget(sidecar::SidecarClient& client, Conversation messages)
    : _client(client), _messages(checked(std::move(messages))) {}

void LlamaEvictionTarget::set_messages(Conversation messages) {
  if (!messages || !messages->is_array()) throw TypeError("messages must be a list of message maps");
  _messages = std::move(messages);
}

boost::asio::awaitable<bool> LlamaEvictionTarget::save_state(fs::path state_dir) {
  // The conversation and its KV cache are private: the directory is the
  // owner's only, like the file.
  files::create_private_directories(state_dir.string());
  try {
    write_atomically(state_dir / "messages.json", dump_json(*_messages, 2));
  } catch (const OSError& e) {
    logger()->warn("Failed to save messages: {}", e.what());
    co_return false;
  }
  // A cache file left by an earlier cycle must not be restored in place of
  // the one this save fails to write.
  std::error_code ignored;
  fs::remove(state_dir / "kv_cache.bin", ignored);

  auto saved = co_await async::attempt(_client.save_kv_cache(state_dir / "kv_cache.bin"));
  if (saved.error) logger()->warn("KV cache save failed: {}", error_text(saved.error));
  else if (!*saved.value) logger()->info("KV cache save returned False (server may not support slots)");
  co_return true;
}

boost::asio::awaitable<void> LlamaEvictionTarget::unload() { co_await _client._stop_server(); }

boost::asio::awaitable<void> LlamaEvictionTarget::reload() { co_await _client.start(); }

boost::asio::awaitable<bool> LlamaEvictionTarget::restore_state(fs::path state_dir) {
  const fs::path messages_file = state_dir / "messages.json";
  std::error_code ec;
  if (fs::exists(messages_file, ec)) {
    Json saved;
    try {
      std::string text = files::read_file(messages_file.string());
      if (text::sanitize_utf8(text) != text)
        throw ValueError("the saved conversation " + messages_file.string() + " is not valid UTF-8");
      saved = Json::parse(text);
    } catch (const OSError& e) {
      logger()->warn("Failed to restore messages: {}", e.what());
      co_return false;
    } catch (const Json::exception& e) {
      // Not JSON, or JSON this library cannot hold (a number out of range).
      logger()->warn("Failed to restore messages: {}", e.what());
      co_return false;
    }
    // Messages the host appended while the command ran are kept: the list
    // is replaced only when it no longer starts with the saved ones.
    if (saved.is_array() && !starts_with_elements(*_messages, saved)) *_messages = std::move(saved);
  }
  if (!fs::exists(state_dir / "kv_cache.bin", ec)) co_return false;

  auto restored = co_await async::attempt(_client.restore_kv_cache(state_dir / "kv_cache.bin"));
  if (restored.error) {
    logger()->warn("KV cache restore failed: {} — will re-prompt", error_text(restored.error));
    co_return false;
  }
  if (!*restored.value) logger()->info("KV cache restore returned False — will re-prompt");
  co_return *restored.value;
}

double LlamaEvictionTarget::available_memory_mb() {
  auto snapshot = host::memory_limits_probe().read_memory_snapshot();
  if (!snapshot || !snapshot->available_mb) return 0.0;
  return *snapshot->available_mb;
}

double LlamaEvictionTarget::model_memory_mb() { return _estimated_model_mb > 0 ? _estimated_model_mb : 2500.0; }

}  // namespace dravik::server_eviction
