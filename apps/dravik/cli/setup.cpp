// dravik setup: the recommended model and llama-server on this board.
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli/commands.hpp"
#include "cli/console.hpp"
#include "dravik_host.hpp"
#include "cli/first_run.hpp"
#include "settings/settings.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/json.hpp"

namespace dravik::app {

namespace fs = std::filesystem;
namespace pv = dravik::provisioning;

namespace {

fs::path config_path() { return product_home() / "config.json"; }

// Replaces the configuration file whole (a new file, synced and renamed
// over the old one), so that an interrupted write or a full disk never
// leaves half a file.
void write_config(const fs::path& file, const Json& cfg) {
  files::create_private_directories(file.parent_path().string());
  files::replace_file(file.string(), dump_json(cfg, 2) + "\n", 0600);
}

}  // namespace

int setup(const SetupOptions& o) {
  // With --json, stdout carries only the result; progress goes to stderr.
  Console con(o.json ? stderr : stdout);
  boost::asio::io_context io;
  const auto hw = hostlib::LinuxHardwareProbe::probe();
  const Json rec = pv::recommend_direct_model(hw);
  const std::string url = o.model_url.value_or(rec["url"].get<std::string>());
  const std::string target = o.model_path.value_or(rec["target_path"].get<std::string>());
  con.line("Board: " + hw.label + ", " + config::format_float(config::round2(hw.total_ram_gb)) + " GB RAM, CUDA " +
           (hw.has_cuda ? "yes" : "no"));
  con.line("Model: " + (o.model_url ? url : rec["label"].get<std::string>()) + " -> " + target);

  if (o.airgapped) {
    // Nothing that needs the network is tried: say what is missing instead.
    std::string missing;
    std::error_code ec;
    if (!fs::exists(target, ec))
      missing += "\n  - the model file " + target + " (downloaded from " + url + ")";
    if (!pv::current_sidecar_path()) missing += "\n  - llama-server (cloned from GitHub and built)";
    if (!missing.empty()) {
      std::cerr << "dravik setup: air-gapped mode: these need the network, so nothing was tried:" << missing
                << "\nCopy a GGUF model to " << target
                << " and put llama-server on PATH (or in ~/llama.cpp/build/bin), then run `dravik doctor`.\n";
      return 1;
    }
  }

  Json result = run_setup_steps(io, con, hw, model_download(hw, o.model_url, o.model_path), true);
  // The configuration `dravik chat` reads names the model and the context
  // chosen for it, so that a user sees both and can change them; what the
  // user set there already stays.
  const std::string model = config::text_form(result.value("llama_model", Json(target)));
  const auto choice = pv::choose_context_window(model);
  const fs::path config_file = config_path();
  Json cfg = Json::parse(files::try_read_file(config_file.string()).value_or("{}"), nullptr, false);
  std::string context_note;
  if (!cfg.is_object()) {
    context_note = " (" + config_file.string() + " is not a JSON object: left as it is)";
  } else {
    cfg["llama_model"] = model;
    if (!cfg.contains("context_window_tokens")) cfg["context_window_tokens"] = choice.tokens;
    write_config(config_file, cfg);
    result["config_file"] = config_file.string();
  }
  const bool ours = cfg.is_object() && cfg["context_window_tokens"] == Json(choice.tokens);
  result["context_window_tokens"] = cfg.is_object() ? cfg["context_window_tokens"] : Json(choice.tokens);
  if (o.json) {
    std::cout << dump_json(result, 2) << std::endl;
    return 0;
  }
  con.line("Set-up complete.");
  con.line("  model:        " + model);
  con.line("  llama-server: " + config::text_form(result.value("sidecar_path", Json("?"))));
  con.line("  context:      " + config::text_form(result["context_window_tokens"]) + " tokens (" +
           (ours ? choice.why : "kept from the configuration; " + std::to_string(choice.tokens) + " would be chosen") +
           ")" + context_note);
  if (cfg.is_object()) con.line("  configuration: " + config_file.string());
  // Shell commands run in bubblewrap when it is there: say how to get it.
  if (const auto sandbox = probe_sandbox(std::filesystem::current_path(), {}, false);
      sandbox->level() != hostlib::SandboxLevel::bubblewrap)
    con.line("  sandbox:      " + sandbox->describe() + "; for the strongest one: sudo apt install bubblewrap");
  con.line("Next: `dravik doctor --start` starts llama-server once with this model to show that it works.");
  return 0;
}

}  // namespace dravik::app
