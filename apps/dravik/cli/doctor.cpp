// dravik doctor: what a llama-server launch would do on this machine. It
// only looks (nothing is written or started) unless --start is given.
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "cli/commands.hpp"
#include "cli/console.hpp"
#include "settings/settings.hpp"
#include "dravik_host.hpp"
#include "provisioning/provisioning.hpp"
#include "sidecar/sidecar.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

extern char** environ;

namespace dravik::app {

namespace fs = std::filesystem;
namespace pv = dravik::provisioning;
using sidecar::SidecarClient;

namespace {

std::string yes_no(bool b) { return b ? "yes" : "no"; }

// What the model file is, in words, and whether a server could load it.
std::pair<std::string, bool> model_verdict(const std::string& model) {
  try {
    const auto check = pv::check_gguf(model);
    return {check.detail, check.verdict == pv::GgufCheck::Verdict::whole};
  } catch (const FileNotFoundError&) {
    return {"missing (run `dravik setup`, or give --model PATH)", false};
  } catch (const OSError& e) {
    return {std::string("unreadable: ") + e.what(), false};
  }
}

}  // namespace

namespace {

// The context `dravik chat` would give the server: the configuration's, or
// chosen from the model and the memory left after it.
std::pair<std::int64_t, std::string> doctor_context(const std::string& model) {
  auto [context, why] = context_for(model, Json::object());
  try {
    const Json cfg = read_config_file(product_home() / "config.json", false);
    if (cfg.contains("context_window_tokens")) {
      const std::string chosen = std::to_string(context) + " would be " + why;
      std::tie(context, why) = context_for(model, cfg);
      why = "set in ~/.dravik/config.json; " + chosen;
    }
  } catch (const std::exception&) {
    why = "~/.dravik/config.json is unusable or has an unusable \"context_window_tokens\"; " + why;
  }
  return {context, why};
}

// The board, the device, the model and the memory.
bool show_board(const SidecarClient& client, const SidecarClient::LaunchPlan& plan, const host::HardwareInfo& hw,
                const std::string& model, const std::string& context_why, std::string& verdict) {
  std::cout << "Dravik doctor\n";
  std::cout << "  board:                 " << hw.label << ", " << config::format_float(config::round2(hw.total_ram_gb))
            << " GB RAM, CUDA " << yes_no(hw.has_cuda) << "\n";
  std::cout << "  Jetson platform:       " << yes_no(plan.jetson) << "\n";
  std::cout << "  device:                " << client.device << " -> " << plan.resolved_device << "\n";
  bool model_ok = false;
  std::tie(verdict, model_ok) = model_verdict(model);
  std::cout << "  model:                 " << model << "\n";
  std::cout << "                         " << verdict << "\n";
  std::cout << "  context:               " << pv::thousands(static_cast<std::uint64_t>(client.context_window_tokens))
            << " tokens (" << context_why << ")\n";
  std::cout << "  memory snapshot (MB):  " << dump_json(plan.memory_snapshot) << "\n";
  return model_ok;
}

// What a launch would run: the start-up profile, the executable, its
// environment and command line.
void show_launch(const SidecarClient::LaunchPlan& plan) {
  const auto& lfb = plan.largest_free_block_mb;
  std::cout << "  largest free block:    "
            << (lfb ? config::format_float(config::round2(*lfb)) + " MB" : std::string("unknown")) << "\n";
  const auto& profile = plan.profile;
  std::cout << "  start-up profile:      batch " << profile.batch << ", ubatch " << profile.ubatch << ", fit "
            << (profile.fit_off ? "off" : "on") << ", warm-up " << (profile.no_warmup ? "off" : "on") << "\n";
  if (plan.binary)
    std::cout << "  llama-server:          " << *plan.binary << "\n";
  else
    std::cout << "  llama-server:          " << plan.binary_error << " (run `dravik setup`)\n";
  std::cout << "  launch environment (what Dravik sets):\n";
  for (const char* key : {"LD_LIBRARY_PATH", "GGML_CUDA_ENABLE_UNIFIED_MEMORY", "CUDA_MODULE_LOADING",
                          "GGML_CUDA_VMM_CHUNK_MB", "GGML_CUDA_VMM_RESERVE_MB"})
    if (auto it = plan.environment.find(key); it != plan.environment.end())
      std::cout << "    " << key << "=" << it->second << "\n";
  std::cout << "  command:               " << text::join(plan.command, " ") << "\n";
  std::cout << "  slot directory:        " << fs::absolute(sidecar::SLOT_DIR).string()
            << " (created, owner-only, by a launch)\n";
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    if (kv.rfind("LLAMA_ARG_", 0) == 0)
      std::cout << "  warning: " << kv.substr(0, kv.find('='))
                << " is set; llama-server obeys it unless the command line overrides it\n";
  }
  if (std::getenv("LLAMA_API_KEY"))
    std::cout << "  note: LLAMA_API_KEY is set; it is withheld from llama-server (the client cannot send it)\n";
}

// --start: the other servers a start stops are named (and asked about on a
// terminal), then the server is started and stopped once.
int start_once(boost::asio::io_context& io, SidecarClient& client, bool yes) {
  // The board's server while sessions use it is theirs: never stopped
  // from here.
  const hostlib::ServerRegistry registry(product_home() / "run");
  // Held until the trial server is gone: no dravik chat starts, joins or
  // records a server meanwhile.
  const auto lock = run_until_done(io, registry.lock(std::chrono::seconds(5), std::function<void()>()));
  if (!lock) {
    std::cerr << "dravik doctor: cannot start: another dravik is starting or stopping the model server; try again.\n";
    return 1;
  }
  if (const auto record = registry.read(); record && hostlib::still_running(record->server)) {
    if (const auto live = record->live_sessions(); !live.empty()) {
      std::cerr << "dravik doctor: cannot start: the model server (pid " << record->server.pid << ") is in use by "
                << live.size() << " dravik chat session" << (live.size() == 1 ? "" : "s")
                << "; a start would stop it. Try again when they have ended.\n";
      return 1;
    }
  }
  const auto stale = SidecarClient::stale_server_pids();
  if (!stale.empty()) {
    std::cout << "Starting stops these llama-server/ollama processes of yours:\n";
    // Named as dravik chat names them: program, pid, resident memory.
    for (const auto& p : hostlib::describe_processes(stale)) std::cout << "  " << p.shown() << "\n";
    const bool can_ask = ::isatty(0) == 1 && ::isatty(1) == 1;
    if (!yes && (!can_ask || !confirm("Stop them and start llama-server?"))) {
      std::cout << "Nothing was stopped or started" << (can_ask ? "" : " (--yes lets dravik stop them)") << ".\n";
      return 1;
    }
  }
  std::cout << "starting llama-server..." << std::endl;
  run_until_done(io, client.start());
  std::cout << "ready at " << client.base_url << "; stopping" << std::endl;
  run_until_done(io, client.close());
  return 0;
}

// The board's model server as the sessions recorded it.
void show_shared_server() {
  const auto record = hostlib::ServerRegistry(product_home() / "run").read();
  if (!record || !hostlib::still_running(record->server)) {
    std::cout << "  model server:          none running\n";
    return;
  }
  const auto live = record->live_sessions();
  std::cout << "  model server:          pid " << record->server.pid << " at " << record->host << ":" << record->port
            << " (" << std::filesystem::path(record->model).filename().string() << "), ";
  if (live.empty()) std::cout << "no session uses it (the next dravik chat stops it)\n";
  else std::cout << "used by " << live.size() << " session" << (live.size() == 1 ? "" : "s") << "\n";
  for (const auto& s : live)
    std::cout << "    dravik chat pid " << s.process.pid << " in " << text::escape_controls(s.project) << "\n";
}

}  // namespace

