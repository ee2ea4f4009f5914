#include "support/process/process.hpp"

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <spdlog/spdlog.h>

#include "support/async.hpp"
#include "support/errors.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace dravik::proc {

namespace asio = boost::asio;
using boost::system::error_code;

namespace detail {
Seams& seams() {
  static Seams s;
  return s;
}
}  // namespace detail

namespace {

std::shared_ptr<spdlog::logger> logger() {
  static auto l = log::get_logger("process");
  return l;
}

// Status reported when the kernel no longer lets us read the real one (the
// host set SIGCHLD to SIG_IGN, so the child was reaped automatically).
constexpr int kUnknownStatus = 255;

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfd_send_signal(int fd, int sig) { return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0)); }

int status_from(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return info.si_status;
  return -info.si_status;  // CLD_KILLED, CLD_DUMPED
}

struct FileActions {
  posix_spawn_file_actions_t fa;
  FileActions() { posix_spawn_file_actions_init(&fa); }
  ~FileActions() { posix_spawn_file_actions_destroy(&fa); }
};

struct SpawnAttr {
  posix_spawnattr_t attr;
  SpawnAttr() { posix_spawnattr_init(&attr); }
  ~SpawnAttr() { posix_spawnattr_destroy(&attr); }
};

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    reset();
    fd = std::exchange(o.fd, -1);
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int release() { return std::exchange(fd, -1); }
};

// A close-on-exec duplicate: programs the host starts meanwhile must not
// inherit it.
int dup_cloexec(int fd) {
  int d = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (d < 0) throw OSError(errno, std::string("cannot duplicate a descriptor: ") + std::strerror(errno));
  return d;
}

// Reaps the child behind `pidfd` if it has exited. nullopt while it runs.
std::optional<int> reap_now(int pidfd) {
  siginfo_t info{};
  info.si_pid = 0;
  int r = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG);
  if (r < 0) {
    // EAGAIN: a non-blocking pidfd whose child is still running.
    if (errno == EAGAIN || errno == EINTR) return std::nullopt;
    return kUnknownStatus;  // ECHILD: reaped elsewhere (SIGCHLD ignored)
  }
  if (info.si_pid == 0) return std::nullopt;
  return status_from(info);
}

// Waits up to `bound` (blocking the thread) for the child to exit and reaps
// it. nullopt when it is still there.
std::optional<int> reap_within(int pidfd, Duration bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (auto s = reap_now(pidfd)) return s;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{pidfd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)) + 1);
  }
}

// Owns `pidfd` and reaps its child whenever it finally exits, without
// holding up anyone. Ends with the loop if the child never exits.
asio::awaitable<void> background_reap(asio::any_io_executor ex, int pidfd, pid_t pid, bool stuck = true) {
  asio::posix::stream_descriptor sd(ex, pidfd);
  for (;;) {
    if (auto s = reap_now(pidfd)) {
      if (stuck) logger()->info("process {} finally exited (status {}) and was reaped", pid, *s);
      co_return;
    }
    error_code ec;
    co_await sd.async_wait(asio::posix::stream_descriptor::wait_read, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
  }
}

void hand_to_reaper(const asio::any_io_executor& ex, int pidfd, pid_t pid) {
  logger()->warn("process {} did not exit after SIGKILL (stuck in the kernel?); reaping it in the background", pid);
  asio::co_spawn(ex, background_reap(ex, pidfd, pid), asio::detached);
}

[[noreturn]] void throw_os(int err, const std::string& what) {
  if (err == ENOENT) throw FileNotFoundError(what + ": " + std::strerror(err));
  throw OSError(err, what + ": " + std::strerror(err));
}


// ------------------------------------------------------------------ keeper
//
// The keeper runs in a forked copy of the host, which may have other
// threads: until it exits it calls only async-signal-safe functions (plain
// system calls), allocates nothing and touches no lock.

namespace keeper {

constexpr int kMaxPids = 4096;

// Decimal text of `v` into `out` (no terminator); returns its length.
int put_number(char* out, long v) {
  char tmp[24];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0);
  for (int i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
  return n;
}

// Copies the zero-terminated `text` to `out`; returns its length.
int put_text(char* out, const char* text) {
  int n = 0;
  while (text[n]) {
    out[n] = text[n];
    ++n;
  }
  return n;
}

// Appends the children of every thread of `pid` to `pids` (up to
// kMaxPids), as /proc/<pid>/task/<tid>/children lists them.
void add_children(pid_t pid, pid_t* pids, int& count) {
  char path[96];
  int n = put_text(path, "/proc/");
  n += put_number(path + n, pid);
  n += put_text(path + n, "/task");
  path[n] = '\0';
  const int dir = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  alignas(8) char entries[2048];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, dir, entries, sizeof entries);
    if (got <= 0) break;
    for (long off = 0; off < got;) {
      // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
      unsigned short reclen;
      std::memcpy(&reclen, entries + off + 16, sizeof reclen);
      const char* name = entries + off + 19;
      off += reclen;
      if (name[0] < '0' || name[0] > '9') continue;
      char file[160];
      int m = put_text(file, path);
      file[m++] = '/';
      m += put_text(file + m, name);
      m += put_text(file + m, "/children");
      file[m] = '\0';
      const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      char text[4096];
      long value = -1;
      for (;;) {
        const ssize_t r = ::read(fd, text, sizeof text);
        if (r <= 0) break;
        for (ssize_t i = 0; i < r; ++i) {
          if (text[i] >= '0' && text[i] <= '9') {
            value = (value < 0 ? 0 : value * 10) + (text[i] - '0');
          } else if (value >= 0) {
            if (count < kMaxPids) pids[count++] = static_cast<pid_t>(value);
            value = -1;
          }
        }
      }
      if (value >= 0 && count < kMaxPids) pids[count++] = static_cast<pid_t>(value);
      ::close(fd);
    }
  }
  ::close(dir);
}

