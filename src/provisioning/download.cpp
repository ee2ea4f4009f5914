// The model download: resumable through "<target>.part", checked for
// completeness and for the GGUF magic before it becomes the model.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <boost/asio/this_coro.hpp>

#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "host_services/host_services.hpp"
#include "support/http/http.hpp"
#include "support/text.hpp"

namespace dravik::provisioning {

namespace fs = std::filesystem;
namespace asio = boost::asio;
using std::chrono::steady_clock;

namespace {

struct ContentRange {
  std::optional<std::uint64_t> start;
  std::optional<std::uint64_t> total;
};

// "bytes 100-199/200" or "bytes */200".
ContentRange parse_content_range(const std::optional<std::string>& header) {
  ContentRange r;
  if (!header) return r;
  std::string v = config::trim(*header);
  if (!text::starts_with(v, "bytes ")) return r;
  v = v.substr(6);
  auto slash = v.find('/');
  if (slash == std::string::npos) return r;
  if (auto t = config::parse_int64(v.substr(slash + 1)); t && *t >= 0) r.total = static_cast<std::uint64_t>(*t);
  auto dash = v.find('-');
  if (dash != std::string::npos && dash < slash)
    if (auto s = config::parse_int64(v.substr(0, dash)); s && *s >= 0) r.start = static_cast<std::uint64_t>(*s);
  return r;
}

std::optional<std::uint64_t> content_length(const http::Response& resp) {
  auto v = resp.header("Content-Length");
  if (!v) return std::nullopt;
  auto n = config::parse_int64(*v);
  if (!n || *n < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*n);
}

std::uint64_t size_of(const fs::path& p) {
  std::error_code ec;
  auto n = fs::file_size(p, ec);
  return ec ? 0 : n;
}

std::string read_small(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return config::trim(s);
}

void remove_quietly(const fs::path& p) {
  std::error_code ec;
  fs::remove(p, ec);
}

class OutFile {
 public:
  OutFile(const fs::path& p, bool append) : path_(p) {
    fd_ = ::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd_ < 0) throw OSError(errno, "cannot write " + p.string() + ": " + std::strerror(errno));
  }
  ~OutFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(const std::string& data) { files::write_all(fd_, data, path_.string()); }
  void close() {
    int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) throw OSError(errno, "cannot write " + path_.string() + ": " + std::strerror(errno));
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

std::string megabytes(std::uint64_t bytes) { return size_text(bytes); }

// Progress for the user: the status line at most every progress_interval,
// and a log line once at each tenth of the file (or every 256 MB when the
// size is unknown).
class Progress {
 public:
  Progress(std::string name, LogWriter log, SetStatus status)
      : name_(std::move(name)), log_(std::move(log)), status_(std::move(status)), started_(steady_clock::now()) {}

  void update(std::uint64_t done, std::uint64_t session_bytes, std::optional<std::uint64_t> total, bool force = false) {
    const auto now = steady_clock::now();
    if (!force && now - last_status_ < detail::progress_interval) return;
    last_status_ = now;
    const double secs = std::chrono::duration<double>(now - started_).count();
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f MB/s", secs > 0 ? static_cast<double>(session_bytes) / 1048576.0 / secs : 0.0);
    std::string text = "Downloading " + name_ + ": ";
    long step = 0;
    if (total && *total > 0) {
      // In floating point and clamped: multi-gigabyte sizes overflow an int.
      const double pct = std::clamp(static_cast<double>(done) * 100.0 / static_cast<double>(*total), 0.0, 100.0);
      text += std::to_string(static_cast<int>(pct)) + "% (" + megabytes(done) + " of " + megabytes(*total) + ", " +
              rate + ")";
      step = static_cast<long>(pct / 10.0);
    } else {
      text += megabytes(done) + " (" + rate + ")";
      step = static_cast<long>(done / (256ull << 20));
    }
    if (status_) status_(text);
    if (log_ && step > logged_step_) {
      logged_step_ = step;
      log_("[bold bright_white]" + text + "[/]");
    }
  }

