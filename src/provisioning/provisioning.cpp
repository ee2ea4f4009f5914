#include "provisioning/provisioning.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <deque>

#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/process/process.hpp"
#include "support/text.hpp"

namespace dravik::provisioning {

namespace fs = std::filesystem;

namespace {

// Without a known home (no HOME, no password entry) the layout lies under
// "/", never under the working directory; dravik itself refuses to run then.
fs::path home_directory() { return files::home_directory().value_or("/"); }

struct Layout {
  fs::path dravik_home, models_dir, bin_dir, llama_cpp_dir, sidecar_bin;
  void compute(const fs::path& home) {
    dravik_home = home / ".dravik";
    models_dir = dravik_home / "models";
    bin_dir = dravik_home / "bin";
    llama_cpp_dir = home / "llama.cpp";
    sidecar_bin = bin_dir / "llama-server";
  }
};

Layout& layout() {
  static Layout l = [] {
    Layout x;
    x.compute(home_directory());
    return x;
  }();
  return l;
}

bool regular_file_exists(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

}  // namespace

const fs::path& DRAVIK_HOME = layout().dravik_home;
const fs::path& MODELS_DIR = layout().models_dir;
const fs::path& BIN_DIR = layout().bin_dir;
const fs::path& LLAMA_CPP_DIR = layout().llama_cpp_dir;
const fs::path& SIDECAR_BIN = layout().sidecar_bin;

namespace detail {

const std::vector<ModelEntry> MODEL_CATALOG = {
    {6.0, "Qwen2.5 Coder 1.5B", "Qwen2.5-Coder-1.5B-Instruct-Q4_K_M.gguf",
     "https://huggingface.co/bartowski/Qwen2.5-Coder-1.5B-Instruct-GGUF/resolve/main/"
     "Qwen2.5-Coder-1.5B-Instruct-Q4_K_M.gguf?download=true",
     986'000'000},
    {24.0, "Qwen2.5 Coder 7B", "Qwen2.5-Coder-7B-Instruct-Q4_K_M.gguf",
     "https://huggingface.co/bartowski/Qwen2.5-Coder-7B-Instruct-GGUF/resolve/main/"
     "Qwen2.5-Coder-7B-Instruct-Q4_K_M.gguf?download=true",
     4'680'000'000},
    {10000.0, "Qwen2.5 Coder 14B", "Qwen2.5-Coder-14B-Instruct-Q4_K_M.gguf",
     "https://huggingface.co/bartowski/Qwen2.5-Coder-14B-Instruct-GGUF/resolve/main/"
     "Qwen2.5-Coder-14B-Instruct-Q4_K_M.gguf?download=true",
     8'990'000'000},
};

void set_home(const fs::path& home) { layout().compute(home); }

std::chrono::milliseconds progress_interval{250};

}  // namespace detail

Json recommend_direct_model(const host::HardwareInfo& hardware_info) {
  double total = hardware_info.total_ram_gb;
  if (total < 0.0) total = 0.0;  // written so that NaN stays NaN and matches no entry
  const ModelEntry* chosen = &detail::MODEL_CATALOG.back();
  for (const auto& e : detail::MODEL_CATALOG) {
    if (total <= e.max_ram_gb) {
      chosen = &e;
      break;
    }
  }
  return Json{{"label", chosen->label},
              {"filename", chosen->filename},
              {"url", chosen->url},
              {"target_path", (MODELS_DIR / chosen->filename).string()}};
}

std::optional<std::uint64_t> catalog_size_bytes(const std::string& filename) {
  for (const auto& e : detail::MODEL_CATALOG)
    if (e.filename == filename) return e.bytes;
  return std::nullopt;
}

std::optional<std::string> current_sidecar_path() {
  if (auto p = proc::which("llama-server")) return p;
  fs::path built = LLAMA_CPP_DIR / "build" / "bin" / "llama-server";
  if (regular_file_exists(built)) return built.string();
  if (regular_file_exists(SIDECAR_BIN)) return SIDECAR_BIN.string();
  return std::nullopt;
}

std::vector<std::string> _llama_cmake_args(const host::HardwareInfo& hardware_info) {
  std::vector<std::string> args{"cmake", ".."};
  if (hardware_info.has_cuda) {
    args.emplace_back("-DGGML_CUDA=ON");
    args.emplace_back("-DGGML_CUDA_FA_ALL_QUANTS=ON");
    if (host::hardware_probe().is_jetson_label(hardware_info.label)) args.emplace_back("-DCMAKE_CUDA_ARCHITECTURES=87");
  }
  return args;
}

boost::asio::awaitable<ExecOutput> _run_exec(std::vector<std::string> args, std::optional<fs::path> cwd) {
  proc::RunOptions o;
  if (cwd) o.cwd = cwd->string();
  auto r = co_await proc::run(std::move(args), o);
  co_return ExecOutput{r.exit_status, text::sanitize_utf8(r.out), text::sanitize_utf8(r.err)};
}

namespace {

// The output of a long set-up step as the user sees it: its progress (the
// build tool's "[n/m]" counter or percentage, git's "Receiving objects: 45%")
// on the status line, and its last lines kept for when it fails.
class StepOutput {
 public:
  static constexpr std::size_t kKept = 15;
  StepOutput(std::string step, SetStatus status) : step_(std::move(step)), status_(std::move(status)) {}

  void feed(std::string_view piece) {
    for (char c : piece) {
      if (c == '\n' || c == '\r') {
        line_done();
      } else if (partial_.size() < 4096) {
        partial_ += c;
      }
    }
  }
  void finish() { line_done(); }
  const std::deque<std::string>& last_lines() const { return lines_; }

 private:
  void line_done() {
    std::string line = config::trim(text::sanitize_utf8(partial_));
    partial_.clear();
    if (line.empty()) return;
    lines_.push_back(line);
    if (lines_.size() > kKept) lines_.pop_front();
    if (auto p = progress_of(line); p && status_) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_ >= detail::progress_interval) {
        last_ = now;
        status_(step_ + ": " + *p);
      }
    }
  }

  static std::optional<std::string> progress_of(const std::string& line) {
    // ninja "[12/345] Building ..." and make "[ 45%] Building ...".
    if (line.size() > 2 && line[0] == '[') {
      const auto close = line.find(']');
      if (close != std::string::npos && close < 16) {
        const std::string inside = config::trim(line.substr(1, close - 1));
        const bool counter = !inside.empty() && inside.find_first_not_of("0123456789/%") == std::string::npos;
        if (counter) return inside.find('/') != std::string::npos ? "[" + inside + "]" : inside;
      }
    }
    // git "Receiving objects:  45% (123/456), 1.20 MiB | 2.00 MiB/s".
    const auto colon = line.find(':');
    const auto pct = line.find('%');
    if (colon != std::string::npos && pct != std::string::npos && pct > colon) {
      const std::string number = config::trim(line.substr(colon + 1, pct - colon - 1));
      if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos)
        return line.substr(0, colon) + ": " + number + "%";
    }
    return std::nullopt;
  }