// Sends `sig` to every descendant of the keeper, walking the tree from its
// own children down. A descendant whose parent dies meanwhile is adopted
// by the keeper and found by the next sweep.
void signal_descendants(int sig) {
  pid_t pids[kMaxPids];
  int count = 0;
  add_children(::getpid(), pids, count);
  for (int i = 0; i < count; ++i) {
    ::kill(pids[i], sig);
    add_children(pids[i], pids, count);
  }
}

// Leaves the way the program did: the same exit code, or death by the
// same signal (without a core dump).
[[noreturn]] void exit_like(int status) {
  if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
  const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
  struct rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(sig, &dfl, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::kill(::getpid(), sig);
  ::_exit(128 + sig);
}

void say(const char* text) {
  std::size_t n = 0;
  while (text[n]) ++n;
  if (::write(2, text, n) < 0) {
  }
}

// The descriptor the Landlock ruleset is moved to in the keeper.
constexpr int kRulesetFd = 3;

// Applies `c` (but its new session, which the keeper takes) to this
// process, the program's, between the keeper's fork and the exec: the
// keeper stays outside the program's Landlock domain, so that the program
// can neither read the keeper (a copy of the host, environment and all)
// nor signal it. False when any part fails.
bool confine(const Confinement& c) {
  if (c.no_new_privs && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  if (c.landlock_ruleset >= 0) {
    if (::syscall(SYS_landlock_restrict_self, kRulesetFd, 0u) != 0) return false;
    ::close(kRulesetFd);
  }
  if (!c.seccomp_filter.empty()) {
    sock_fprog prog{};
    prog.len = static_cast<unsigned short>(c.seccomp_filter.size());
    prog.filter = reinterpret_cast<sock_filter*>(const_cast<std::uint64_t*>(c.seccomp_filter.data()));
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) return false;
  }
  return true;
}

// The keeper's own set-up: its standard streams, directory, group or
// session, and no descriptor of the host but the ruleset (moved to
// kRulesetFd). Returns whether a ruleset is kept.
bool set_up_keeper(const int stdio[3], bool new_group, const char* cwd, const Confinement* confinement) {
  // A new session (below) makes the keeper a group leader too.
  if (new_group && !(confinement && confinement->new_session)) ::setpgid(0, 0);
  for (int i = 0; i < 3; ++i) {
    int fd = stdio[i];
    if (fd < 0) fd = ::open("/dev/null", i == 0 ? O_RDONLY : O_WRONLY);
    if (fd >= 0 && fd != i) ::dup2(fd, i);
  }
  if (cwd && ::chdir(cwd) != 0) {
    say("cannot enter the working directory\n");
    ::_exit(127);
  }
  if (confinement && confinement->new_session && ::setsid() < 0) {
    say("dravik: cannot confine the command (sandbox)\n");
    ::_exit(126);
  }
  // The ruleset, kept for the program's fork, at a known place.
  const bool ruleset = confinement && confinement->landlock_ruleset >= 0;
  if (ruleset && confinement->landlock_ruleset != kRulesetFd && ::dup2(confinement->landlock_ruleset, kRulesetFd) < 0) {
    say("dravik: cannot confine the command (sandbox)\n");
    ::_exit(126);
  }
  // Nothing else of the host stays open here: a pipe of another child held
  // by the keeper would never reach its end of file.
  const unsigned first = ruleset ? kRulesetFd + 1 : 3u;
  if (::syscall(SYS_close_range, first, ~0u, 0u) != 0)
    for (int fd = static_cast<int>(first); fd < 65536; ++fd) ::close(fd);
  return ruleset;
}

[[noreturn]] void run(const int stdio[3], bool new_group, const char* cwd, const char* path, char* const* argv,
                      char* const* envp, const Confinement* confinement) {
  const bool ruleset = set_up_keeper(stdio, new_group, cwd, confinement);
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  // What the keeper waits for, taken synchronously (sigtimedwait), so that
  // no request can slip in between a check and the wait.
  sigset_t waited;
  sigemptyset(&waited);
  for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1}) sigaddset(&waited, sig);
  ::sigprocmask(SIG_SETMASK, &waited, nullptr);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);

  const pid_t program = ::fork();
  if (program < 0) {
    say("cannot start the program\n");
    ::_exit(127);
  }
  if (program == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (confinement && !confine(*confinement)) {
      say("dravik: cannot confine the command (sandbox)\n");
      ::_exit(126);
    }
    ::execve(path, argv, envp);
    ::_exit(127);
  }
  if (ruleset) ::close(kRulesetFd);

  enum { running, terminating, killing } mode = running;
  bool ended = false;
  int status = 0;
  for (;;) {
    bool none_left = false;
    for (;;) {
      int st = 0;
      const pid_t r = ::waitpid(-1, &st, WNOHANG);
      if (r > 0) {
        if (r == program) {
          ended = true;
          status = st;
        }
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      none_left = r < 0;  // ECHILD
      break;
    }
    // A program that exits on its own leaves its background work running.
    if (ended && mode == running) exit_like(status);
    if (none_left) exit_like(status);  // the program was reaped before this
    if (mode == killing) signal_descendants(SIGKILL);
    timespec again{0, 20 * 1000 * 1000};
    siginfo_t info;
    const int sig = ::sigtimedwait(&waited, &info, mode == killing ? &again : nullptr);
    if (sig == SIGUSR1) {
      mode = killing;
    } else if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP || sig == SIGQUIT) {
      if (mode == running) {
        mode = terminating;
        signal_descendants(SIGTERM);
      }
    }
  }
}

}  // namespace keeper

}  // namespace

