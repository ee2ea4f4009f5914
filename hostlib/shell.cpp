// The shell executor: commands through /bin/sh in the working directory, and
// the file tools. Every ordinary failure is a text the model can act on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "dravik_host.hpp"
#include "paths.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/process.hpp"
#include "support/text.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;

namespace detail {

Resolved resolve_in(const fs::path& workdir, const std::string& given) {
  Resolved r;
  if (given.empty() || config::trim(given).empty()) {
    r.error = "Error: empty path";
    return r;
  }
  if (given.find('\0') != std::string::npos) {
    r.error = "Error: the path contains a NUL character";
    return r;
  }
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(workdir, ec);
  const fs::path candidate = fs::path(given).is_absolute() ? fs::path(given) : workdir / given;
  // Symbolic links are followed as far as the path exists: a link that
  // leads out of the working directory is outside.
  fs::path real = fs::weakly_canonical(candidate, ec);
  if (ec) {
    r.error = "Error: cannot resolve " + given + ": " + ec.message();
    return r;
  }
  const std::string rs = real.string(), roots = root.string();
  if (rs != roots && rs.compare(0, roots.size() + 1, roots + "/") != 0) {
    r.error = "Error: " + given + " is outside the working directory " + roots;
    return r;
  }
  r.path = real;
  r.shown = given;
  return r;
}

std::string relative_to(const fs::path& p, const fs::path& workdir) {
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(workdir, ec);
  const std::string s = p.string(), r = root.string();
  if (s == r) return ".";
  if (s.compare(0, r.size() + 1, r + "/") == 0) return s.substr(r.size() + 1);
  return s;
}

bool looks_binary(std::string_view head) { return head.substr(0, 8192).find('\0') != std::string_view::npos; }

// The end of `text` cut back to a whole UTF-8 sequence.
std::size_t utf8_boundary(std::string_view text, std::size_t n) {
  if (n >= text.size()) return text.size();
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

TextFile read_text(const Resolved& r, std::size_t cap) {
  TextFile t;
  std::error_code ec;
  const auto st = fs::status(r.path, ec);
  if (ec || !fs::exists(st)) {
    t.error = "Error: " + r.shown + " does not exist";
    return t;
  }
  if (fs::is_directory(st)) {
    t.error = "Error: " + r.shown + " is a directory (use list_directory)";
    return t;
  }
  const int fd = ::open(r.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    t.error = "Error: cannot read " + r.shown + ": " + std::strerror(errno);
    return t;
  }
  struct stat sb{};
  ::fstat(fd, &sb);
  t.size = static_cast<std::uint64_t>(sb.st_size);
  t.text.resize(std::min<std::uint64_t>(t.size, cap) + 1);
  std::size_t got = 0;
  while (got < t.text.size()) {
    const ssize_t n = ::read(fd, t.text.data() + got, t.text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  t.text.resize(got);
  if (t.text.size() > cap) {
    t.truncated = true;
    t.text.resize(cap);
  }
  if (looks_binary(t.text)) {
    t.error = "Error: " + r.shown + " is a binary file";
    return t;
  }
  if (t.truncated) t.text.resize(utf8_boundary(t.text, t.text.size()));
  if (text::sanitize_utf8(t.text) != t.text) {
    t.error = "Error: " + r.shown + " is not UTF-8 text";
    return t;
  }
  t.ok = true;
  return t;
}

std::string write_atomically(const fs::path& target, const std::string& content, std::optional<mode_t> keep_mode) {
  std::string tmpl = (target.parent_path() / ("." + target.filename().string() + ".dravik-XXXXXX")).string();
  const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return std::string("cannot create a temporary file: ") + std::strerror(errno);
  std::string error;
  try {
    files::write_all(fd, content, tmpl);
  } catch (const OSError& e) {
    error = e.what();
  }
  if (error.empty()) {
    mode_t mode = keep_mode.value_or(0644);
    if (!keep_mode) {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    if (::fsync(fd) != 0) error = std::string("cannot flush: ") + std::strerror(errno);
  }
  if (::close(fd) != 0 && error.empty()) error = std::string("cannot write: ") + std::strerror(errno);
  if (error.empty() && ::rename(tmpl.c_str(), target.c_str()) != 0)
    error = std::string("cannot replace the file: ") + std::strerror(errno);
  if (!error.empty()) ::unlink(tmpl.c_str());
  return error;
}

}  // namespace detail

using namespace detail;

LocalShellExecutor::LocalShellExecutor(ShellOptions options) : o_(std::move(options)) {
  if (o_.workdir.empty()) o_.workdir = fs::current_path();
}

boost::asio::awaitable<host::ExecResult> LocalShellExecutor::run_shell(std::string command,
                                                                       std::int64_t timeout_seconds) {
  host::ExecResult res;
  res.timeout_seconds = timeout_seconds;
  proc::RunOptions o;
  o.cwd = o_.workdir.string();
  if (timeout_seconds > 0) o.timeout = std::chrono::seconds(std::min<std::int64_t>(timeout_seconds, 24 * 3600));
  o.kill_grace = o_.kill_grace;
  o.drain_grace = std::chrono::seconds(1);
  o.capture_limit = o_.output_cap;
  // A time-out or a cancellation ends everything the command started, also
  // what left its process group or session; after a normal exit its
  // background processes stay.
  o.end_descendants = true;
  if (o_.airgapped) {
    // The same offline environment llama-server gets.
    host::Environment env = proc::current_environment();
    host::isolation_policy().apply_airgap_env(env, true);
    o.env = std::move(env);
  }
  std::vector<std::string> argv{"/bin/sh", "-c", command};
  auto ran = co_await async::attempt(proc::run(std::move(argv), std::move(o)));
  if (ran.error) {
    res.summary = "Error: cannot run the command: " + error_text(ran.error);
    co_return res;
  }
  const proc::RunResult& r = *ran.value;
  res.stdout_text = text::sanitize_utf8(r.out);
  res.stderr_text = text::sanitize_utf8(r.err);
  res.timed_out = r.timed_out;
  if (!r.timed_out) res.exit_code = r.exit_status;
  res.ok = !r.timed_out && r.exit_status == 0;
  std::string summary;
  if (r.timed_out) summary = "Timed out after " + std::to_string(timeout_seconds) + " s; the command was stopped.";
  else if (r.exit_status < 0) summary = "Killed by signal " + std::to_string(-r.exit_status) + ".";
  else summary = "Exit code " + std::to_string(r.exit_status) + ".";
  if (r.out_cut > 0 || r.err_cut > 0)
    summary += " Output was long: " + std::to_string(r.out_cut + r.err_cut) + " bytes from its middle are not shown.";
  if (!res.stdout_text.empty()) summary += "\nstdout:\n" + res.stdout_text;
  if (!res.stderr_text.empty()) summary += "\nstderr:\n" + res.stderr_text;
  if (res.stdout_text.empty() && res.stderr_text.empty()) summary += " (no output)";
  res.summary = std::move(summary);
  co_return res;
}

std::string LocalShellExecutor::read_file_now(const std::string& path) {
  const Resolved r = resolve_in(o_.workdir, path);
  if (!r.error.empty()) return r.error;
  const TextFile t = read_text(r, o_.read_cap);
  if (!t.ok) return t.error;
  if (t.text.empty()) return "(" + r.shown + " is empty)";
  std::string out;
  std::size_t start = 0;
  for (int n = 1; start < t.text.size(); ++n) {
    auto nl = t.text.find('\n', start);
    if (nl == std::string::npos) nl = t.text.size();
    char num[16];
    std::snprintf(num, sizeof num, "%6d\t", n);
    out += num;
    out.append(t.text, start, nl - start);
    out += '\n';
    start = nl + 1;
  }
  if (t.truncated)
    out += "[... shown " + std::to_string(t.text.size()) + " of " + std::to_string(t.size) +
           " bytes; use grep or load_file for the rest]\n";
  return out;
}

std::string LocalShellExecutor::write_file_now(const std::string& path, const std::string& content) {
  const Resolved r = resolve_in(o_.workdir, path);
  if (!r.error.empty()) return r.error;
  std::error_code ec;
  if (fs::is_directory(r.path, ec)) return "Error: " + r.shown + " is a directory";
  std::optional<mode_t> mode;
  struct stat sb{};
  if (::stat(r.path.c_str(), &sb) == 0) mode = sb.st_mode & 07777;
  fs::create_directories(r.path.parent_path(), ec);
  if (ec) return "Error: cannot create the directory of " + r.shown + ": " + ec.message();
  const std::string error = write_atomically(r.path, content, mode);
  if (!error.empty()) return "Error: cannot write " + r.shown + ": " + error;
  return "Wrote " + std::to_string(content.size()) + " bytes to " + r.shown;
}

std::string LocalShellExecutor::list_now(const Json& path) {
  if (!path.is_null() && !path.is_string()) return "Error: path must be a string";
  const std::string given = path.is_string() && !config::trim(path.get<std::string>()).empty()
                                ? path.get<std::string>()
                                : std::string(".");
  const Resolved r = resolve_in(o_.workdir, given);
  if (!r.error.empty()) return r.error;
  std::error_code ec;
  if (!fs::exists(r.path, ec)) return "Error: " + given + " does not exist";
  if (!fs::is_directory(r.path, ec)) return "Error: " + given + " is not a directory";
  std::vector<std::string> names;
  std::size_t total = 0;
  for (fs::directory_iterator it(r.path, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (++total > o_.walk_cap) break;
    std::string name = text::escape_controls(it->path().filename().string());
    if (it->is_directory(ec)) name += "/";
    names.push_back(std::move(name));
  }
  if (ec) return "Error: cannot list " + given + ": " + ec.message();
  std::sort(names.begin(), names.end());
  if (names.empty()) return "(" + given + " is empty)";
  std::string out;
  for (std::size_t i = 0; i < names.size() && i < o_.list_cap; ++i) out += names[i] + "\n";
  if (names.size() > o_.list_cap) out += "(" + std::to_string(names.size() - o_.list_cap) + " more not shown)\n";
  return out;
}

host::LoadFileResult LocalShellExecutor::load_now(const std::string& path, std::optional<std::int64_t> max_tokens) {
  host::LoadFileResult res;
  std::optional<double> available_mb;
  try {
    if (auto snap = host::memory_limits_probe().read_memory_snapshot()) available_mb = snap->available_mb;
  } catch (const host::ServiceNotInstalledError&) {
  }
  // The budget: what was asked for (4,000 tokens by default), never more
  // than a small share of the free memory (about 4 bytes a token).
  std::int64_t budget = max_tokens && *max_tokens > 0 ? *max_tokens : 4000;
  if (available_mb && std::isfinite(*available_mb))
    budget = std::min<std::int64_t>(budget, std::max<std::int64_t>(256, static_cast<std::int64_t>(*available_mb * 64)));
  budget = std::min<std::int64_t>(budget, 1 << 20);
  const Resolved r = resolve_in(o_.workdir, path);
  if (!r.error.empty()) {
    res.detail = r.error;
    return res;
  }
  const TextFile t = read_text(r, static_cast<std::size_t>(budget) * 4);
  if (!t.ok) {
    res.detail = t.error;
    return res;
  }
  const std::int64_t estimated = static_cast<std::int64_t>((t.size + 3) / 4);
  const std::int64_t returned = static_cast<std::int64_t>((t.text.size() + 3) / 4);
  res.ok = true;
  res.content = t.text;
  res.truncated = t.truncated;
  res.estimated_tokens = estimated;
  res.returned_tokens = returned;
  res.token_budget = budget;
  res.mem_available_mb = available_mb ? Json(*available_mb) : Json();
  res.summary = r.shown + ": " + std::to_string(t.size) + " bytes, about " + std::to_string(estimated) + " tokens" +
                (t.truncated ? "; the first " + std::to_string(returned) + " tokens are loaded (budget " +
                                   std::to_string(budget) + ")"
                             : "; loaded whole");
  return res;
}

boost::asio::awaitable<std::string> LocalShellExecutor::read_file(std::string path) { co_return read_file_now(path); }

boost::asio::awaitable<std::string> LocalShellExecutor::write_file(std::string path, std::string content) {
  co_return write_file_now(path, content);
}

boost::asio::awaitable<host::LoadFileResult> LocalShellExecutor::load_file(std::string path,
                                                                           std::optional<std::int64_t> max_tokens) {
  co_return load_now(path, max_tokens);
}

boost::asio::awaitable<host::EditFileResult> LocalShellExecutor::edit_file(std::string path,
                                                                           host::EditFileRequest request) {
  co_return edit_file_now(path, request);
}

boost::asio::awaitable<std::string> LocalShellExecutor::glob_files(std::string pattern, Json path) {
  co_return glob_now(pattern, path);
}

boost::asio::awaitable<std::string> LocalShellExecutor::grep_files(std::string pattern, Json path, Json glob_filter,
                                                                   bool ignore_case) {
  co_return grep_now(pattern, path, glob_filter, ignore_case);
}

boost::asio::awaitable<std::string> LocalShellExecutor::list_directory(Json path) { co_return list_now(path); }

}  // namespace dravik::hostlib
