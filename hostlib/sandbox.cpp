// The sandbox of shell commands: bubblewrap, else Landlock + seccomp.
#include "sandbox.hpp"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <seccomp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------------------- Landlock

// Rights of the file system, by the ABI that brought them.
constexpr std::uint64_t kExecute = 1ull << 0, kWriteFile = 1ull << 1, kReadFile = 1ull << 2, kReadDir = 1ull << 3;
constexpr std::uint64_t kRefer = 1ull << 13, kTruncate = 1ull << 14, kIoctlDev = 1ull << 15;
constexpr std::uint64_t kRead = kExecute | kReadFile | kReadDir;
// What a rule on a file (not a directory) may carry.
constexpr std::uint64_t kFileRights = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;
// Network (ABI 4) and scopes (ABI 6).
constexpr std::uint64_t kBindTcp = 1ull << 0, kConnectTcp = 1ull << 1;
constexpr std::uint64_t kScopeAbstractUnix = 1ull << 0, kScopeSignal = 1ull << 1;

std::uint64_t handled_fs(int abi) {
  std::uint64_t all = (1ull << 13) - 1;  // ABI 1
  if (abi >= 2) all |= kRefer;
  if (abi >= 3) all |= kTruncate;
  if (abi >= 5) all |= kIoctlDev;
  return all;
}

struct RulesetAttr {
  std::uint64_t handled_access_fs = 0;
  std::uint64_t handled_access_net = 0;
  std::uint64_t scoped = 0;
};

struct __attribute__((packed)) PathBeneath {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};

// Adds `rights` beneath `path` (a file gets only the rights files take);
// a path that does not exist, or is a symbolic link, is skipped.
void add_rule(int ruleset, const fs::path& path, std::uint64_t rights, std::uint64_t handled) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat st{};
  if (::fstat(fd, &st) == 0 && !S_ISLNK(st.st_mode)) {
    if (!S_ISDIR(st.st_mode)) rights &= kFileRights;
    PathBeneath rule{rights & handled, fd};
    ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0u);
  }
  ::close(fd);
}

// Read rights on the whole tree but the home directory: on every directory
// on the way to it, its other entries get them.
void add_read_except(int ruleset, const fs::path& hidden, std::uint64_t handled) {
  if (hidden.empty() || hidden == "/" || !hidden.is_absolute()) {
    add_rule(ruleset, "/", kRead, handled);
    return;
  }
  fs::path dir = "/";
  for (const auto& part : hidden.relative_path()) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
      if (e.path().filename() != part) add_rule(ruleset, e.path(), kRead, handled);
    dir /= part;
  }
}

// ------------------------------------------------------------- seccomp

// Without the network, every socket family but netlink (which tools like ip
// and ss read) is refused: Unix sockets too, since the agents, buses and
// terminals of the user's session listen on them (socketpair stays).
// Before Landlock ABI 3, truncate(2) of a path is refused as well (that ABI
// cannot deny it), and kill(-1) always.
std::vector<std::uint64_t> seccomp_filter(int abi, bool network) {
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (!ctx) return {};
  bool ok = true;
  if (abi < 3) ok = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(truncate), 0) == 0;
  for (int family = 0; family < AF_MAX && ok && !network; ++family)
    if (family != AF_NETLINK)
      ok = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 1,
                            SCMP_A0_32(SCMP_CMP_EQ, static_cast<std::uint32_t>(family))) == 0;
  // Families the headers do not know yet.
  if (!network)
    ok = ok && seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 1,
                                SCMP_A0_32(SCMP_CMP_GE, static_cast<std::uint32_t>(AF_MAX))) == 0;
  // kill(-1) reaches every process of the user: refused, whatever the ABI.
  ok = ok && seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(kill), 1, SCMP_A0_32(SCMP_CMP_EQ, 0xffffffffu)) == 0;
  // io_uring opens sockets without socket(2).
  ok = ok && seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(io_uring_setup), 0) == 0;
  std::vector<std::uint64_t> program;
  const int fd = ok ? ::memfd_create("dravik-seccomp", MFD_CLOEXEC) : -1;
  if (fd >= 0 && seccomp_export_bpf(ctx, fd) == 0) {
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size > 0 && size % 8 == 0) {
      program.resize(static_cast<std::size_t>(size) / 8);
      if (::pread(fd, program.data(), static_cast<std::size_t>(size), 0) != size) program.clear();
    }
  }
  if (fd >= 0) ::close(fd);
  seccomp_release(ctx);
  return program;
}