// ---------------------------------------------------------------- PipeReader

struct PipeReader::Impl {
  asio::posix::stream_descriptor sd;
  std::string buf;
  bool eof = false;
  Impl(asio::any_io_executor ex, int fd) : sd(std::move(ex), fd) {}

  // Reads more bytes into buf; false at end of file or on a read error.
  asio::awaitable<bool> fill() {
    if (eof || !sd.is_open()) co_return false;
    char tmp[16384];
    error_code ec;
    std::size_t n = co_await sd.async_read_some(asio::buffer(tmp), asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
    if (ec || n == 0) {
      eof = true;
      co_return false;
    }
    buf.append(tmp, n);
    co_return true;
  }
};

PipeReader::PipeReader(asio::any_io_executor ex, int fd) : impl_(std::make_unique<Impl>(std::move(ex), fd)) {}
PipeReader::~PipeReader() = default;

asio::awaitable<std::optional<std::string>> PipeReader::read_line(std::size_t max_line) {
  auto& im = *impl_;
  bool dropping = false;  // inside the overlong rest of a line already returned
  std::string line;
  for (;;) {
    auto nl = im.buf.find('\n');
    if (nl != std::string::npos) {
      if (!dropping) line = im.buf.substr(0, std::min(nl, max_line));
      im.buf.erase(0, nl + 1);
      co_return line;
    }
    if (!dropping && im.buf.size() >= max_line) {
      line = im.buf.substr(0, max_line);
      im.buf.clear();
      dropping = true;
    } else if (dropping) {
      im.buf.clear();
    }
    if (!co_await im.fill()) {
      if (dropping) co_return line;
      if (im.buf.empty()) co_return std::nullopt;
      line = std::move(im.buf);
      im.buf.clear();
      co_return line;
    }
  }
}

asio::awaitable<std::optional<std::string>> PipeReader::read_some() {
  auto& im = *impl_;
  if (im.buf.empty() && !co_await im.fill()) co_return std::nullopt;
  std::string out = std::move(im.buf);
  im.buf.clear();
  co_return out;
}

void PipeReader::close() {
  error_code ec;
  impl_->sd.close(ec);
}


// --------------------------------------------------------------------- Child

struct Child::Impl {
  asio::any_io_executor ex;
  pid_t pid = -1;
  int pidfd = -1;
  std::optional<int> status;
  std::shared_ptr<PipeReader> out, err;
  std::unique_ptr<asio::posix::stream_descriptor> in;