 private:
  std::string name_;
  LogWriter log_;
  SetStatus status_;
  steady_clock::time_point started_;
  steady_clock::time_point last_status_{};
  long logged_step_ = -1;
};

// An exclusive advisory lock held for the whole download, so that two
// set-ups never write into the same partial file.
class DownloadLock {
 public:
  DownloadLock(const fs::path& file, const std::string& name) : path_(file) {
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw OSError(errno, "cannot lock " + file.string() + ": " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      ::close(fd_);
      if (e == EWOULDBLOCK)
        throw RuntimeError("Another set-up is downloading " + name + " right now; let it finish (or stop it) first.");
      throw OSError(e, "cannot lock " + file.string() + ": " + std::strerror(e));
    }
  }
  ~DownloadLock() {
    ::unlink(path_.c_str());  // still ours: the lock goes with the descriptor
    ::close(fd_);
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

std::string validator_of(const http::Response& resp) {
  return resp.header("ETag").value_or(resp.header("Last-Modified").value_or(""));
}

// Downloads `url` into `part`, resuming what is there, and checks that
// `part` then holds one whole GGUF model. Nothing a misbehaving server sends
// destroys the partial file: a whole new file (200) replaces it only once
// its first bytes are a model's, and a range answer that breaks its own
// announcements is rolled back.
class Download {
 public:
  Download(asio::any_io_executor ex, const std::string& url, const fs::path& part, const std::string& name,
           const LogWriter& log, const SetStatus& set_status)
      : url_(url),
        part_(part),
        validator_file_(part.string() + ".validator"),
        fresh_(part.string() + ".fresh"),
        lock_(part.string() + ".lock", name),
        client_(std::move(ex), std::chrono::seconds(60), host::policy_redirect_check()),
        progress_(name, log, set_status) {}

  asio::awaitable<void> run() {
    for (;;) {
      const std::uint64_t have = size_of(part_);
      const std::string saved_validator = read_small(validator_file_);
      http::Request req = request(have, saved_validator);
      http::Response resp = co_await client_.send(std::move(req));
      const Answer answer = judge(resp, have, saved_validator);
      if (answer.kind == Answer::finished) break;
      if (answer.kind == Answer::again) continue;
      co_await receive(resp, have, answer);
      break;
    }
    check_model();
  }

 private:
  // What one response means: the partial file is already whole, ask again
  // (after a restart), or a body to write.
  struct Answer {
    enum Kind { finished, again, body } kind = body;
    bool append = false;  // a 206 continuing the partial file
    std::optional<std::uint64_t> expected;
  };

  http::Request request(std::uint64_t have, const std::string& saved_validator) const {
    http::Request req;
    req.url = url_;
    if (have > 0) {
      req.headers.emplace_back("Range", "bytes=" + std::to_string(have) + "-");
      // A file that changed upstream since the first byte comes back whole
      // (200), never as the tail of another file.
      if (!saved_validator.empty()) req.headers.emplace_back("If-Range", saved_validator);
    }
    return req;
  }

  // Throws for an answer that ends the download; restarts (at most once)
  // for one that breaks the partial file's continuity.
  Answer judge(http::Response& resp, std::uint64_t have, const std::string& saved_validator) {
    const int status = resp.status();
    const auto body_length = content_length(resp);
    if (status >= 300 && status < 400 && resp.header("Location")) {
      resp.close();
      throw RuntimeError("Model download failed: too many redirects (the last one answered HTTP " +
                         std::to_string(status) + ")");
    }
    if (status == 416) {
      auto range = parse_content_range(resp.header("Content-Range"));
      resp.close();
      if (have == 0)
        throw RuntimeError("Model download failed: the server answered HTTP 416 (range not satisfiable) to a "
                           "request that asked for no range");
      // Our "bytes=<size>-" starts at or past the end: finished if the
      // partial file is exactly the whole file, otherwise start over.
      if (range.total && *range.total == have) return {Answer::finished, false, std::nullopt};
      return restart(resp, "the server refused the range of the partial download (HTTP 416)");
    }
    if (status == 200) return {Answer::body, false, body_length};
    if (status != 206) {
      resp.close();
      throw RuntimeError("Model download failed with HTTP " + std::to_string(status));
    }
    auto range = parse_content_range(resp.header("Content-Range"));
    if (!range.start || *range.start != have)
      return restart(resp, "the server answered a range that does not continue the partial download");
    // A server that ignores If-Range but honours Range would append the
    // tail of another file.
    const std::string validator = validator_of(resp);
    if (!saved_validator.empty() && !validator.empty() && validator != saved_validator)
      return restart(resp, "the file changed on the server while it was being downloaded");
    Answer answer{Answer::body, true, std::nullopt};
    if (range.total) answer.expected = range.total;
    else if (body_length) answer.expected = have + *body_length;
    return answer;
  }

  Answer restart(http::Response& resp, const std::string& why) {
    resp.close();
    if (restarts_++ >= 1) throw RuntimeError("Model download failed: " + why);
    remove_quietly(part_);
    remove_quietly(validator_file_);
    return {Answer::again, false, std::nullopt};
  }

  // Writes the body: a 206 appends to the partial file; a 200 goes to a
  // fresh file first, which replaces the partial one once it starts like
  // a model.
  asio::awaitable<void> receive(http::Response& resp, std::uint64_t have, const Answer& answer) {
    const auto body_length = content_length(resp);
    const auto& expected = answer.expected;
    OutFile out(answer.append ? part_ : fresh_, answer.append);
    bool proven = answer.append;
    std::string head;
    std::uint64_t done = answer.append ? have : 0;
    std::uint64_t session = 0;
    auto refuse = [&](const std::string& why) {
      resp.close();
      if (answer.append) std::filesystem::resize_file(part_, have);  // the partial file as it was
      else if (!proven) remove_quietly(fresh_);
      else std::filesystem::resize_file(part_, std::min<std::uint64_t>(done, expected.value_or(done)));
      throw RuntimeError("Model download failed: " + why);
    };
    try {
      while (auto piece = co_await resp.read_some()) {
        if (body_length && session + piece->size() > *body_length)
          refuse("the server sent more than the " + thousands(*body_length) + " bytes it announced");
        if (expected && done + piece->size() > *expected)
          refuse("the server sent more than the " + thousands(*expected) + " bytes of the file it announced");
        out.write(*piece);
        done += piece->size();
        session += piece->size();
        if (!proven) {
          head += piece->substr(0, 4 - std::min<std::size_t>(head.size(), 4));
          if (head.size() >= 4) {
            if (head.compare(0, 4, "GGUF") != 0)
              refuse("what the server sent is not a GGUF model (an error or login page?); nothing was kept of it");
            take_fresh_file(resp);
            proven = true;
          }
        }
        progress_.update(done, session, expected);
      }
    } catch (const http::TransportError& e) {
      if (!proven) remove_quietly(fresh_);
      throw RuntimeError("Model download interrupted after " + megabytes(done) + " (" + e.what() +
                         "); run the set-up again to resume.");
    }
    out.close();
    if (!proven) {
      remove_quietly(fresh_);
      throw RuntimeError("Model download failed: the server sent " + std::to_string(done) + " bytes, not a GGUF model");
    }
    progress_.update(done, session, expected, true);
    if (expected && done < *expected)
      throw RuntimeError("Model download ended early: got " + thousands(done) + " of " + thousands(*expected) +
                         " bytes; run the set-up again to resume.");
  }

  // Proven a model: the fresh file replaces the partial one from here on,
  // with the validator of this answer.
  void take_fresh_file(const http::Response& resp) {
    std::error_code ec;
    fs::rename(fresh_, part_, ec);
    if (ec) throw OSError(ec.value(), "cannot move the download into place: " + ec.message());
    const std::string validator = validator_of(resp);
    if (validator.empty()) remove_quietly(validator_file_);
    else std::ofstream(validator_file_, std::ios::binary | std::ios::trunc) << validator;
  }

  // The structure of the file itself: what no transport can fake.
  void check_model() {
    const GgufCheck check = check_gguf(part_);
    if (check.verdict == GgufCheck::Verdict::not_model) {
      remove_quietly(part_);
      remove_quietly(validator_file_);
      throw RuntimeError("The downloaded file is not a GGUF model (" + check.detail + "); it was removed.");
    }
    if (check.verdict != GgufCheck::Verdict::whole)
      throw RuntimeError("The downloaded model is " + check.detail +
                         "; the partial download was kept: run the set-up again to resume.");
    remove_quietly(validator_file_);
  }

  std::string url_;
  fs::path part_, validator_file_, fresh_;
  DownloadLock lock_;
  http::Client client_;
  Progress progress_;
  int restarts_ = 0;
};

asio::awaitable<void> fetch_into(const std::string& url, const fs::path& part, const std::string& name,
                                 const LogWriter& log, const SetStatus& set_status) {
  Download download(co_await asio::this_coro::executor, url, part, name, log, set_status);
  co_await download.run();
}

fs::path expand_user(const std::string& path) {
  if (path == "~" || text::starts_with(path, "~/")) {
    return fs::path(files::home_directory().value_or("/")) / path.substr(path.size() > 1 ? 2 : 1);
  }
  return path;
}

}  // namespace

asio::awaitable<Json> ensure_direct_model(Json setup_result, LogWriter log, SetStatus set_status, ClearStatus) {
  if (!setup_result.is_object()) throw TypeError("the set-up result must be a map");
  const std::string source =
      config::present(setup_result, "model_source") ? config::text_form(setup_result.at("model_source")) : "local";
  if (source != "direct") co_return setup_result;
  auto text_of = [&](const char* key) {
    return config::present(setup_result, key) && !setup_result.at(key).is_null()
               ? config::trim(config::text_form(setup_result.at(key)))
               : std::string();
  };
  const std::string url = text_of("model_download_url");
  const std::string target_text = text_of("model_download_path");
  if (url.empty() || target_text.empty())
    throw RuntimeError("Direct model provisioning is missing a download URL or target path.");
  const fs::path target = expand_user(target_text);
  auto done = [&] {
    Json out = setup_result;
    out["model"] = target.string();
    out["llama_model"] = target.string();
    out["setup_missing_model"] = false;
    return out;
  };
  std::error_code ec;
  if (fs::exists(target, ec)) co_return done();

  try {
    if (target.has_parent_path()) fs::create_directories(target.parent_path());
  } catch (const fs::filesystem_error& e) {
    throw OSError(e.code().value(), e.what());
  }
  const fs::path part = target.string() + ".part";
  if (log) log("[bold bright_white]Downloading " + target.filename().string() + "[/]");
  co_await fetch_into(url, part, target.filename().string(), log, set_status);
  fs::rename(part, target, ec);
  if (ec) throw OSError(ec.value(), "cannot move the download into place: " + ec.message());
  co_return done();
}

std::string size_text(std::uint64_t bytes) {
  char buf[64];
  const double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
  if (mb >= 1024.0) std::snprintf(buf, sizeof buf, "%.2f GB", mb / 1024.0);
  else std::snprintf(buf, sizeof buf, "%.1f MB", mb);
  return buf;
}

}  // namespace dravik::provisioning