// ---------------------------------------------------------------- probes

// A program only root can have put there (the file and its directory are
// root's, writable by no one else): a bwrap a command could have written
// must not be taken for the sandbox.
bool roots_only(const std::string& path) {
  struct stat st{}, dir_st{};
  const std::string dir = fs::path(path).parent_path().string();
  return ::stat(path.c_str(), &st) == 0 && ::stat(dir.c_str(), &dir_st) == 0 && st.st_uid == 0 &&
         dir_st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && (dir_st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string first_line(const std::string& s) {
  const std::string t = config::trim(s);
  return text::escape_controls(t.substr(0, t.find('\n')));
}

// A variable that may hold a secret, or lead to one (an agent's socket, the
// session bus, the terminal multiplexer), by its name or its value.
bool secret_variable(const std::string& name, const std::string& value) {
  const std::string n = config::lower(name);
  auto ends = [&](const char* s) {
    return n.size() >= std::strlen(s) && n.compare(n.size() - std::strlen(s), std::string::npos, s) == 0;
  };
  for (const char* e : {"key", "keys", "token", "tokens", "secret", "secrets", "_pass", "_pwd", "_jwt", "apikey"})
    if (ends(e)) return true;
  for (const char* part : {"password", "passwd", "credential", "session"})
    if (n.find(part) != std::string::npos) return true;
  static const char* const kPointers[] = {"ssh_auth_sock", "ssh_agent_pid", "gpg_agent_info", "dbus_session_bus_address",
                                          "tmux", "tmux_pane", "sty", "display", "wayland_display", "xdg_runtime_dir",
                                          "kitty_listen_on", "wezterm_unix_socket"};
  for (const char* p : kPointers)
    if (n == p) return true;
  // Credentials in a URL, and tokens of the well-known shapes.
  const auto scheme = value.find("://");
  if (scheme != std::string::npos) {
    const auto at = value.find('@', scheme);
    const auto colon = value.find(':', scheme + 3);
    if (at != std::string::npos && colon != std::string::npos && colon < at) return true;
  }
  for (const char* prefix : {"ghp_", "gho_", "github_pat_", "glpat-", "sk-", "xox"})
    if (value.rfind(prefix, 0) == 0) return true;
  return false;
}

fs::path canonical_or(const fs::path& p) {
  std::error_code ec;
  const auto c = fs::weakly_canonical(p, ec);
  return ec ? p : c;
}

}  // namespace

int landlock_abi() {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

std::shared_ptr<Sandbox> Sandbox::probe(fs::path project, fs::path home, SandboxSettings settings,
                                        const std::string& force) {
  std::shared_ptr<Sandbox> sb(new Sandbox(canonical_or(project), canonical_or(home), std::move(settings)));
  std::vector<std::string> why;
  if (force == "none") why.push_back("no mechanism tried (DRAVIK_TEST_SANDBOX=none)");
  // The home cannot be hidden from a project that holds it.
  if (sb->project_ == "/" || (!sb->home_.empty() && files::is_within(sb->home_, sb->project_))) {
    sb->why_not_ = "the project directory " + sb->project_.string() + " holds your home directory, which a sandbox "
                   "of it cannot hide; start dravik in the project itself";
    sb->level_ = SandboxLevel::none;
    return sb;
  }
  if (force.empty() || force == "bubblewrap") {
    if (const auto bwrap = proc::which("bwrap", roots_only); !bwrap) {
      why.push_back("bwrap not found on PATH");
    } else {
      sb->bwrap_ = *bwrap;
      proc::RunOptions o;
      o.timeout = std::chrono::seconds(10);
      const auto version = proc::run_sync({*bwrap, "--version"}, o);
      sb->bwrap_version_ = first_line(version.out);
      std::vector<std::string> argv = sb->bwrap_argv(sb->project_);
      argv.push_back("true");
      o.cwd = sb->project_.string();
      const auto tried = proc::run_sync(argv, o);
      if (tried.exit_status == 0) {
        sb->level_ = SandboxLevel::bubblewrap;
        return sb;
      }
      why.push_back("bubblewrap does not work here (" + first_line(tried.err + tried.out) + ")");
    }
  }
  if (force.empty() || force == "bubblewrap" || force == "landlock") {
    sb->landlock_abi_ = landlock_abi();
    if (sb->landlock_abi_ == 0) {
      why.push_back("this kernel has no Landlock");
    } else {
      sb->seccomp_ = seccomp_filter(sb->landlock_abi_, sb->settings_.network);
      const int fd = sb->landlock_ruleset();
      if (fd >= 0 && !sb->seccomp_.empty()) {
        ::close(fd);
        sb->why_not_ = text::join(why, "; ");
        sb->level_ = SandboxLevel::landlock;
        return sb;
      }
      if (fd >= 0) ::close(fd);
      why.push_back("Landlock or seccomp could not be set up");
    }
  }
  sb->why_not_ = text::join(why, "; ");
  sb->level_ = SandboxLevel::none;
  return sb;
}

std::shared_ptr<Sandbox> Sandbox::turned_off(fs::path project, fs::path home, SandboxSettings settings) {
  std::shared_ptr<Sandbox> sb(new Sandbox(canonical_or(project), canonical_or(home), std::move(settings)));
  sb->level_ = SandboxLevel::off;
  sb->why_not_ = "turned off with --no-sandbox";
  return sb;
}

std::vector<std::string> Sandbox::bwrap_argv(const fs::path& cwd) const {
  // Order matters: a later mount covers an earlier one, so /tmp and the
  // home are emptied before the project (which may lie in either) is put
  // back.
  // /run holds the sockets of the user's agents, buses and terminals.
  std::vector<std::string> a = {bwrap_, "--ro-bind", "/",     "/",    "--dev",   "/dev", "--proc",
                                "/proc", "--tmpfs",   "/tmp", "--tmpfs", "/run"};
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status("/var/run", ec))) a.insert(a.end(), {"--tmpfs", "/var/run"});
  if (settings_.network)
    for (const char* dns : {"/run/systemd/resolve", "/run/resolvconf", "/run/NetworkManager"})
      a.insert(a.end(), {"--ro-bind-try", dns, dns});
  const bool hide_home = !home_.empty() && home_ != "/" && home_ != project_;
  if (hide_home) {
    a.insert(a.end(), {"--tmpfs", home_.string()});
    for (const auto& rel : kHomeAllowList) a.insert(a.end(), {"--ro-bind-try", (home_ / rel).string(), (home_ / rel).string()});
  }
  // Also those in /tmp, which is emptied above.
  for (const auto& r : settings_.readable) a.insert(a.end(), {"--ro-bind-try", r.string(), r.string()});
  a.insert(a.end(), {"--bind", project_.string(), project_.string()});
  for (const auto& w : settings_.writable) a.insert(a.end(), {"--bind-try", w.string(), w.string()});
  // Last: no wider bind covers them again.
  for (const char* ro : {".git", ".dravik"})
    a.insert(a.end(), {"--ro-bind-try", (project_ / ro).string(), (project_ / ro).string()});
  if (!settings_.network) a.push_back("--unshare-net");
  a.insert(a.end(), {"--unshare-ipc", "--unshare-pid", "--die-with-parent", "--new-session", "--cap-drop", "ALL", "--chdir",
                     cwd.string(), "--"});
  return a;
}