  // Set once the child got SIGKILL and did not exit within the bound: the
  // destructor hands it to the background reaper without waiting again.
  bool stuck = false;
  // The child is a keeper (SpawnOptions::keep_descendants).
  bool kept = false;

  ~Impl() {
    if (!status && pidfd >= 0) {
      // Still running (or exited and not yet reaped): make sure no process
      // and no zombie outlives the handle, without freezing the loop on a
      // child that cannot die yet.
      pidfd_send_signal(pidfd, detail::seams().kill_signal);
      if (stuck || !reap_within(pidfd, detail::seams().destructor_wait)) {
        try {
          hand_to_reaper(ex, pidfd, pid);
          pidfd = -1;  // owned by the reaper now
        } catch (...) {
          // No loop to hand it to: the zombie stays until the host exits.
        }
      }
    }
    if (pidfd >= 0) ::close(pidfd);
  }

  // Non-blocking reap.
  std::optional<int> try_reap() {
    if (!status) status = reap_now(pidfd);
    return status;
  }
};

Child::Child(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Child::Child(Child&&) noexcept = default;
Child& Child::operator=(Child&&) noexcept = default;
Child::~Child() = default;

Child Child::spawn(asio::any_io_executor ex, SpawnOptions opts) {
  if (opts.argv.empty()) throw ValueError("cannot spawn an empty command");
  FileActions fa;
  Fd child_ends[3];
  Fd parent_ends[3];
  const Stdio modes[3] = {opts.in, opts.out, opts.err};
  for (int i = 0; i < 3; ++i) {
    switch (modes[i]) {
      case Stdio::inherit: break;
      case Stdio::null:
        posix_spawn_file_actions_addopen(&fa.fa, i, "/dev/null", i == 0 ? O_RDONLY : O_WRONLY, 0);
        break;
      case Stdio::pipe: {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) < 0) throw_os(errno, "pipe");
        // p[0] is the read end: the child reads stdin, the host reads output.
        child_ends[i] = Fd(i == 0 ? p[0] : p[1]);
        parent_ends[i] = Fd(i == 0 ? p[1] : p[0]);
        posix_spawn_file_actions_adddup2(&fa.fa, child_ends[i].fd, i);
        break;
      }
    }
  }
  posix_spawn_file_actions_addclosefrom_np(&fa.fa, 3);
  if (opts.cwd) posix_spawn_file_actions_addchdir_np(&fa.fa, opts.cwd->c_str());

