#include "session/undo_store.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <ctime>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "session/product_dir.hpp"
#include "session/state_seal.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"

namespace dravik::app::undo_store {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLog = "log";
constexpr std::size_t kMaxHeader = 64u << 10;

Failure os_failure(const std::string& what, int err = errno) {
  return {ErrorKind::io, what + ": " + std::strerror(err)};
}

std::string mac_of(const std::string& key, std::string_view text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), md, &n);
  return hex_of(md, n);
}

// Compares without stopping at the first difference.
bool same_mac(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

Result<void> write_all(int fd, std::string_view data) {
  try {
    files::write_all(fd, data, "the undo log");
  } catch (const OSError& e) {
    return Failure{ErrorKind::io, e.what()};
  }
  return {};
}

std::uint64_t identity_of(const struct stat& st) {
  return (static_cast<std::uint64_t>(st.st_dev) << 40) ^ static_cast<std::uint64_t>(st.st_ino);
}

}  // namespace

std::string random_id() {
  unsigned char r[12];
  if (::getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
    const auto t = static_cast<std::uint64_t>(std::time(nullptr)) ^ static_cast<std::uint64_t>(::getpid());
    return std::to_string(t);
  }
  return hex_of(r, sizeof r);
}

Result<std::string> user_key(const fs::path& home) {
  try {
    files::create_private_directories(home.string());
  } catch (const std::exception& e) {
    return Failure{ErrorKind::io, e.what()};
  }
  const fs::path file = home / "undo.key";
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      char buf[128];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      ::close(fd);
      if (n >= 32) return std::string(buf, static_cast<std::size_t>(n));
      return Failure{ErrorKind::invalid, "the undo key " + file.string() + " is damaged"};
    }
    if (errno != ENOENT) return os_failure("cannot read " + file.string());
    unsigned char key[32];
    if (::getrandom(key, sizeof key, 0) != static_cast<ssize_t>(sizeof key)) return os_failure("no random bytes");
    const std::string text = hex_of(key, sizeof key);
    // Written whole under another name, then linked into place: a kill
    // part-way never leaves an empty key, and of two sessions making one
    // at once the first link wins and both read it.
    const fs::path tmp = home / ("undo.key.new-" + random_id());
    const int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return os_failure("cannot create " + file.string());
    auto w = write_all(out, text);
    if (w && ::fsync(out) != 0) w = os_failure("cannot save " + file.string());
    ::close(out);
    if (w && ::link(tmp.c_str(), file.c_str()) != 0 && errno != EEXIST) w = os_failure("cannot create " + file.string());
    ::unlink(tmp.c_str());
    if (!w) return w.error();
  }
  return Failure{ErrorKind::io, "cannot read " + file.string()};
}

Log::Log(int dir, int fd, std::string key) : dir_(dir), fd_(fd), key_(std::move(key)) {
  struct stat st{};
  if (::fstat(fd_, &st) == 0) {
    identity_ = identity_of(st);
    size_ = static_cast<std::uint64_t>(st.st_size);
  }
}

Log::Log(Log&& o) noexcept
    : dir_(o.dir_), fd_(o.fd_), key_(std::move(o.key_)), identity_(o.identity_), size_(o.size_) {
  o.dir_ = o.fd_ = -1;
}

Log& Log::operator=(Log&& o) noexcept {
  if (this != &o) {
    this->~Log();
    new (this) Log(std::move(o));
  }
  return *this;
}

Log::~Log() {
  if (fd_ >= 0) ::close(fd_);  // the lock goes with it
  if (dir_ >= 0) ::close(dir_);
}

Result<Log> Log::open(const fs::path& workdir, std::string key) {
  int dir = -1;
  try {
    const int product = open_product_dir(workdir);
    try {
      dir = files::open_private_dir_at(product, "undo", ".dravik/undo");
    } catch (...) {
      ::close(product);
      throw;
    }
    ::close(product);
  } catch (const OSError& e) {
    return Failure{ErrorKind::io, e.what()};
  }
  ::fchmod(dir, 0700);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = ::openat(dir, kLog, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      const Failure f = os_failure("cannot open .dravik/undo/log");
      ::close(dir);
      return f;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
      ::close(fd);
      ::close(dir);
      return Failure{ErrorKind::refused, ".dravik/undo/log is not a file of yours"};
    }
    if (st.st_nlink > 1) {
      // Another name of the same file (one outside the project, say) is
      // never written through: this name is dropped, a new log started.
      ::close(fd);
      ::unlinkat(dir, kLog, 0);
      continue;
    }
    if (::flock(fd, LOCK_EX) != 0) {
      const Failure f = os_failure("cannot lock .dravik/undo/log");
      ::close(fd);
      ::close(dir);
      return f;
    }
    // Replaced while we waited for the lock (compacted by another
    // session): the new file is the log.
    struct stat now{};
    if (::fstatat(dir, kLog, &now, AT_SYMLINK_NOFOLLOW) != 0 || identity_of(now) != identity_of(st)) {
      ::close(fd);
      continue;
    }
    return Log(dir, fd, std::move(key));
  }
  ::close(dir);
  return Failure{ErrorKind::io, "cannot open .dravik/undo/log: it keeps changing"};
}