  std::string step_;
  SetStatus status_;
  std::string partial_;
  std::deque<std::string> lines_;
  std::chrono::steady_clock::time_point last_{};
};

// _run_exec with the step's output streamed to the status line.
boost::asio::awaitable<ExecOutput> run_step(std::vector<std::string> args, std::optional<fs::path> cwd,
                                            StepOutput& shown) {
  proc::RunOptions o;
  if (cwd) o.cwd = cwd->string();
  o.on_output = [&shown](std::string_view piece) { shown.feed(piece); };
  auto r = co_await proc::run(std::move(args), o);
  shown.finish();
  co_return ExecOutput{r.exit_status, text::sanitize_utf8(r.out), text::sanitize_utf8(r.err)};
}

// Shows the last lines of a failed step in the log, before the error.
void log_last_lines(const LogWriter& log, const StepOutput& shown, const std::string& step) {
  if (!log || shown.last_lines().empty()) return;
  log("[bold]Last lines of " + step + ":[/]");
  for (const auto& l : shown.last_lines()) log(text::escape_markup(l));
}

[[noreturn]] void fail_with_output(const ExecOutput& r, const char* fallback) {
  std::string msg = config::trim(r.err);
  if (msg.empty()) msg = config::trim(r.out);
  if (msg.empty()) msg = fallback;
  throw RuntimeError(msg);
}

constexpr const char* kLlamaCppRepo = "https://github.com/ggml-org/llama.cpp";

}  // namespace

boost::asio::awaitable<Json> ensure_sidecar(Json setup_result, host::HardwareInfo hardware_info, LogWriter log,
                                            SetStatus set_status, ClearStatus clear_status) {
  if (!setup_result.is_object()) throw TypeError("the set-up result must be a map");
  const std::string runtime =
      config::present(setup_result, "runtime") ? config::text_form(setup_result.at("runtime")) : "llama_cpp";
  if (runtime != "llama_cpp") co_return setup_result;

  if (auto existing = current_sidecar_path(); existing && !existing->empty()) {
    Json out = setup_result;
    out["sidecar_path"] = *existing;
    out["setup_missing_runtime"] = false;
    co_return out;
  }
  if (set_status) set_status("provisioning llama-server");
  if (log) log("[bold bright_white]Provisioning llama-server...[/]");
  auto clear = [&] {
    if (clear_status) clear_status();
  };

  std::error_code ec;
  if (!fs::exists(LLAMA_CPP_DIR, ec)) {
    StepOutput shown("cloning llama.cpp", set_status);
    std::vector<std::string> clone{"git", "clone", "--depth", "1", kLlamaCppRepo, LLAMA_CPP_DIR.string()};
    auto r = co_await run_step(std::move(clone), std::nullopt, shown);
    if (r.exit_status != 0) {
      clear();
      log_last_lines(log, shown, "the clone");
      fail_with_output(r, "Failed to clone llama.cpp");
    }
  }
  const fs::path build = LLAMA_CPP_DIR / "build";
  try {
    fs::create_directories(build);
  } catch (const fs::filesystem_error& e) {
    throw OSError(e.code().value(), e.what());
  }
  StepOutput configuring("configuring llama.cpp", set_status);
  auto configure = co_await run_step(_llama_cmake_args(hardware_info), build, configuring);
  if (configure.exit_status != 0) {
    clear();
    log_last_lines(log, configuring, "the configure step");
    fail_with_output(configure, "Failed to configure llama.cpp");
  }
  StepOutput building("building llama-server", set_status);
  std::vector<std::string> build_cmd{"cmake", "--build", ".", "--target", "llama-server", "-j4"};
  auto built = co_await run_step(std::move(build_cmd), build, building);
  clear();
  if (built.exit_status != 0) {
    log_last_lines(log, building, "the build");
    fail_with_output(built, "Failed to build llama-server");
  }
  const fs::path binary = build / "bin" / "llama-server";
  if (!regular_file_exists(binary)) throw RuntimeError("llama-server build completed but binary was not found.");
  Json out = setup_result;
  out["sidecar_path"] = binary.string();
  out["setup_missing_runtime"] = false;
  co_return out;
}

boost::asio::awaitable<Json> provision_setup_artifacts(Json setup_result, host::HardwareInfo hardware_info,
                                                       LogWriter log, SetStatus set_status, ClearStatus clear_status) {
  if (!setup_result.is_object()) throw TypeError("the set-up result must be a map");
  Json with_model = co_await ensure_direct_model(setup_result, log, set_status, clear_status);
  Json with_server = co_await ensure_sidecar(std::move(with_model), hardware_info, log, set_status, clear_status);
  if (clear_status) clear_status();
  if (!with_server.is_object()) throw TypeError("the set-up step returned something that is not a map");
  co_return with_server;
}

}  // namespace dravik::provisioning