  SpawnAttr attr;
  sigset_t empty, all;
  sigemptyset(&empty);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr.attr, &empty);
  posix_spawnattr_setsigdefault(&attr.attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (opts.new_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr.attr, 0);
  }
  posix_spawnattr_setflags(&attr.attr, flags);

  std::vector<char*> argv;
  for (auto& a : opts.argv) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings;
  std::vector<char*> envp;
  char** env_ptr = environ;
  if (opts.env) {
    for (const auto& [k, v] : *opts.env) env_strings.push_back(k + "=" + v);
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    env_ptr = envp.data();
  }

  pid_t pid = -1;
  const bool search = opts.argv[0].find('/') == std::string::npos;
  if (opts.confinement) opts.keep_descendants = true;
  if (opts.keep_descendants) {
    // Everything the keeper needs is prepared here: after the fork it may
    // not allocate. What posix_spawn would report is checked beforehand.
    const std::optional<std::string> program = which(opts.argv[0]);
    if (!program) throw_os(ENOENT, "cannot run '" + opts.argv[0] + "'");
    if (opts.cwd) {
      struct stat sb;
      if (::stat(opts.cwd->c_str(), &sb) != 0) throw_os(errno, "cannot enter '" + *opts.cwd + "'");
      if (!S_ISDIR(sb.st_mode)) throw_os(ENOTDIR, "cannot enter '" + *opts.cwd + "'");
    }
    const int stdio[3] = {child_ends[0].fd, child_ends[1].fd, child_ends[2].fd};
    const char* cwd = opts.cwd ? opts.cwd->c_str() : nullptr;
    // Every signal stays blocked across the fork, so that none reaches the
    // keeper while it still has the host's handlers.
    sigset_t host_mask;
    ::pthread_sigmask(SIG_SETMASK, &all, &host_mask);
    pid = ::fork();
    const Confinement* confinement = opts.confinement ? &*opts.confinement : nullptr;
    if (pid == 0)
      keeper::run(stdio, opts.new_process_group, cwd, program->c_str(), argv.data(), env_ptr, confinement);
    const int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &host_mask, nullptr);
    if (pid < 0) throw_os(fork_error, "cannot run '" + opts.argv[0] + "'");
  } else {
    int rc = search ? ::posix_spawnp(&pid, argv[0], &fa.fa, &attr.attr, argv.data(), env_ptr)
                    : ::posix_spawn(&pid, argv[0], &fa.fa, &attr.attr, argv.data(), env_ptr);
    if (rc != 0) throw_os(rc, "cannot run '" + opts.argv[0] + "'");
  }

  auto im = std::make_unique<Impl>();
  im->ex = ex;
  im->pid = pid;
  im->kept = opts.keep_descendants;
  im->pidfd = pidfd_open(pid);
  if (im->pidfd < 0) {
    int err = errno;
    ::kill(pid, SIGKILL);
    int st;
    ::waitpid(pid, &st, 0);
    throw_os(err, "pidfd_open");
  }
  for (auto& c : child_ends) c.reset();
  if (parent_ends[0].fd >= 0) im->in = std::make_unique<asio::posix::stream_descriptor>(ex, parent_ends[0].release());
  if (parent_ends[1].fd >= 0) im->out = std::make_shared<PipeReader>(ex, parent_ends[1].release());
  if (parent_ends[2].fd >= 0) im->err = std::make_shared<PipeReader>(ex, parent_ends[2].release());
  return Child(std::move(im));
}

pid_t Child::pid() const { return impl_->pid; }

std::optional<int> Child::poll() { return impl_->try_reap(); }

void Child::release() {
  if (!impl_) return;
  if (impl_->pidfd >= 0 && !impl_->status) {
    // Reaped whenever it ends while we are still its parent, so that it
    // leaves no zombie behind.
    try {
      asio::co_spawn(impl_->ex, background_reap(impl_->ex, impl_->pidfd, impl_->pid, false), asio::detached);
      impl_->pidfd = -1;
    } catch (...) {
    }
  }
  if (impl_->pidfd >= 0) ::close(impl_->pidfd);
  impl_->pidfd = -1;
  impl_.reset();
}

asio::awaitable<int> Child::wait() {
  for (;;) {
    if (auto s = impl_->try_reap()) co_return *s;
    // Wait until the pidfd is readable (the child has exited). The
    // descriptor is duplicated so that releasing it leaves ours open.
    asio::posix::stream_descriptor sd(impl_->ex, dup_cloexec(impl_->pidfd));
    co_await sd.async_wait(asio::posix::stream_descriptor::wait_read, asio::use_awaitable);
  }
}