int doctor(const DoctorOptions& o) {
  boost::asio::io_context io;
  const auto hw = hostlib::LinuxHardwareProbe::probe();
  const std::string model = o.model.value_or(pv::recommend_direct_model(hw)["target_path"].get<std::string>());
  const auto [context, context_why] = doctor_context(model);
  SidecarClient client(io.get_executor(), model, "127.0.0.1", o.port, context, o.device, 99, o.airgapped,
                       [](const std::string& type, const Json& payload) {
                         std::cout << dump_json(Json{{"event", type}, {"payload", payload}}) << std::endl;
                       });
  // The prompt cache as dravik chat gives it (the configuration's, else
  // chosen from the memory left).
  Json cfg = Json::object();
  try {
    cfg = read_config_file(product_home() / "config.json", false);
  } catch (const std::exception&) {
  }
  std::string cache_why;
  try {
    std::tie(client.cache_ram_mib, cache_why) = cache_ram_for(model, context, cfg);
  } catch (const std::exception& e) {
    std::tie(client.cache_ram_mib, cache_why) = cache_ram_for(model, context, Json::object());
    cache_why = std::string(e.what()) + "; " + cache_why;
  }
  std::string verdict;
  const auto plan = client.plan_launch();
  const bool model_ok = show_board(client, plan, hw, model, context_why, verdict);
  std::cout << "  prompt cache:          up to " << pv::thousands(static_cast<std::uint64_t>(*client.cache_ram_mib))
            << " MiB of RAM (--cache-ram; " << cache_why << ")\n";
  show_shared_server();
  try {
    const auto sandbox = probe_sandbox(std::filesystem::current_path(), sandbox_of(cfg), false);
    std::cout << "  sandbox:               " << sandbox->describe() << "\n";
    if (sandbox->level() == hostlib::SandboxLevel::landlock)
      std::cout << "                         (" << sandbox->why_not_stronger()
                << "; for bubblewrap: sudo apt install bubblewrap)\n";
  } catch (const std::exception& e) {
    std::cout << "  sandbox:               " << e.what() << "\n";
  }
  show_launch(plan);
  if (!o.start) return 0;
  // Nothing is stopped or created before it is certain a start can happen.
  if (!plan.binary) {
    std::cerr << "dravik doctor: cannot start: no llama-server found; run `dravik setup` first.\n";
    return 1;
  }
  if (!model_ok) {
    std::cerr << "dravik doctor: cannot start: the model " << model << " is " << verdict << ".\n";
    return 1;
  }
  return start_once(io, client, o.yes);
}

}  // namespace dravik::app
