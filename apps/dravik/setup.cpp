// dravik setup: the recommended model and llama-server on this board.
#include <filesystem>
#include <iostream>

#include "commands.hpp"
#include "console.hpp"
#include "dravik_host.hpp"
#include "first_run.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/json.hpp"

namespace dravik::app {

namespace fs = std::filesystem;
namespace pv = dravik::provisioning;

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

  const Json result = run_setup_steps(io, con, hw, model_download(hw, o.model_url, o.model_path), true);
  if (o.json) {
    std::cout << dump_json(result, 2) << std::endl;
    return 0;
  }
  con.line("Set-up complete.");
  con.line("  model:        " + config::text_form(result.value("llama_model", Json(target))));
  con.line("  llama-server: " + config::text_form(result.value("sidecar_path", Json("?"))));
  con.line("Next: `dravik doctor --start` starts llama-server once with this model to show that it works.");
  return 0;
}

}  // namespace dravik::app