asio::awaitable<std::optional<int>> Child::wait_for(Duration d) {
  if (auto s = impl_->try_reap()) co_return s;
  struct State {
    bool timed_out = false;
    std::unique_ptr<asio::posix::stream_descriptor> sd;
  };
  auto st = std::make_shared<State>();
  st->sd = std::make_unique<asio::posix::stream_descriptor>(impl_->ex, dup_cloexec(impl_->pidfd));
  asio::steady_timer timer(impl_->ex, d);
  timer.async_wait([st](error_code ec) {
    if (!ec) {
      st->timed_out = true;
      error_code ignored;
      st->sd->cancel(ignored);
    }
  });
  error_code ec;
  co_await st->sd->async_wait(asio::posix::stream_descriptor::wait_read, asio::redirect_error(asio::use_awaitable, ec));
  timer.cancel();
  if (ec == asio::error::operation_aborted && !st->timed_out) throw boost::system::system_error(ec);
  co_return impl_->try_reap();
}

bool Child::signal(int sig) {
  if (impl_->status) return false;
  return pidfd_send_signal(impl_->pidfd, sig) == 0;
}

bool Child::signal_group(int sig) {
  return ::kill(-impl_->pid, sig) == 0;
}

asio::awaitable<int> Child::wait_after_kill() {
  if (auto s = co_await wait_for(detail::seams().after_kill_wait)) co_return *s;
  impl_->stuck = true;
  // The destructor hands the child to the background reaper.
  co_return -SIGKILL;
}

asio::awaitable<int> Child::terminate(Duration grace, bool group) {
  if (auto s = impl_->try_reap()) co_return *s;
  if (impl_->kept) {
    // The keeper passes SIGTERM on to every descendant and stays until none
    // is left; SIGUSR1 makes it kill them all. Signalling the keeper alone
    // keeps it alive to adopt whatever the dying leave behind.
    signal(SIGTERM);
    if (auto s = co_await wait_for(grace)) co_return *s;
    signal(SIGUSR1);
    if (auto s = co_await wait_for(detail::seams().after_kill_wait)) co_return *s;
    signal(detail::seams().kill_signal);
    if (group) signal_group(detail::seams().kill_signal);
    co_return co_await wait_after_kill();
  }
  auto send = [&](int sig) { return group ? signal_group(sig) : signal(sig); };
  send(SIGTERM);
  if (auto s = co_await wait_for(grace)) {
    if (group) signal_group(SIGKILL);  // whatever the leader left behind
    co_return *s;
  }
  send(detail::seams().kill_signal);
  co_return co_await wait_after_kill();
}

std::shared_ptr<PipeReader> Child::take_stdout() { return std::exchange(impl_->out, nullptr); }
std::shared_ptr<PipeReader> Child::take_stderr() { return std::exchange(impl_->err, nullptr); }

namespace {

// write(2) with SIGPIPE blocked for this thread: writing to a pipe whose
// reader has exited raises it, which would kill the host. A SIGPIPE we
// caused is discarded; one that was already pending stays.
ssize_t write_without_sigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipe_set, old, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE);
  ssize_t n;
  do {
    n = ::write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  const int saved = errno;
  if (!was_pending) {
    timespec zero{0, 0};
    while (::sigtimedwait(&pipe_set, nullptr, &zero) > 0) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = saved;
  return n;
}

}  // namespace

void Child::write_stdin_and_close(std::string_view bytes) {
  if (!impl_->in) return;
  if (bytes.size() > 65536) throw ValueError("standard input of a child is limited to 64 KiB");
  const int fd = impl_->in->native_handle();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write_without_sigpipe(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;  // EPIPE: the child is gone; EAGAIN cannot happen below 64 KiB
    done += static_cast<std::size_t>(n);
  }
  impl_->in.reset();
}

std::shared_ptr<PipeWriter> Child::take_stdin() {
  if (!impl_->in) return nullptr;
  const int fd = impl_->in->release();
  impl_->in.reset();
  return std::make_shared<PipeWriter>(impl_->ex, fd);
}

// ---------------------------------------------------------------- PipeWriter

struct PipeWriter::Impl {
  asio::posix::stream_descriptor sd;
  Impl(asio::any_io_executor ex, int fd) : sd(std::move(ex), fd) {
    error_code ec;
    sd.non_blocking(true, ec);
  }
};

PipeWriter::PipeWriter(asio::any_io_executor ex, int fd) : impl_(std::make_unique<Impl>(std::move(ex), fd)) {}
PipeWriter::~PipeWriter() = default;