bool Sandbox::in_scratch() const {
  for (const char* scratch : {"/tmp", "/var/tmp", "/dev/shm"})
    for (const fs::path& p : {project_, home_})
      if (files::is_within(p, scratch)) return true;
  return false;
}

int Sandbox::landlock_ruleset() const {
  const int abi = landlock_abi_;
  RulesetAttr attr;
  attr.handled_access_fs = handled_fs(abi);
  std::size_t size = sizeof(std::uint64_t);
  if (abi >= 4) {
    size = 2 * sizeof(std::uint64_t);
    if (!settings_.network) attr.handled_access_net = kBindTcp | kConnectTcp;
  }
  if (abi >= 6) {
    size = sizeof attr;
    attr.scoped = kScopeSignal | (settings_.network ? 0 : kScopeAbstractUnix);
  }
  const int fd = static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, size, 0u));
  if (fd < 0) return -1;
  const std::uint64_t all = attr.handled_access_fs;
  add_read_except(fd, home_ == project_ ? fs::path() : home_, all);
  for (const auto& rel : kHomeAllowList) add_rule(fd, home_ / rel, kRead, all);
  for (const auto& r : settings_.readable) add_rule(fd, r, kRead, all);
  // Devices commands write to; not the terminals or input devices.
  for (const char* dev : {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom", "/dev/tty"})
    add_rule(fd, dev, kRead | kWriteFile | kTruncate | kIoctlDev, all);
  for (const char* scratch : {"/tmp", "/var/tmp", "/dev/shm"}) add_rule(fd, scratch, all, all);
  // The project: its entries, not itself, since .git and .dravik lie in it
  // and a rule covers everything beneath.
  add_rule(fd, project_, kRead, all);
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(project_, ec)) {
    const std::string name = e.path().filename().string();
    if (name != ".git" && name != ".dravik") add_rule(fd, e.path(), all, all);
  }
  for (const auto& w : settings_.writable) add_rule(fd, w, all, all);
  return fd;
}

