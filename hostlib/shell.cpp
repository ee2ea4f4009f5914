// The shell executor: commands through /bin/sh in the working directory, and
// the file tools. Every ordinary failure is a text the model can act on.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include "support/process/process.hpp"
#include "support/text.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;

namespace detail {

bool looks_binary(std::string_view head) { return head.substr(0, 8192).find('\0') != std::string_view::npos; }

namespace {

// The end of `text` cut back to a whole UTF-8 sequence.
std::size_t utf8_boundary(std::string_view text, std::size_t n) {
  if (n >= text.size()) return text.size();
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

Result<TextFile> decode(int fd, const struct stat& st, const std::string& shown, std::size_t cap) {
  auto bytes = read_to_end(fd, cap, static_cast<std::size_t>(st.st_size));
  if (!bytes) return Failure{ErrorKind::io, "cannot read " + shown + ": " + bytes.error().message};
  TextFile t;
  t.text = std::move(*bytes);
  t.size = std::max<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), t.text.size());
  t.size_known = static_cast<std::uint64_t>(st.st_size) >= t.text.size();
  if (t.text.size() > cap) {
    t.truncated = true;
    t.text.resize(cap);
  }
  if (looks_binary(t.text)) return Failure{ErrorKind::invalid, shown + " is a binary file"};
  if (t.truncated) t.text.resize(utf8_boundary(t.text, t.text.size()));
  if (text::sanitize_utf8(t.text) != t.text) return Failure{ErrorKind::invalid, shown + " is not UTF-8 text"};
  return t;
}

// A failure of open_regular (which says what the entry is) with the entry's
// name in it.
Failure named(const std::string& shown, const Failure& f) {
  switch (f.kind) {
    case ErrorKind::is_directory:
      return {f.kind, shown + " is a directory (use list_directory)"};
    case ErrorKind::not_found:
      return {f.kind, shown + " does not exist"};
    case ErrorKind::invalid:
    case ErrorKind::refused:
      return {f.kind, shown + " " + f.message};
    default:
      return {f.kind, "cannot read " + shown + ": " + f.message};
  }
}

}  // namespace

Result<TextFile> read_text_at(int dir, const std::string& name, const std::string& shown, std::size_t cap) {
  const auto f = open_regular(dir, name);
  if (!f) return named(shown, f.error());
  return decode(f->fd.get(), f->st, shown, cap);
}

Result<TextFile> read_text(const Beneath& root, const std::string& given, std::size_t cap) {
  // What the path names is judged on a descriptor that can neither read nor
  // block (O_PATH); the file is then opened for reading and must be the
  // same one.
  const int probe_fd = root.open(given, O_PATH);
  if (probe_fd < 0) return resolve_failure(given, probe_fd, root);
  const UniqueFd probe(probe_fd);
  struct stat st{};
  if (::fstat(probe.get(), &st) != 0)
    return Failure{ErrorKind::io, "cannot read " + given + ": " + std::strerror(errno)};
  if (!S_ISREG(st.st_mode))
    return named(given, {S_ISDIR(st.st_mode) ? ErrorKind::is_directory : ErrorKind::invalid, file_type_text(st.st_mode)});
  const int read_fd = root.open(given, O_RDONLY | O_NONBLOCK);
  if (read_fd < 0) return resolve_failure(given, read_fd, root);
  const UniqueFd fd(read_fd);
  struct stat now{};
  if (::fstat(fd.get(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)
    return Failure{ErrorKind::changed, given + " changed while it was being opened"};
  return decode(fd.get(), now, given, cap);
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
  // Outside the sandbox only what the user agreed to at a terminal, once.
  const bool confined = o_.sandbox && !o_.sandbox->take_outside_grant(command);
  Sandbox::Prepared inside;
  if (confined) {
    try {
      inside = o_.sandbox->prepare(std::move(argv), o.env ? *o.env : proc::current_environment(), o_.workdir);
    } catch (const OSError& e) {
      res.summary = tool_text(Failure{ErrorKind::io, std::string("cannot run the command: ") + e.what()});
      co_return res;
    }
    argv = inside.argv;
    o.env = inside.env;
    o.confinement = inside.confinement;
  } else if (o_.sandbox) {
    // Outside too, never in the host's terminal session.
    o.confinement = proc::Confinement{};
    o.confinement->new_session = true;
  }
  auto ran = co_await async::attempt(proc::run(std::move(argv), std::move(o)));
  if (ran.error) {
    res.summary = tool_text(Failure{ErrorKind::io, "cannot run the command: " + error_text(ran.error)});
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
  if (!res.ok && confined && o_.sandbox->confines() && Sandbox::looks_refused(res.stdout_text + res.stderr_text))
    summary += "\n(The sandbox may have refused this: " + o_.sandbox->describe() +
               ". If the command must run outside it, call shell again with outside_sandbox: true and a reason; "
               "the user is asked.)";
  res.summary = std::move(summary);
  co_return res;
}

namespace {

// The text of read_file: each line numbered ("     1\tline"), and a note
// when the file was cut.
std::string numbered(const TextFile& t, const std::string& path) {
  if (t.text.empty()) return "(" + path + " is empty)";
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
    out += "[... shown " + std::to_string(t.text.size()) + " of " + (t.size_known ? "" : "more than ") +
           std::to_string(t.size_known ? t.size : t.text.size()) + " bytes; use grep or load_file for the rest]\n";
  return out;
}

Result<std::string> write_whole_file(const fs::path& workdir, const std::string& path, const std::string& content) {
  const Beneath root(workdir);
  Located at;
  if (const int err = root.locate(path, at, {.follow_links = true, .create_dirs = true}))
    return err == ENOENT || err == ENOTDIR
               ? Failure{ErrorKind::not_found, "cannot create the directory of " + path + ": " + std::strerror(err)}
               : resolve_failure(path, err, root);
  struct stat st{};
  if (at.name == "." ||
      (::fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)))
    return Failure{ErrorKind::is_directory, path + " is a directory"};
  if (auto written = write_file_in(at.dir.get(), at.name, content); !written)
    return Failure{written.error().kind, "cannot write " + path + ": " + written.error().message};
  return "Wrote " + std::to_string(content.size()) + " bytes to " + path;
}

// The entries of a directory as list_directory shows them: sorted, a "/"
// after a directory and an "@" after a link (as ls -F does), control
// characters escaped.
struct Listing {
  std::vector<std::string> names;
  bool capped = false;  // more than walk_cap entries: counting stopped
};

// Reads the directory open at `fd` (taken over), at most `walk_cap` entries.
// Entries are judged without following links: a link is shown as one,
// whatever it points at.
Result<Listing> read_listing(int fd, const std::string& given, std::size_t walk_cap) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    const Failure f{ErrorKind::io, "cannot list " + given + ": " + std::strerror(errno)};
    ::close(fd);
    return f;
  }
  Listing l;
  std::size_t total = 0;
  int err = 0;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (!e) {
      err = errno;
      break;
    }
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    if (++total > walk_cap) {
      l.capped = true;
      break;
    }
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st{};
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    std::string shown = text::escape_controls(std::string(name));
    if (type == DT_DIR) shown += "/";
    else if (type == DT_LNK) shown += "@";
    l.names.push_back(std::move(shown));
  }
  ::closedir(dir);
  if (err) return Failure{ErrorKind::io, "cannot list " + given + ": " + std::strerror(err)};
  std::sort(l.names.begin(), l.names.end());
  return l;
}

