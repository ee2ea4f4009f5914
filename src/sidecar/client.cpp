// SidecarClient construction, device and platform probing, diagnostics, and
// the assembly of the launch environment and command line.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "sidecar/detail/seams.hpp"
#include "sidecar/sidecar.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/http/http.hpp"
#include "support/process/process.hpp"

namespace dravik::sidecar {

namespace fs = std::filesystem;

namespace detail {

Seams& seams() {
  static Seams s;
  return s;
}

std::string sys_path(const std::string& path) { return seams().root + path; }

}  // namespace detail

namespace {

bool path_exists(const std::string& p) {
  struct stat sb;
  return ::stat(p.c_str(), &sb) == 0;
}

std::string home_directory() { return files::home_directory().value_or("/"); }

}  // namespace

void StderrBuffer::append(std::string line) {
  if (lines.size() == kCapacity) lines.pop_front();
  lines.push_back(std::move(line));
}

std::vector<std::string> StderrBuffer::tail(std::size_t n) const {
  auto start = lines.size() > n ? lines.size() - n : 0;
  return {lines.begin() + static_cast<std::ptrdiff_t>(start), lines.end()};
}

std::string _find_sidecar() {
  if (auto p = proc::which("llama-server")) return *p;
  fs::path fallback = fs::path(home_directory()) / "llama.cpp" / "build" / "bin" / "llama-server";
  std::error_code ec;
  if (fs::is_regular_file(fallback, ec)) return fallback.string();
  throw FileNotFoundError("llama-server not found on PATH or ~/llama.cpp/build/bin/");
}

SidecarClient::SidecarClient(boost::asio::any_io_executor ex, std::string model_, std::string host_,
                             std::int64_t port_, std::int64_t context_window_tokens_, std::string device_,
                             std::int64_t gpu_layers_, bool airgapped_, DiagnosticsHook diagnostics_hook)
    : model(std::move(model_)),
      host(std::move(host_)),
      port(port_),
      context_window_tokens(std::max<std::int64_t>(context_window_tokens_, 512)),
      device(device_.empty() ? "auto" : config::lower(config::trim(device_))),
      gpu_layers(std::max<std::int64_t>(gpu_layers_, 0)),
      airgapped(airgapped_),
      base_url("http://" + host + ":" + std::to_string(port)),
      _http(std::make_unique<http::Client>(ex, std::chrono::seconds(120), host::policy_redirect_check())),
      _diagnostics_hook(std::move(diagnostics_hook)),
      ex_(std::move(ex)) {}

std::string SidecarClient::_resolve_device() const {
  if (device == "cuda" || device == "cpu") return device;
  if (path_exists(detail::sys_path("/usr/local/cuda")) || path_exists(detail::sys_path("/dev/nvhost-gpu")))
    return "cuda";
  return "cpu";
}

bool SidecarClient::_is_jetson_platform() {
  if (path_exists(detail::sys_path("/etc/nv_tegra_release"))) return true;
  return path_exists(detail::sys_path("/dev/nvhost-gpu"));
}

void SidecarClient::_emit_diagnostic(const std::string& event_type, Json payload) const {
  if (!_diagnostics_hook) return;
  try {
    _diagnostics_hook(event_type, payload);
  } catch (...) {
    if (!is_ordinary_error(std::current_exception())) throw;
  }
}

Environment SidecarClient::_launch_environment(const std::string& binary, const std::string& resolved_device) const {
  Environment env = proc::current_environment();
  host::isolation_policy().apply_airgap_env(env, airgapped);

  // The binary's directory, the CUDA libraries, then what was there before.
  // Empty elements are left out: the loader reads one as the current
  // directory, and the host runs inside the user's repositories.
  auto slash = binary.rfind('/');
  std::vector<std::string> parts{slash == std::string::npos ? "" : binary.substr(0, slash), "/usr/local/cuda/lib64"};
  if (auto it = env.find("LD_LIBRARY_PATH"); it != env.end()) {
    std::size_t start = 0;
    const std::string& prev = it->second;
    while (start <= prev.size()) {
      auto end = prev.find(':', start);
      if (end == std::string::npos) end = prev.size();
      parts.push_back(prev.substr(start, end - start));
      start = end + 1;
    }
  }
  std::string ld;
  for (const auto& p : parts) {
    if (p.empty()) continue;
    if (!ld.empty()) ld += ':';
    ld += p;
  }
  env["LD_LIBRARY_PATH"] = ld;
  env["GGML_CUDA_ENABLE_UNIFIED_MEMORY"] = "1";
  env.emplace("CUDA_MODULE_LOADING", "LAZY");
  if (resolved_device == "cuda" && _is_jetson_platform()) {
    env.emplace("GGML_CUDA_VMM_CHUNK_MB", detail::JETSON_VMM_CHUNK_MB);
    env.emplace("GGML_CUDA_VMM_RESERVE_MB", detail::JETSON_VMM_RESERVE_MB);
  }
  // The server would demand this key on every chat and slot request, and
  // the client has no way to send it.
  env.erase("LLAMA_API_KEY");
  return env;
}

std::vector<std::string> SidecarClient::_launch_command(const std::string& binary, std::int64_t ngl, std::int64_t ctx,
                                                        std::int64_t batch, std::int64_t ubatch, bool fit_off,
                                                        bool no_warmup) const {
  fs::path slot_dir;
  try {
    files::create_private_directories(SLOT_DIR);
    slot_dir = fs::canonical(fs::absolute(SLOT_DIR));
  } catch (const fs::filesystem_error& e) {
    throw OSError(e.code().value(), std::string("cannot create the slot directory: ") + e.what());
  }
  return _command_with_slot_dir(binary, slot_dir.string(), ngl, ctx, batch, ubatch, fit_off, no_warmup);
}

std::vector<std::string> SidecarClient::launch_command_preview(const std::string& binary, std::int64_t ngl,
                                                               std::int64_t ctx, std::int64_t batch,
                                                               std::int64_t ubatch, bool fit_off,
                                                               bool no_warmup) const {
  std::error_code ec;
  fs::path slot_dir = fs::weakly_canonical(fs::absolute(SLOT_DIR), ec);
  if (ec) slot_dir = fs::absolute(SLOT_DIR);
  return _command_with_slot_dir(binary, slot_dir.string(), ngl, ctx, batch, ubatch, fit_off, no_warmup);
}

std::vector<std::string> SidecarClient::_command_with_slot_dir(const std::string& binary, const std::string& slot_dir,
                                                               std::int64_t ngl, std::int64_t ctx, std::int64_t batch,
                                                               std::int64_t ubatch, bool fit_off,
                                                               bool no_warmup) const {
  std::vector<std::string> cmd{binary,       "-m",       model, "--host", host, "--port", std::to_string(port),
                               "--parallel", "1",        "--no-mmap", "--slot-save-path", slot_dir};
  if (fit_off) {
    cmd.emplace_back("--fit");
    cmd.emplace_back("off");
  }
  if (no_warmup) cmd.emplace_back("--no-warmup");
  for (std::string s : {"--flash-attn", "on", "-ctk", "q8_0", "-ctv", "q8_0"}) cmd.push_back(s);
  cmd.insert(cmd.end(), {"-b", std::to_string(batch), "-ub", std::to_string(ubatch), "-ngl", std::to_string(ngl),
                         "-c", std::to_string(ctx)});
  if (cache_ram_mib) cmd.insert(cmd.end(), {"--cache-ram", std::to_string(std::max<std::int64_t>(*cache_ram_mib, 0))});
  return cmd;
}

void SidecarClient::set_reasoning_mode(const std::string& mode) {
  std::string normalized = config::lower(config::trim(mode));
  if (normalized != "default" && normalized != "on" && normalized != "off")
    throw ValueError("reasoning mode must be one of: default, on, off");
  reasoning_mode = normalized;
}

std::optional<Json> SidecarClient::_reasoning_extra_body() const {
  if (reasoning_mode == "on")
    return Json{{"reasoning_format", "auto"}, {"chat_template_kwargs", {{"enable_thinking", true}}}};
  if (reasoning_mode == "off")
    return Json{{"reasoning_format", "none"}, {"chat_template_kwargs", {{"enable_thinking", false}}}};
  return std::nullopt;
}

}  // namespace dravik::sidecar
