#include "session/journal.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>

#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int err, const std::string& what, const fs::path& file) {
  throw OSError(err, "cannot " + what + " " + file.string() + ": " + std::strerror(err));
}

// Applies one record to what has been read so far; false when it is no
// record of ours (the reading then stops: what follows is not trusted).
bool apply(Journal::Contents& c, const Json& r) {
  if (!r.is_object() || !r.contains("type") || !r["type"].is_string()) return false;
  const std::string type = r["type"].get<std::string>();
  if (type == "session") {
    c.header = Journal::Header{r.value("id", ""), r.value("started", ""), r.value("runtime", ""), r.value("model", "")};
    return true;
  }
  if (type == "message" || type == "interrupted") {
    if (!r.contains("message") || !r["message"].is_object()) return false;
    const Json& m = r["message"];
    c.messages.push_back(m);
    c.last_interrupted = type == "interrupted";
    if (m.value("role", "") == "user") {
      ++c.turns;
      if (c.first_user_line.empty() && m.contains("content") && m["content"].is_string()) {
        const std::string& text = m["content"].get_ref<const std::string&>();
        c.first_user_line = text.substr(0, text.find('\n'));
      }
    }
    return true;
  }
  if (type == "replace") {
    if (!r.contains("messages") || !r["messages"].is_array()) return false;
    c.messages = r["messages"];
    c.turns = 0;
    for (const Json& m : c.messages) c.turns += m.is_object() && m.value("role", "") == "user";
    c.last_interrupted = false;
    return true;
  }
  return true;  // a record a later version writes: kept, and skipped here
}

}  // namespace

Journal::Contents Journal::read(const fs::path& file) {
  Contents c;
  const auto bytes = files::try_read_file(file.string());
  if (!bytes) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return c;
    fail(EIO, "read", file);
  }
  const std::string& s = *bytes;
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t nl = s.find('\n', at);
    if (nl == std::string::npos) break;  // a torn last line
    std::string_view line(s.data() + at, nl - at);
    // NUL bytes where a crash left a block unwritten are no record: skipped.
    line.remove_prefix(std::min(line.find_first_not_of('\0'), line.size()));
    if (!line.empty()) {
      const Json r = Json::parse(line, nullptr, false);
      if (r.is_discarded() || !apply(c, r)) break;
    }
    at = nl + 1;
    if (!line.empty()) c.good_bytes = at;
  }
  c.damaged = c.good_bytes < s.size();
  return c;
}

Journal Journal::open(const fs::path& file, const Header& header) {
  const Contents c = read(file);
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) fail(errno, "open", file);
  // One writer a session: a second dravik on the same session would
  // interleave two conversations.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    if (e == EWOULDBLOCK) throw OSError(e, "the session is open in another dravik chat");
    fail(e, "lock", file);
  }
  Journal j(file, fd);
  // What a crash left after the last good record goes before anything is
  // appended: the next record then starts on a line of its own.
  if (c.damaged && ::ftruncate(fd, static_cast<off_t>(c.good_bytes)) != 0) fail(errno, "repair", file);
  if (!c.header && c.good_bytes == 0)
    j.append(Json{{"type", "session"},
                  {"version", 1},
                  {"id", header.id},
                  {"started", header.started},
                  {"runtime", header.runtime},
                  {"model", header.model}});
  return j;
}

Journal::Journal(Journal&& other) noexcept : file_(std::move(other.file_)), fd_(other.fd_) { other.fd_ = -1; }

Journal& Journal::operator=(Journal&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    file_ = std::move(other.file_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Journal::~Journal() {
  if (fd_ >= 0) ::close(fd_);
}

void Journal::append(const Json& record) { append_all({record}); }

void Journal::append_all(const std::vector<Json>& records) {
  // Model text may hold invalid UTF-8: replaced, never a failed save.
  std::string lines;
  for (const Json& r : records) lines += r.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  if (lines.empty()) return;
  struct stat st {};
  const bool sized = ::fstat(fd_, &st) == 0;
  try {
    files::write_all(fd_, lines, file_.string());
    if (::fdatasync(fd_) != 0) fail(errno, "save", file_);
  } catch (const OSError&) {
    // Half a record would end the journal for the next reader: it is cut
    // off again, so that the records before it stay readable (else the
    // next open cuts the torn end).
    if (sized && ::ftruncate(fd_, st.st_size) != 0) {
    }
    throw;
  }
}

void Journal::replace(const Json& messages_after_system) {
  append(Json{{"type", "replace"}, {"messages", messages_after_system}});
}

std::string iso8601(std::time_t t) {
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string now_iso8601() { return iso8601(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now())); }

std::string new_session_id() {
  const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S-", &tm);
  static const char kLetters[] = "abcdefghijkmnpqrstuvwxyz23456789";
  std::random_device rd;
  std::string id = buf;
  for (int i = 0; i < 4; ++i) id += kLetters[rd() % (sizeof kLetters - 1)];
  return id;
}

}  // namespace dravik::app
