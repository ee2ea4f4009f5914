// What the client does to the machine around a launch: stale-process
// cleanup, memory measurement and compaction, Jetson clock pinning.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sidecar/detail/seams.hpp"
#include "sidecar/sidecar.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/process/process.hpp"
#include "support/text.hpp"

namespace dravik::sidecar {

namespace asio = boost::asio;
using detail::sys_path;

namespace {

// Writes `text` like opening the file for writing does (create, truncate);
// false on any operating-system error.
bool write_file(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  try {
    files::write_all(fd, text, path);
  } catch (const OSError&) {
    ::close(fd);
    return false;
  }
  return ::close(fd) == 0;
}

std::vector<std::string> split_ws(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool all_digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The program name (lower-cased base name of the first non-empty argument)
// of /proc/<pid>/cmdline, or "" when unreadable.
std::string program_of(const std::string& proc_dir, const std::string& pid) {
  auto cmdline = files::try_read_file(proc_dir + "/" + pid + "/cmdline");
  if (!cmdline || cmdline->empty()) return "";
  std::string decoded = text::sanitize_utf8(*cmdline, "");
  std::string first;
  std::size_t start = 0;
  while (start < decoded.size()) {
    auto end = decoded.find('\0', start);
    if (end == std::string::npos) end = decoded.size();
    if (end > start) {
      first = decoded.substr(start, end - start);
      break;
    }
    start = end + 1;
  }
  auto slash = first.rfind('/');
  return config::lower(slash == std::string::npos ? first : first.substr(slash + 1));
}

bool is_inference_program(const std::string& exe) { return exe == "llama-server" || exe == "ollama"; }

const char* const kMeminfoLabels[] = {"MemTotal:", "MemAvailable:", "MemFree:",   "Cached:",    "AnonPages:",
                                      "Shmem:",    "CmaTotal:",     "CmaFree:",   "SwapTotal:", "SwapFree:"};

constexpr const char* kSudoersFile = "/etc/sudoers.d/dravik-clocks";
// Restricted to running the tool without arguments (sudoers' `""`): its
// options read and write files as root.
constexpr const char* kSudoersRule = "ALL ALL=(ALL) NOPASSWD: /usr/bin/jetson_clocks \"\"\n";
// The synchronous system actions block the host's loop: they keep to their
// stated time-out plus a short grace for killing the program (and whatever
// it started) and for collecting its output.
proc::RunOptions system_action(std::chrono::milliseconds timeout) {
  proc::RunOptions o;
  o.timeout = timeout;
  o.kill_grace = detail::seams().system_action_grace;
  o.drain_grace = detail::seams().system_action_grace;
  return o;
}

constexpr const char* kDevfreqDir = "/sys/devices/platform/bus@0/17000000.gpu/devfreq/17000000.gpu";

}  // namespace

// ------------------------------------------------------------ stale processes

std::vector<pid_t> SidecarClient::_find_stale_inference_pids() {
  const uid_t uid = ::getuid();
  const pid_t self = ::getpid();
  const std::string proc_dir = sys_path("/proc");
  DIR* dir = ::opendir(proc_dir.c_str());
  if (!dir) throw OSError(errno, "cannot list " + proc_dir + ": " + std::strerror(errno));
  std::vector<pid_t> stale;
  while (dirent* ent = ::readdir(dir)) {
    std::string name = ent->d_name;
    if (!all_digits(name) || name.size() > 9) continue;
    auto pid = static_cast<pid_t>(std::stol(name));
    if (pid == self) continue;
    auto status = files::try_read_file(proc_dir + "/" + name + "/status");
    if (!status) continue;
    std::string uid_line;
    std::istringstream lines(*status);
    for (std::string l; std::getline(lines, l);) {
      if (text::starts_with(l, "Uid:")) {
        uid_line = l;
        break;
      }
    }
    auto fields = split_ws(uid_line);
    if (fields.size() < 2 || !all_digits(fields[1])) continue;
    if (config::parse_int64(fields[1]) != static_cast<std::int64_t>(uid)) continue;
    if (is_inference_program(program_of(proc_dir, name))) stale.push_back(pid);
  }
  ::closedir(dir);
  return stale;
}

bool SidecarClient::_pid_exists(pid_t pid) {
  struct stat sb;
  return ::stat((sys_path("/proc") + "/" + std::to_string(pid)).c_str(), &sb) == 0;
}

asio::awaitable<void> SidecarClient::_cleanup_stale_inference_processes() {
  const auto stale = _find_stale_inference_pids();
  if (stale.empty()) co_return;
  // Each process is pinned by a pidfd now, and its name read again through
  // /proc once pinned: a pid that was reused since the scan is skipped.
  const std::string proc_dir = sys_path("/proc");
  std::vector<proc::ProcessHandle> pinned;
  for (pid_t pid : stale) {
    auto handle = proc::ProcessHandle::open(pid);
    if (handle && is_inference_program(program_of(proc_dir, std::to_string(pid))) && handle->signal(0))
      pinned.push_back(std::move(*handle));
  }
  Json ids = Json::array();
  for (std::size_t i = 0; i < stale.size() && i < 8; ++i) ids.push_back(stale[i]);
  _emit_diagnostic("runtime_llama_cleanup_stale_processes",
                   Json{{"stale_pid_count", stale.size()}, {"stale_pids", ids}});
  // A process we may not signal (EPERM) or that is gone is skipped.
  for (const auto& p : pinned) p.signal(SIGTERM);
  co_await async::sleep_for(detail::seams().cleanup_term_wait);
  for (const auto& p : pinned)
    if (_pid_exists(p.pid())) p.signal(SIGKILL);
  co_await async::sleep_for(detail::seams().cleanup_kill_wait);
}

// --------------------------------------------------------- memory preparation

Json SidecarClient::_read_meminfo_fields() {
  Json out = Json::object();
  auto text = files::try_read_file(sys_path("/proc/meminfo"));
  if (!text) return out;
  std::istringstream lines(*text);
  for (std::string l; std::getline(lines, l);) {
    auto f = split_ws(l);
    if (f.size() < 2) continue;
    bool known = false;
    for (const char* label : kMeminfoLabels) known = known || f[0] == label;
    if (!known) continue;
    auto kb = config::parse_int64(f[1]);
    if (!kb) continue;
    std::string key = config::lower(f[0].substr(0, f[0].find_last_not_of(':') + 1)) + "_mb";
    out[key] = config::round2(static_cast<double>(*kb) / 1024.0);
  }
  return out;
}

std::optional<double> SidecarClient::_largest_free_block_mb_from_text(const std::string& text,
                                                                      std::int64_t page_size_kb) {
  int max_order = -1;
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) {
    std::string t = config::trim(l);
    if (!text::starts_with(t, "Node ")) continue;
    auto f = split_ws(t);
    for (std::size_t i = 4; i < f.size(); ++i) {
      auto count = config::parse_int64(f[i]);
      int order = static_cast<int>(i - 4);
      if (count && *count > 0 && order > max_order) max_order = order;
    }
  }
  if (max_order < 0) return std::nullopt;
  return static_cast<double>(page_size_kb) * std::ldexp(1.0, max_order) / 1024.0;
}

std::optional<double> SidecarClient::_largest_free_block_mb() {
  auto text = files::try_read_file(sys_path("/proc/buddyinfo"));
  if (!text) return std::nullopt;
  long page = detail::seams().page_size_bytes.value_or(::sysconf(_SC_PAGESIZE));
  std::int64_t page_kb = page / 1024;
  if (page_kb <= 0) page_kb = 4;
  return _largest_free_block_mb_from_text(*text, page_kb);
}

Json SidecarClient::_memory_snapshot() {
  Json snapshot = _read_meminfo_fields();
  if (auto lfb = _largest_free_block_mb()) snapshot["largest_free_block_mb"] = config::round2(*lfb);
  return snapshot;
}

StartupProfile SidecarClient::_startup_profile_for_lfb(std::optional<double> lfb_mb) {
  StartupProfile normal{128, 32, true, false};
  if (!lfb_mb) return normal;
  if (*lfb_mb < detail::FRAGMENTED_LFB_MB) return StartupProfile{128, 32, true, true};
  return normal;
}

void SidecarClient::_compact_memory() {
  try {
    proc::run_sync({"sync"}, system_action(std::chrono::seconds(5)));
  } catch (const OSError&) {
    // No "sync" to run: the caches are dropped anyway.
  }
  if (!write_file(sys_path("/proc/sys/vm/drop_caches"), "3")) return;
  write_file(sys_path("/proc/sys/vm/compact_memory"), "1");
}

asio::awaitable<std::optional<double>> SidecarClient::_prepare_memory_for_launch() {
  auto lfb = _largest_free_block_mb();
  for (int round = 0; round < 3; ++round) {
    if (lfb && *lfb >= detail::FRAGMENTED_LFB_MB) co_return lfb;
    _compact_memory();
    co_await async::sleep_for(detail::seams().compaction_wait);
    lfb = _largest_free_block_mb();
  }
  co_return lfb;
}

// --------------------------------------------------------------- clock tuning

void SidecarClient::_ensure_jetson_clocks_sudoers() {
  const std::string file = sys_path(kSudoersFile);
  struct stat sb;
  if (::stat(file.c_str(), &sb) == 0) return;
  try {
    // sudo may ask for the password on the terminal: it stays in the
    // host's process group, which owns the terminal.
    proc::RunOptions tee = system_action(std::chrono::seconds(30));
    tee.stdin_bytes = kSudoersRule;
    tee.new_process_group = false;
    if (proc::run_sync({"sudo", "tee", file}, tee).timed_out) return;
    proc::RunOptions chmod = system_action(std::chrono::seconds(5));
    chmod.new_process_group = false;
    proc::run_sync({"sudo", "chmod", "0440", file}, chmod);
  } catch (const OSError&) {
    // No sudo on this machine: retried at the next launch.
  }
}

void SidecarClient::_maximize_gpu_clocks() {
  // Clock pinning is best effort: a machine without sudo, or a clock tool
  // that hangs, falls back to the devfreq files like a failing tool does.
  try {
    auto r = proc::run_sync({"sudo", "-n", "jetson_clocks"}, system_action(std::chrono::seconds(5)));
    if (!r.timed_out && r.exit_status == 0) return;
  } catch (const OSError&) {
  }
  const std::string dir = sys_path(kDevfreqDir);
  auto max_freq = files::try_read_file(dir + "/max_freq");
  if (!max_freq) return;
  write_file(dir + "/min_freq", config::trim(*max_freq));
}

}  // namespace dravik::sidecar