std::uint64_t Log::read_from(std::uint64_t offset,
                             const std::function<void(const Json&, std::uint64_t, std::uint64_t)>& each,
                             bool& untrusted, bool cut) {
  untrusted = false;
  std::string buf;
  while (offset < size_) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kMaxHeader, size_ - offset));
    buf.resize(want);
    const ssize_t n = ::pread(fd_, buf.data(), want, static_cast<off_t>(offset));
    if (n <= 0) break;
    buf.resize(static_cast<std::size_t>(n));
    const std::size_t nl = buf.find('\n');
    if (nl == std::string::npos) {
      // No record is written this long (see append): what follows is not
      // one of ours, or it is torn.
      break;
    }
    const Json frame = Json::parse(std::string_view(buf).substr(0, nl), nullptr, false);
    if (!frame.is_object() || !frame.contains("r") || !frame.contains("mac") || !frame["mac"].is_string() ||
        !frame["r"].is_object()) {
      // NUL bytes or half a line where a crash stopped a write: the end.
      break;
    }
    const std::string text = frame["r"].dump();
    if (!same_mac(mac_of(key_, text), frame["mac"].get<std::string>())) {
      untrusted = true;
      break;
    }
    const Json& r = frame["r"];
    const std::uint64_t bytes = r.contains("bytes") && r["bytes"].is_number_unsigned() ? r["bytes"].get<std::uint64_t>() : 0;
    const std::uint64_t blob_at = offset + nl + 1;
    const std::uint64_t next = blob_at + (bytes ? bytes + 1 : 0);
    if (next > size_) break;  // its copy was cut short
    each(r, blob_at, bytes);
    offset = next;
  }
  if (cut && offset < size_) {
    // A torn end, or what follows a frame that does not verify: cut off,
    // so that what is appended next is read.
    if (::ftruncate(fd_, static_cast<off_t>(offset)) == 0) size_ = offset;
  }
  return offset;
}

std::string Log::frame(const Json& record, std::string_view blob) const {
  Json r = record;
  if (!blob.empty()) r["bytes"] = blob.size();
  const std::string text = r.dump(-1, ' ', false, Json::error_handler_t::replace);
  // The MAC is of the text a reader parses back and dumps again.
  const Json back = Json::parse(text);
  std::string out = Json{{"r", back}, {"mac", mac_of(key_, back.dump())}}.dump();
  out += '\n';
  if (!blob.empty()) {
    out.append(blob);
    out += '\n';
  }
  return out;
}

std::string Log::log_id() {
  std::string id;
  bool untrusted = false;
  bool first = true;
  // Only the first frame is looked at.
  const std::uint64_t saved = size_;
  read_from(0, [&](const Json& r, std::uint64_t, std::uint64_t) {
    if (first && r.value("t", "") == "log" && r.contains("id") && r["id"].is_string()) id = r["id"].get<std::string>();
    first = false;
    size_ = 0;  // stops the reading after this frame
  }, untrusted, false);
  size_ = saved;
  return id;
}

Result<std::uint64_t> Log::append(const Json& record, std::string_view blob) {
  const std::string f = frame(record, blob);
  // A reader takes a header line of more than this for damage.
  if (f.size() - (blob.empty() ? 0 : blob.size() + 1) > kMaxHeader / 2)
    return Failure{ErrorKind::too_large, "an undo record too large to keep"};
  const std::uint64_t at = size_;
  auto w = write_all(fd_, f);
  if (w && ::fdatasync(fd_) != 0) w = os_failure("cannot save the undo log");
  if (!w) {
    // Half a frame would end the log for every reader: cut off again.
    if (::ftruncate(fd_, static_cast<off_t>(at)) != 0) {
    }
    return w.error();
  }
  size_ = at + f.size();
  return at + (f.size() - (blob.empty() ? 0 : blob.size() + 1));
}

Result<std::string> Log::blob(std::uint64_t offset, std::uint64_t size) const {
  std::string out(static_cast<std::size_t>(size), '\0');
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Failure{ErrorKind::io, "the undo log's copy is cut short"};
    done += static_cast<std::size_t>(n);
  }
  return out;
}

Result<void> Log::rewrite(const std::function<Result<void>(const Emit& emit)>& fill) {
  std::string tmp = "log.new-";
  unsigned char r[6];
  if (::getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) return os_failure("no random bytes");
  tmp += hex_of(r, sizeof r);
  const int out = ::openat(dir_, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) return os_failure("cannot compact the undo log");
  std::uint64_t written = 0;
  const Emit emit = [&](const Json& record, std::string_view blob) -> Result<std::uint64_t> {
    const std::string f = frame(record, blob);
    if (auto w = write_all(out, f); !w) return w.error();
    const std::uint64_t at = written + f.size() - (blob.empty() ? 0 : blob.size() + 1);
    written += f.size();
    return at;
  };
  Result<void> w = fill(emit);
  if (w && ::fsync(out) != 0) w = os_failure("cannot save the undo log");
  // Locked before it takes the name: a session that opens it next waits.
  if (w && ::flock(out, LOCK_EX) != 0) w = os_failure("cannot lock the undo log");
  if (w && ::renameat(dir_, tmp.c_str(), dir_, kLog) != 0) w = os_failure("cannot replace the undo log");
  if (!w) {
    ::close(out);
    ::unlinkat(dir_, tmp.c_str(), 0);
    return w;
  }
  ::fsync(dir_);
  ::close(fd_);
  fd_ = out;
  struct stat st{};
  if (::fstat(fd_, &st) == 0) {
    identity_ = identity_of(st);
    size_ = static_cast<std::uint64_t>(st.st_size);
  }
  return {};
}

void Log::remove_temporaries() const {
  const int copy = ::dup(dir_);
  if (copy < 0) return;
  DIR* d = ::fdopendir(copy);
  if (!d) {
    ::close(copy);
    return;
  }
  const std::time_t hour_ago = std::time(nullptr) - 3600;
  while (const dirent* e = ::readdir(d)) {
    if (std::strncmp(e->d_name, "log.new-", 8) != 0) continue;
    struct stat st{};
    if (::fstatat(dir_, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_mtime < hour_ago)
      ::unlinkat(dir_, e->d_name, 0);
  }
  ::closedir(d);
}

}  // namespace dravik::app::undo_store
