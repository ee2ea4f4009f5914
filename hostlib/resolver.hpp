// Confinement of file operations to one directory. Every file tool and the
// memory notes resolve the paths they are given here, beneath an open
// descriptor of their directory, one component at a time; a link is followed
// only while it stays beneath that directory, ".." never climbs above it,
// and callers work on the descriptors handed back, never on the path again.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "support/result.hpp"

namespace dravik::hostlib::detail {

// An owned file descriptor (-1 when empty), closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A path resolved beneath the root: the directory holding its last
// component and that component's name ("." when it is the root itself),
// and the path relative to the root with every link resolved.
struct Located {
  UniqueFd dir;  // O_PATH descriptor of the directory holding `name`
  std::string name;
  std::string rel;  // "." for the root
};

struct ResolveOptions {
  // Follow links (those staying beneath the root); when false any link on
  // the way is refused with ELOOP.
  bool follow_links = true;
  // Create missing directories on the way (0777 less the umask).
  bool create_dirs = false;
};

// The directory everything is confined to, opened once.
class Beneath {
 public:
  // Opens `dir` (links in `dir` itself are the caller's choice and are
  // followed). error() is its errno when it cannot be opened.
  explicit Beneath(const std::filesystem::path& dir);
  int error() const { return error_; }
  int fd() const { return root_.get(); }
  // The real path of the root, for messages.
  const std::string& real() const { return real_; }

  // Resolves `given` (relative to the root, or absolute naming a place
  // beneath it). Returns 0, or an errno: EXDEV when it leads out of the
  // root, ENOENT, ENOTDIR, ELOOP (too many links, or a link where
  // follow_links is false), EINVAL for an empty path or a NUL in it.
  // (locate and open answer as the system calls they stand in for do, since
  // their callers tell ENOENT from ENOTDIR and the like; resolve_failure
  // turns an errno into the failure a tool reports.)
  int locate(std::string_view given, Located& out, ResolveOptions o = {}) const;

  // Opens `given` with `flags` (O_CLOEXEC and O_NOCTTY added) and returns
  // the descriptor, or -errno as locate() would. Uses openat2 with
  // RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS where the kernel has it, and
  // the component walk otherwise (and to judge a link openat2 refuses,
  // such as an absolute one that stays inside).
  int open(std::string_view given, int flags, ResolveOptions o = {}) const;

 private:
  UniqueFd root_;
  std::string real_, lexical_;
  int error_ = 0;
  // `given` as components relative to the root; false when it is absolute
  // and not beneath the root.
  bool relative_components(std::string_view given, std::string& rel) const;
  int walk(std::string_view rel, Located& out, ResolveOptions o) const;
};

// Opening with openat2 can be switched off (it is on when the kernel has
// it) so that the component walk is exercised where openat2 exists too.
void use_openat2(bool on);
bool openat2_available();

// Why `shown` could not be resolved, for `err` from locate() or open()
// (an errno, or its negation): "<shown> does not exist" (not_found),
// "<shown> is outside the working directory <root>" (refused), ...
Failure resolve_failure(const std::string& shown, int err, const Beneath& root);

// "is a directory", "is a FIFO (named pipe), not a regular file", ... for
// a file of type `mode`.
std::string file_type_text(mode_t mode);

// Reads the regular file open at `fd` to its end or to `cap` + 1 bytes,
// whichever comes first (its size as stat reports it is not trusted:
// procfs files say 0, growing files grow). `size_hint` (stat's size) only
// sizes the first read. Fails (io, strerror's text) on a read error.
Result<std::string> read_to_end(int fd, std::size_t cap, std::size_t size_hint = 0);

// A regular file open for reading, and what fstat said of it.
struct OpenedFile {
  UniqueFd fd;
  struct stat st {};
};
// Opens the entry `name` in `dir` for reading without following a link and
// without blocking; refuses anything but a regular file. The failure's
// message says what the entry is, without its name: "does not exist"
// (not_found), "is a directory" (is_directory, judged before opening),
// "is a FIFO (named pipe), not a regular file" (invalid), "is a symbolic
// link" (refused), or strerror's text (io).
// `listed_regular`: a directory listing (d_type) said it is a regular file,
// so the check before opening is left to the one on the descriptor.
Result<OpenedFile> open_regular(int dir, const std::string& name, bool listed_regular = false);

// Replaces the regular file `name` in `dir` with `content`, or creates it.
// An existing file keeps its owner, group and mode (the file is replaced
// through a short-named temporary and a rename); a file with several hard
// links, or one whose owner this process cannot give to a new file, is
// written through in place so every name sees the new content.
// `new_mode` is the mode of a created file (the umask applies). Fails with
// what failed ("cannot write: No space left on device", "it is a
// directory").
Result<void> write_file_in(int dir, const std::string& name, std::string_view content, mode_t new_mode = 0666);

}  // namespace dravik::hostlib::detail