Sandbox::Prepared Sandbox::prepare(std::vector<std::string> argv, const proc::Environment& env,
                                   const fs::path& cwd) const {
  Prepared p;
  p.env = level_ == SandboxLevel::off ? env : without_secrets(env);
  p.confinement = proc::Confinement{};
  p.confinement->new_session = true;  // never the host's terminal, at any level
  if (level_ == SandboxLevel::bubblewrap) {
    // A link would be followed by the mount: .git -> .. would show the
    // real home in place of the hidden one.
    for (const char* ro : {".git", ".dravik"}) {
      std::error_code ec;
      if (fs::is_symlink(fs::symlink_status(project_ / ro, ec)))
        throw OSError(ELOOP, std::string("the project's ") + ro + " is a symbolic link, which the sandbox cannot keep "
                             "read-only; replace it with the directory itself");
    }
    p.argv = bwrap_argv(cwd);
    p.argv.insert(p.argv.end(), argv.begin(), argv.end());
    return p;
  }
  p.argv = std::move(argv);
  if (level_ != SandboxLevel::landlock) return p;
  const int fd = landlock_ruleset();
  if (fd < 0) throw OSError(errno, std::string("cannot set up the sandbox (Landlock): ") + std::strerror(errno));
  p.ruleset = std::shared_ptr<void>(nullptr, [fd](void*) { ::close(fd); });
  p.confinement->no_new_privs = true;
  p.confinement->landlock_ruleset = fd;
  p.confinement->seccomp_filter = seccomp_;
  return p;
}

proc::Environment Sandbox::without_secrets(proc::Environment env) const {
  for (auto it = env.begin(); it != env.end();) {
    const bool named = std::find(settings_.secret_env.begin(), settings_.secret_env.end(), it->first) !=
                       settings_.secret_env.end();
    it = named || secret_variable(it->first, it->second) ? env.erase(it) : std::next(it);
  }
  return env;
}

std::string Sandbox::describe() const {
  const std::string net = settings_.network ? "network allowed" : "no network";
  switch (level_) {
    case SandboxLevel::bubblewrap:
      return (bwrap_version_.empty() ? std::string("bubblewrap") : bwrap_version_) +
             " (project writable; .git, .dravik read-only; home hidden; " + net + ")";
    case SandboxLevel::landlock:
      return "Landlock ABI " + std::to_string(landlock_abi_) + " + seccomp" +
             " (project writable, but not its top level; .git, .dravik read-only; home hidden; " + net +
             (in_scratch() ? "; but the project or the home lies in a scratch directory (/tmp, /var/tmp), "
                             "which stays writable, .git and the home with it"
                           : "") +
             "; lacking: a private /tmp, a PID namespace" +
             (landlock_abi_ >= 6 ? "" : ", so other processes can be signalled") +
             "; file modes and times outside the project can still be changed)";
    case SandboxLevel::none:
      return "none: " + why_not_ + "; every shell command is asked about (install bubblewrap: sudo apt install bubblewrap)";
    case SandboxLevel::off:
      return "off (--no-sandbox): shell commands run with all your rights";
  }
  return "";
}

std::string Sandbox::for_the_model() const {
  if (!confines()) return "";
  std::string s = "It runs in a sandbox: the project is writable except .git and .dravik";
  if (level_ == SandboxLevel::landlock) s += " (entries directly in the project root cannot be created or removed)";
  s += "; the rest is read-only; the home directory is hidden";
  if (!settings_.network) s += "; no network";
  if (level_ == SandboxLevel::bubblewrap) s += "; background processes end with the command";
  return s + ". A command the sandbox blocks can be asked to run outside it: outside_sandbox true, with a reason.";
}

bool Sandbox::looks_refused(const std::string& output) {
  static const char* const kSigns[] = {"Read-only file system", "Permission denied", "Network is unreachable",
                                       "Operation not permitted", "Temporary failure in name resolution",
                                       "Could not resolve host", "cannot confine the command"};
  for (const char* s : kSigns)
    if (output.find(s) != std::string::npos) return true;
  return false;
}

}  // namespace dravik::hostlib