asio::awaitable<bool> PipeWriter::write(std::string bytes) {
  auto& sd = impl_->sd;
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (!sd.is_open()) co_return false;
    const ssize_t n = write_without_sigpipe(sd.native_handle(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN) co_return false;  // EPIPE: the reader is gone
    error_code ec;
    co_await sd.async_wait(asio::posix::stream_descriptor::wait_write, asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted && sd.is_open()) throw boost::system::system_error(ec);
  }
  co_return true;
}

void PipeWriter::close() {
  error_code ec;
  impl_->sd.close(ec);
}

// ------------------------------------------------------------- ProcessHandle

std::optional<ProcessHandle> ProcessHandle::open(pid_t pid) {
  const int fd = pidfd_open(pid);
  if (fd < 0) return std::nullopt;
  return ProcessHandle(pid, fd);
}

ProcessHandle::ProcessHandle(ProcessHandle&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)), fd_(std::exchange(o.fd_, -1)) {}

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    pid_ = std::exchange(o.pid_, -1);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

ProcessHandle::~ProcessHandle() {
  if (fd_ >= 0) ::close(fd_);
}

bool ProcessHandle::signal(int sig) const { return fd_ >= 0 && pidfd_send_signal(fd_, sig) == 0; }

bool ProcessHandle::exited() const {
  if (fd_ < 0) return true;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

asio::awaitable<bool> ProcessHandle::wait_for_exit(Duration d) const {
  // A pidfd turns readable when its process ends; polled in short steps
  // rather than registered with the loop, since the handle may move.
  const auto deadline = std::chrono::steady_clock::now() + d;
  while (!exited()) {
    if (std::chrono::steady_clock::now() >= deadline) co_return false;
    co_await async::sleep_for(std::chrono::milliseconds(10));
  }
  co_return true;
}

// ----------------------------------------------------------------------- run

namespace {

// One captured stream: everything up to the limit, then its first half and
// a rolling last half.
struct Capture {
  std::string head, tail;
  std::uint64_t cut = 0;
  void add(std::string_view piece, std::size_t limit) {
    if (cut == 0 && head.size() + piece.size() <= limit) {
      head.append(piece);
      return;
    }
    const std::size_t half = limit / 2;
    if (head.size() > half) {  // first overflow: move the excess to the tail
      tail = head.substr(half);
      head.resize(half);
    }
    tail.append(piece);
    if (tail.size() > limit - half) {
      const std::size_t drop = tail.size() - (limit - half);
      cut += drop;
      tail.erase(0, drop);
    }
  }
  std::string text() const {
    if (cut == 0) return head + tail;
    return head + text::cut_note(cut) + tail;
  }
};

struct Drains {
  Capture out, err;
  std::size_t limit = static_cast<std::size_t>(-1);
  int pending = 0;
  std::unique_ptr<asio::steady_timer> all_done;  // cancelled when pending hits 0
  std::function<void(std::string_view)> on_output;
};

asio::awaitable<void> drain(std::shared_ptr<PipeReader> pipe, Capture* sink, std::shared_ptr<Drains> st) {
  try {
    while (auto piece = co_await pipe->read_some()) {
      sink->add(*piece, st->limit);
      if (st->on_output) {
        try {
          st->on_output(*piece);
        } catch (...) {
          // A failing display must not stop the drain (the child would block).
        }
      }
    }
  } catch (...) {
    // Closed or cancelled: whatever was read is kept.
  }
  if (--st->pending == 0) st->all_done->cancel();
}

// Ends a cancelled run in the background with the usual TERM, grace, KILL.
// Takes ownership of `raw` (a plain pointer: g++ 12 lost a moved
// unique_ptr parameter of a coroutine spawned here).
asio::awaitable<void> terminate_in_background(Child* raw, bool group, Duration grace) {
  std::unique_ptr<Child> child(raw);
  co_await child->terminate(grace, group);
}

}  // namespace

asio::awaitable<RunResult> run(std::vector<std::string> argv, RunOptions opts) {
  if (opts.stdin_bytes && opts.stdin_bytes->size() > 65536)
    throw ValueError("standard input of a child is limited to 64 KiB");
  auto ex = co_await asio::this_coro::executor;
  SpawnOptions so;
  so.argv = std::move(argv);
  so.env = std::move(opts.env);
  so.cwd = std::move(opts.cwd);
  so.in = opts.stdin_bytes ? Stdio::pipe : Stdio::null;
  so.out = Stdio::pipe;
  so.err = Stdio::pipe;
  so.new_process_group = opts.new_process_group;
  so.keep_descendants = opts.end_descendants;
  so.confinement = opts.confinement;
  const bool group = opts.new_process_group;
  auto child = std::make_unique<Child>(Child::spawn(ex, std::move(so)));

  auto st = std::make_shared<Drains>();
  st->all_done = std::make_unique<asio::steady_timer>(ex, asio::steady_timer::time_point::max());
  st->on_output = std::move(opts.on_output);
  st->limit = std::max<std::size_t>(opts.capture_limit, 2);
  auto out = child->take_stdout();
  auto err = child->take_stderr();
  // Close both pipes on every way out, so that the drain tasks end even when
  // this coroutine is cancelled.
  struct Closer {
    std::shared_ptr<PipeReader> a, b;
    ~Closer() {
      a->close();
      b->close();
    }
  } closer{out, err};
  st->pending = 2;
  asio::co_spawn(ex, drain(out, &st->out, st), asio::detached);
  asio::co_spawn(ex, drain(err, &st->err, st), asio::detached);

  if (opts.stdin_bytes) child->write_stdin_and_close(*opts.stdin_bytes);

  RunResult result;
  std::exception_ptr failure;
  try {
    std::optional<int> status;
    if (opts.timeout) {
      status = co_await child->wait_for(*opts.timeout);
      if (!status) {
        result.timed_out = true;
        status = co_await child->terminate(opts.kill_grace, group);
      }
    } else {
      status = co_await child->wait();
    }
    result.exit_status = *status;

    if (st->pending > 0) {
      st->all_done->expires_after(opts.drain_grace);
      error_code ec;
      co_await st->all_done->async_wait(asio::redirect_error(asio::use_awaitable, ec));
      co_await async::throw_if_cancelled();
      // A cancelled wait means both drains finished; an expired one that a
      // descendant still holds a pipe open: it is killed with its group,
      // and what was read is used.
      if (st->pending > 0 && group) child->signal_group(SIGKILL);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    // Cancelled (or failed) while the program runs: its whole group is
    // ended in the background (SIGTERM goes out at once, as the task runs
    // up to its first wait right here), so the caller's cancellation is not
    // held up.
    if (!child->poll()) asio::co_spawn(ex, terminate_in_background(child.release(), group, opts.kill_grace), asio::detached);
    else if (group) child->signal_group(SIGKILL);
    std::rethrow_exception(failure);
  }
  out->close();
  err->close();
  if (st->pending > 0) {
    // Let the drain tasks observe the close before their strings are read.
    asio::steady_timer t(ex, std::chrono::milliseconds(0));
    co_await t.async_wait(asio::use_awaitable);
  }
  result.out = st->out.text();
  result.err = st->err.text();
  result.out_cut = st->out.cut;
  result.err_cut = st->err.cut;
  co_return result;
}

RunResult run_sync(std::vector<std::string> argv, RunOptions opts) {
  asio::io_context io;
  std::optional<RunResult> result;
  std::exception_ptr error;
  asio::co_spawn(io, run(std::move(argv), std::move(opts)), [&](std::exception_ptr e, RunResult r) {
    error = e;
    if (!e) result = std::move(r);
  });
  io.run();
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

std::optional<std::string> which(const std::string& name, const std::function<bool(const std::string& path)>& accept) {
  if (name.empty()) return std::nullopt;
  auto executable = [&](const std::string& p) {
    struct stat sb;
    return ::stat(p.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && ::access(p.c_str(), X_OK) == 0 && (!accept || accept(p));
  };
  if (name.find('/') != std::string::npos) return executable(name) ? std::optional(name) : std::nullopt;
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= p.size()) {
    auto end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string dir = p.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string cand = dir + "/" + name;
    if (executable(cand)) return cand;
    start = end + 1;
  }
  return std::nullopt;
}

Environment current_environment() {
  Environment env;
  for (char** e = environ; e && *e; ++e) {
    std::string kv(*e);
    auto eq = kv.find('=');
    if (eq == std::string::npos) continue;
    env.emplace(kv.substr(0, eq), kv.substr(eq + 1));
  }
  return env;
}

}  // namespace dravik::proc
