#include "support/files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/errors.hpp"

namespace dravik::files {

namespace {

[[noreturn]] void fail(int err, const std::string& what) {
  const std::string msg = what + ": " + std::strerror(err);
  if (err == ENOENT) throw FileNotFoundError(msg);
  throw OSError(err, msg);
}

}  // namespace

std::string read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno, "cannot open " + path);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      fail(err, "cannot read " + path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

std::optional<std::string> try_read_file(const std::string& path) {
  try {
    return read_file(path);
  } catch (const OSError&) {
    return std::nullopt;
  }
}

void write_all(int fd, std::string_view data, const std::string& what) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "cannot write " + what);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

namespace {

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void sync_directory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

void commit_file(const std::string& tmp, const std::string& path) {
  const int fd = ::open(tmp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    ::unlink(tmp.c_str());
    fail(e, "cannot save " + path);
  }
  const int synced = ::fsync(fd);
  const int e = errno;
  ::close(fd);
  if (synced != 0) {
    ::unlink(tmp.c_str());
    fail(e, "cannot save " + path);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int r = errno;
    ::unlink(tmp.c_str());
    fail(r, "cannot save " + path);
  }
  sync_directory(directory_of(path));
}

void replace_file(const std::string& path, std::string_view data, unsigned mode) {
  std::string tmp = path + ".new-XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) fail(errno, "cannot save " + path);
  struct stat st;
  // An existing file keeps its mode; a new one gets `mode`.
  ::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode);
  try {
    write_all(fd, data, path);
  } catch (...) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(fd);
  commit_file(tmp, path);
}

int open_private_dir_at(int parent, const std::string& name, const std::string& shown, bool* created) {
  const bool made = ::mkdirat(parent, name.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) fail(errno, "cannot create " + shown);
  if (created) *created = made;
  const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) fail(errno, "cannot open " + shown);
  return fd;
}

void create_private_directories(const std::string& path) {
  if (path.empty()) return;
  // Each missing component in turn, from the top.
  std::size_t pos = path[0] == '/' ? 1 : 0;
  for (;;) {
    const std::size_t slash = path.find('/', pos);
    const std::string part = path.substr(0, slash);
    if (!part.empty() && part != "." && part != ".." && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      fail(errno, "cannot create directory " + part);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  struct stat sb;
  if (::stat(path.c_str(), &sb) != 0) fail(errno, "cannot create directory " + path);
  if (!S_ISDIR(sb.st_mode)) throw OSError(ENOTDIR, "cannot create directory " + path + ": " + std::strerror(ENOTDIR));
  if (sb.st_uid == ::getuid() && (sb.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0)
    fail(errno, "cannot restrict the mode of " + path);
}

std::optional<std::string> home_directory() {
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') return std::string(h);
  // getpwuid_r: the static buffer of getpwuid is shared with any caller.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buf(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/')
    return std::string(found->pw_dir);
  return std::nullopt;
}

bool is_within(const std::filesystem::path& path, const std::filesystem::path& dir) {
  const auto rel = path.lexically_normal().lexically_relative(dir.lexically_normal());
  return !rel.empty() && *rel.begin() != "..";
}

}  // namespace dravik::files