Result<std::string> list_in(const ShellOptions& o, const Json& path) {
  if (!path.is_null() && !path.is_string()) return Failure{ErrorKind::invalid, "path must be a string"};
  const std::string given = path.is_string() && !config::trim(path.get<std::string>()).empty()
                                ? path.get<std::string>()
                                : std::string(".");
  const Beneath root(o.workdir);
  const int fd = root.open(given, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
  if (fd == -ENOTDIR) return Failure{ErrorKind::invalid, given + " is not a directory"};
  if (fd < 0) return resolve_failure(given, fd, root);
  auto listing = read_listing(fd, given, o.walk_cap);
  if (!listing) return listing.error();
  const std::vector<std::string>& names = listing->names;
  if (names.empty()) return "(" + given + " is empty)";
  std::string out;
  for (std::size_t i = 0; i < names.size() && i < o.list_cap; ++i) out += names[i] + "\n";
  if (listing->capped)
    out += "(at least " + std::to_string(names.size() - std::min(names.size(), o.list_cap)) +
           " more not shown: counting stopped after " + std::to_string(o.walk_cap) + " entries)\n";
  else if (names.size() > o.list_cap)
    out += "(" + std::to_string(names.size() - o.list_cap) + " more not shown)\n";
  return out;
}

}  // namespace

// The file tools' texts are made here, from the typed results of the work:
// a failure becomes "Error: " and its message.

std::string LocalShellExecutor::read_file_now(const std::string& path) {
  const auto t = read_text(Beneath(o_.workdir), path, o_.read_cap);
  return t ? numbered(*t, path) : tool_text(t.error());
}

std::string LocalShellExecutor::write_file_now(const std::string& path, const std::string& content) {
  return tool_text(write_whole_file(o_.workdir, path, content));
}

std::string LocalShellExecutor::list_now(const Json& path) { return tool_text(list_in(o_, path)); }

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
  const auto read = read_text(Beneath(o_.workdir), path, static_cast<std::size_t>(budget) * 4);
  if (!read) {
    res.detail = tool_text(read.error());
    return res;
  }
  const TextFile& t = *read;
  const std::int64_t estimated = static_cast<std::int64_t>((t.size + 3) / 4);
  const std::int64_t returned = static_cast<std::int64_t>((t.text.size() + 3) / 4);
  res.ok = true;
  res.content = t.text;
  res.truncated = t.truncated;
  res.estimated_tokens = estimated;
  res.returned_tokens = returned;
  res.token_budget = budget;
  res.mem_available_mb = available_mb ? Json(*available_mb) : Json();
  res.summary = path + ": " + (t.size_known ? "" : "more than ") + std::to_string(t.size) + " bytes, about " + std::to_string(estimated) + " tokens" +
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
