#include "resolver.hpp"
#include "text_tools.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "support/config.hpp"

namespace dravik::hostlib::detail {

namespace fs = std::filesystem;

namespace {

std::atomic<bool> openat2_on{true};

constexpr int kMaxLinks = 40;

std::deque<std::string> split(std::string_view p) {
  const auto parts = path_segments(p);
  std::deque<std::string> out(parts.begin(), parts.end());
  if (!p.empty() && p.back() == '/' && !out.empty()) out.emplace_back(".");  // "name/" must be a directory
  return out;
}

int dup_fd(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

bool only_dots(const std::deque<std::string>& todo) {
  return std::all_of(todo.begin(), todo.end(), [](const std::string& c) { return c.empty() || c == "."; });
}

}  // namespace

std::string file_type_text(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a FIFO (named pipe), not a regular file";
  if (S_ISSOCK(mode)) return "is a socket, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
  if (S_ISLNK(mode)) return "is a symbolic link";
  return "is not a regular file";
}

namespace {

// A short temporary name: ".dravik-" and six random letters, so that it
// fits in a directory whatever the length of the name it stands in for.
std::string temporary_name() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = ".dravik-";
  for (int i = 0; i < 6; ++i) name += letters[gen() % (sizeof letters - 1)];
  return name;
}

Failure os_failure(const std::string& what) { return {ErrorKind::io, what + ": " + std::strerror(errno)}; }

Result<void> write_whole(int fd, std::string_view content) {
  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_failure("cannot write");
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

// "it is a directory" and the like, for a write that found no regular file.
Failure not_regular(mode_t mode) {
  return {S_ISDIR(mode) ? ErrorKind::is_directory : ErrorKind::invalid, "it " + file_type_text(mode)};
}

// Writes `content` into the existing file itself: every hard link sees it,
// owner and mode stay. Not atomic; the content is written before the file
// is cut to its length so a reader never sees a shorter prefix.
Result<void> write_through(int dir, const std::string& name, std::string_view content) {
  UniqueFd fd(::openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return os_failure("cannot open");
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return not_regular(st.st_mode);
  if (auto written = write_whole(fd.get(), content); !written) return written;
  if (::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) return os_failure("cannot truncate");
  if (::fsync(fd.get()) != 0) return os_failure("cannot flush");
  return {};
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) reset(o.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void use_openat2(bool on) { openat2_on = on; }

bool openat2_available() {
  static const bool available = [] {
    struct open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
    if (fd >= 0) ::close(static_cast<int>(fd));
    return fd >= 0;
  }();
  return available;
}

Beneath::Beneath(const fs::path& dir) {
  root_.reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root_) {
    error_ = errno;
    real_ = dir.string();
    return;
  }
  std::error_code ec;
  real_ = fs::canonical(dir, ec).string();
  if (ec) real_ = dir.string();
  lexical_ = fs::absolute(dir, ec).lexically_normal().string();
  while (lexical_.size() > 1 && lexical_.back() == '/') lexical_.pop_back();
}

bool Beneath::relative_components(std::string_view given, std::string& rel) const {
  if (given.empty() || given[0] != '/') {
    rel = std::string(given);
    return true;
  }
  // An absolute path is taken as its part below the root; it is compared
  // as text after removing "." and repeated slashes (".." is resolved by
  // the walk, which refuses to climb above the root).
  std::string norm;
  for (const auto& c : split(given))
    if (c != ".") norm += "/" + c;
  if (norm.empty()) norm = "/";
  for (const std::string* root : {&real_, &lexical_}) {
    if (root->empty()) continue;
    if (*root == "/") {
      rel = norm.substr(1);
      return true;
    }
    if (norm == *root) {
      rel = ".";
      return true;
    }
    if (norm.size() > root->size() && norm.compare(0, root->size(), *root) == 0 && norm[root->size()] == '/') {
      rel = norm.substr(root->size() + 1);
      return true;
    }
  }
  return false;
}

int Beneath::locate(std::string_view given, Located& out, ResolveOptions o) const {
  if (error_) return error_;
  if (config::trim(std::string(given)).empty() || given.find('\0') != std::string_view::npos) return EINVAL;
  std::string rel;
  if (!relative_components(given, rel)) return EXDEV;
  return walk(rel, out, o);
}

int Beneath::walk(std::string_view rel, Located& out, ResolveOptions o) const {
  struct Level {
    UniqueFd fd;
    std::string name;
  };
  std::deque<std::string> todo = split(rel);
  std::vector<Level> stack;  // the directories entered below the root
  int links = 0, created = 0;
  auto current = [&] { return stack.empty() ? root_.get() : stack.back().fd.get(); };
  auto path_to = [&](const std::string& last) {
    std::string p;
    for (const auto& l : stack) p += l.name + "/";
    p += last;
    return p;
  };
  auto located = [&](int dir, std::string name, std::string path) {
    out.dir.reset(dup_fd(dir));
    if (!out.dir) return errno;
    out.name = std::move(name);
    out.rel = path.empty() ? "." : std::move(path);
    return 0;
  };
  while (!todo.empty()) {
    std::string c = std::move(todo.front());
    todo.pop_front();
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      // Back to the directory this walk came from: never above the root,
      // never a kernel ".." that a moved directory could redirect.
      if (stack.empty()) return EXDEV;
      stack.pop_back();
      continue;
    }
    const bool last = only_dots(todo);
    const bool must_be_dir = last && !todo.empty();  // "name/." or "name/"
    UniqueFd fd(::openat(current(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
      const int err = errno;
      if (err == ENOENT && last && !must_be_dir) return located(current(), c, path_to(c));  // to be created
      // Directories are created only where the rest of the path goes down
      // from them: "new/../x" would leave "new" behind for nothing.
      const bool goes_down = std::none_of(todo.begin(), todo.end(), [](const std::string& t) { return t == ".."; });
      if (err == ENOENT && o.create_dirs && goes_down && created++ < 256) {
        if (::mkdirat(current(), c.c_str(), 0777) != 0 && errno != EEXIST) return errno;
        todo.push_front(std::move(c));
        continue;
      }
      return err;
    }
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) {
      if (!o.follow_links || ++links > kMaxLinks) return ELOOP;
      std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
      const ssize_t n = ::readlinkat(fd.get(), "", target.data(), target.size());
      if (n < 0) return errno;
      if (static_cast<std::size_t>(n) >= target.size()) return ENAMETOOLONG;  // grew meanwhile
      target.resize(static_cast<std::size_t>(n));
      if (target.empty()) return ENOENT;
      std::string inside = target;
      if (target[0] == '/') {
        if (!relative_components(target, inside)) return EXDEV;
        stack.clear();
      }
      auto parts = split(inside);
      todo.insert(todo.begin(), parts.begin(), parts.end());
      continue;
    }
    if (must_be_dir && !S_ISDIR(st.st_mode)) return ENOTDIR;
    if (last) return located(current(), c, path_to(c));
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    stack.push_back({std::move(fd), std::move(c)});
  }
  // The path ended on a directory entered by the walk (after "..", or the
  // root itself).
  if (stack.empty()) return located(root_.get(), ".", "");
  Level top = std::move(stack.back());
  stack.pop_back();
  return located(current(), top.name, path_to(top.name));
}

int Beneath::open(std::string_view given, int flags, ResolveOptions o) const {
  if (error_) return -error_;
  if (config::trim(std::string(given)).empty() || given.find('\0') != std::string_view::npos) return -EINVAL;
  std::string rel;
  if (!relative_components(given, rel)) return -EXDEV;
  flags |= O_CLOEXEC | ((flags & O_PATH) ? 0 : O_NOCTTY);  // openat2 refuses O_PATH with other flags
  if (openat2_on && !o.create_dirs && openat2_available()) {
    struct open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | (o.follow_links ? 0 : RESOLVE_NO_SYMLINKS);
    int err = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
      const long fd = ::syscall(SYS_openat2, root_.get(), rel.c_str(), &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      err = errno;
      if (err != EAGAIN && err != EINTR) break;  // EAGAIN: a rename raced a ".."
    }
    // EXDEV also covers an absolute link, which may still lead inside: the
    // walk judges it.
    if (err != EXDEV && err != EAGAIN && err != ENOSYS && err != EPERM) return -err;
  }
  Located l;
  if (const int err = walk(rel, l, o)) return -err;
  const int fd = ::openat(l.dir.get(), l.name.c_str(), flags | O_NOFOLLOW);
  return fd >= 0 ? fd : -errno;
}

Failure resolve_failure(const std::string& shown, int err, const Beneath& root) {
  if (err < 0) err = -err;
  switch (err) {
    case EINVAL:
      if (shown.find('\0') != std::string::npos) return {ErrorKind::invalid, "the path contains a NUL character"};
      if (config::trim(shown).empty()) return {ErrorKind::invalid, "empty path"};
      break;
    case EXDEV:
      return {ErrorKind::refused, shown + " is outside the working directory " + root.real()};
    case ENOENT:
      return {ErrorKind::not_found, shown + " does not exist"};
    case ELOOP:
      return {ErrorKind::refused,
              shown + " leads through too many symbolic links, or through one where none is followed"};
    default:
      break;
  }
  return {ErrorKind::io, "cannot resolve " + shown + ": " + std::strerror(err)};
}

Result<std::string> read_to_end(int fd, std::size_t cap, std::size_t size_hint) {
  // The buffer starts at the size stat gave (plus one byte, to see the end
  // in the same read) and doubles while the file goes on.
  std::string out;
  out.resize(std::min(cap + 1, std::max<std::size_t>(size_hint + 1, 4096)));
  std::size_t got = 0;
  while (got <= cap) {
    if (got == out.size()) out.resize(std::min(cap + 1, out.size() * 2));
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failure{ErrorKind::io, std::strerror(errno)};
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

namespace {

// How an entry that is not a regular file is refused: a directory seen
// before opening is said to be one (so that the tools can point to
// list_directory); anything else is the wrong type of file.
Failure not_a_file(mode_t mode, bool before_opening) {
  return {before_opening && S_ISDIR(mode) ? ErrorKind::is_directory : ErrorKind::invalid, file_type_text(mode)};
}

ErrorKind kind_of_errno(int err) {
  if (err == ENOENT) return ErrorKind::not_found;
  if (err == ELOOP) return ErrorKind::refused;
  return ErrorKind::io;
}

}  // namespace

Result<OpenedFile> open_regular(int dir, const std::string& name, bool listed_regular) {
  OpenedFile f;
  // Judged before opening, so a FIFO or a device is never opened at all
  // (unless the directory listing said it is a regular file already);
  // judged again on the descriptor, for what a rename put there meanwhile.
  if (listed_regular) f.st.st_mode = S_IFREG;
  else if (::fstatat(dir, name.c_str(), &f.st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int err = errno;
    return Failure{kind_of_errno(err), err == ENOENT ? "does not exist" : std::strerror(err)};
  }
  if (!S_ISREG(f.st.st_mode)) return not_a_file(f.st.st_mode, true);
  f.fd.reset(::openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!f.fd || ::fstat(f.fd.get(), &f.st) != 0) {
    const int err = errno;
    return Failure{kind_of_errno(err), err == ELOOP ? "is a symbolic link" : std::strerror(err)};
  }
  if (!S_ISREG(f.st.st_mode)) return not_a_file(f.st.st_mode, false);
  return f;
}

Result<void> write_file_in(int dir, const std::string& name, std::string_view content, mode_t new_mode) {
  struct stat st{};
  const bool exists = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return Failure{ErrorKind::io, std::strerror(errno)};
  if (exists) {
    if (!S_ISREG(st.st_mode)) return not_regular(st.st_mode);
    if (st.st_nlink > 1) return write_through(dir, name, content);
  }
  std::string tmp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    tmp = temporary_name();
    fd.reset(::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      exists ? 0600 : new_mode));
    if (!fd && errno != EEXIST) return os_failure("cannot create a temporary file");
  }
  if (!fd) return Failure{ErrorKind::io, "cannot create a temporary file: every name tried exists"};
  // The temporary goes whenever the file is not replaced by it.
  auto discard = [&](Failure why) {
    fd.reset();
    ::unlinkat(dir, tmp.c_str(), 0);
    return why;
  };
  if (auto written = write_whole(fd.get(), content); !written) return discard(written.error());
  if (exists) {
    // The owner first (a change of owner clears set-user-ID bits), then the
    // mode. A file this process cannot give its owner to is written in place.
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
      discard({});
      return write_through(dir, name, content);
    }
    if (::fchmod(fd.get(), st.st_mode & 07777) != 0) return discard(os_failure("cannot set the mode"));
  }
  if (::fsync(fd.get()) != 0) return discard(os_failure("cannot flush"));
  if (::close(fd.release()) != 0) return discard(os_failure("cannot write"));
  if (::renameat(dir, tmp.c_str(), dir, name.c_str()) != 0) return discard(os_failure("cannot replace the file"));
  return {};
}

}  // namespace dravik::hostlib::detail
