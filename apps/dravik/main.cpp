// dravik: the command-line companion of the Dravik libraries.
//
//   dravik doctor [--model PATH] [--device D] [--port N] [--start] [--airgapped]
//       what a llama-server launch would do on this machine; with --start,
//       launch it, print every diagnostic event as a JSON line, wait until it
//       is ready and stop it.
//   dravik setup
//       download the recommended model and build llama-server; safe to rerun.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "host.hpp"
#include "provisioning/provisioning.hpp"
#include "sidecar/sidecar.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/process.hpp"
#include "support/text.hpp"

extern char** environ;

namespace {

using dravik::Json;
namespace asio = boost::asio;
namespace pv = dravik::provisioning;
using dravik::sidecar::SidecarClient;

struct Options {
  std::string command = "doctor";
  std::optional<std::string> model;
  std::string device = "auto";
  std::int64_t port = 8080;
  bool start = false;
  bool airgapped = false;
};

int usage() {
  std::cerr << "usage: dravik doctor [--model PATH] [--device auto|cuda|cpu] [--port N] [--start] [--airgapped]\n"
               "       dravik setup\n";
  return 2;
}

// Console markup to plain text: "[tag]" and "[/]" are dropped, "\[" kept.
std::string plain(const std::string& markup) {
  std::string out;
  for (std::size_t i = 0; i < markup.size(); ++i) {
    if (markup[i] == '\\' && i + 1 < markup.size() && markup[i + 1] == '[') {
      out += '[';
      ++i;
    } else if (markup[i] == '[') {
      auto close = markup.find(']', i);
      if (close == std::string::npos) {
        out += markup.substr(i);
        break;
      }
      i = close;
    } else {
      out += markup[i];
    }
  }
  return out;
}

template <class T>
T run(asio::io_context& io, asio::awaitable<T> aw) {
  std::optional<T> result;
  std::exception_ptr error;
  asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e, T v) {
    error = e;
    if (!e) result.emplace(std::move(v));
  });
  io.restart();
  io.run();
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

void run(asio::io_context& io, asio::awaitable<void> aw) {
  std::exception_ptr error;
  asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e) { error = e; });
  io.restart();
  io.run();
  if (error) std::rethrow_exception(error);
}

std::string yes_no(bool b) { return b ? "yes" : "no"; }

int doctor(const Options& o) {
  asio::io_context io;
  const auto hw = dravik::app::LinuxHardwareProbe::probe();
  const std::string model = o.model.value_or(pv::recommend_direct_model(hw)["target_path"].get<std::string>());
  SidecarClient client(io.get_executor(), model, "127.0.0.1", o.port, 2048, o.device, 99, o.airgapped,
                       [](const std::string& type, const Json& payload) {
                         std::cout << dravik::dump_json(Json{{"event", type}, {"payload", payload}}) << std::endl;
                       });

  std::cout << "Dravik doctor\n";
  std::cout << "  board:                 " << hw.label << ", " << dravik::config::format_float(dravik::config::round2(hw.total_ram_gb))
            << " GB RAM, CUDA " << yes_no(hw.has_cuda) << "\n";
  std::cout << "  Jetson platform:       " << yes_no(SidecarClient::_is_jetson_platform()) << "\n";
  const std::string device = client._resolve_device();
  std::cout << "  device:                " << client.device << " -> " << device << "\n";
  const Json snapshot = SidecarClient::_memory_snapshot();
  std::cout << "  memory snapshot (MB):  " << dravik::dump_json(snapshot) << "\n";
  const auto lfb = SidecarClient::_largest_free_block_mb();
  std::cout << "  largest free block:    "
            << (lfb ? dravik::config::format_float(dravik::config::round2(*lfb)) + " MB" : std::string("unknown")) << "\n";
  // The doctor measures without compacting: compaction writes kernel controls.
  const auto profile = SidecarClient::_startup_profile_for_lfb(device == "cuda" ? lfb : std::nullopt);
  std::cout << "  start-up profile:      batch " << profile.batch << ", ubatch " << profile.ubatch << ", fit "
            << (profile.fit_off ? "off" : "on") << ", warm-up " << (profile.no_warmup ? "off" : "on") << "\n";

  std::string binary = "llama-server";
  try {
    binary = dravik::sidecar::_find_sidecar();
    std::cout << "  llama-server:          " << binary << "\n";
  } catch (const dravik::FileNotFoundError& e) {
    std::cout << "  llama-server:          " << e.what() << " (run `dravik setup`)\n";
  }
  const auto env = client._launch_environment(binary, device);
  std::cout << "  launch environment (what Dravik sets):\n";
  for (const char* key : {"LD_LIBRARY_PATH", "GGML_CUDA_ENABLE_UNIFIED_MEMORY", "CUDA_MODULE_LOADING",
                          "GGML_CUDA_VMM_CHUNK_MB", "GGML_CUDA_VMM_RESERVE_MB"}) {
    auto it = env.find(key);
    if (it != env.end()) std::cout << "    " << key << "=" << it->second << "\n";
  }
  const auto cmd = client._launch_command(binary, device == "cuda" ? client.gpu_layers : 0,
                                          client.context_window_tokens, profile.batch, profile.ubatch,
                                          profile.fit_off, profile.no_warmup);
  std::cout << "  command:               " << dravik::text::join(cmd, " ") << "\n";

  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    if (kv.rfind("LLAMA_ARG_", 0) == 0)
      std::cout << "  warning: " << kv.substr(0, kv.find('='))
                << " is set; llama-server obeys it unless the command line overrides it\n";
  }
  if (std::getenv("LLAMA_API_KEY"))
    std::cout << "  note: LLAMA_API_KEY is set; it is withheld from llama-server (the client cannot send it)\n";

  if (!o.start) return 0;
  std::cout << "starting llama-server...\n";
  run(io, client.start());
  std::cout << "ready at " << client.base_url << "; stopping\n";
  run(io, client.close());
  return 0;
}

int setup() {
  asio::io_context io;
  const auto hw = dravik::app::LinuxHardwareProbe::probe();
  const Json rec = pv::recommend_direct_model(hw);
  std::cout << "Board: " << hw.label << ", " << dravik::config::format_float(dravik::config::round2(hw.total_ram_gb))
            << " GB RAM, CUDA " << yes_no(hw.has_cuda) << "\n";
  std::cout << "Recommended model: " << rec["label"].get<std::string>() << "\n  -> "
            << rec["target_path"].get<std::string>() << "\n";
  Json setup_result = {{"runtime", "llama_cpp"},
                       {"model_source", "direct"},
                       {"model_download_url", rec["url"]},
                       {"model_download_path", rec["target_path"]}};
  bool status_shown = false;
  auto log = [&](const std::string& markup) {
    if (status_shown) std::cout << "\n";
    status_shown = false;
    std::cout << plain(markup) << std::endl;
  };
  auto set_status = [&](const std::string& text) {
    std::cout << "\r\x1b[2K" << text << std::flush;
    status_shown = true;
  };
  auto clear_status = [&] {
    if (status_shown) std::cout << "\r\x1b[2K" << std::flush;
    status_shown = false;
  };
  Json result = run(io, pv::provision_setup_artifacts(setup_result, hw, log, set_status, clear_status));
  std::cout << "Set-up complete:\n" << dravik::dump_json(result, 2) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0].rfind("--", 0) != 0) {
    o.command = args[0];
    args.erase(args.begin());
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw dravik::ValueError(a + " needs a value");
      return args[++i];
    };
    try {
      if (a == "--model") o.model = value();
      else if (a == "--device") o.device = value();
      else if (a == "--port") o.port = dravik::config::to_int64(Json(value()), "--port");
      else if (a == "--start") o.start = true;
      else if (a == "--airgapped") o.airgapped = true;
      else return usage();
    } catch (const dravik::Error& e) {
      std::cerr << "dravik: " << e.what() << "\n";
      return usage();
    }
  }
  dravik::host::HostServices services;
  services.isolation_policy = std::make_shared<dravik::app::LocalIsolationPolicy>(o.airgapped);
  services.hardware_probe = std::make_shared<dravik::app::LinuxHardwareProbe>();
  dravik::host::install_host_services(services);
  try {
    if (o.command == "doctor") return doctor(o);
    if (o.command == "setup") return setup();
  } catch (const std::exception& e) {
    std::cerr << "\ndravik " << o.command << ": " << e.what() << "\n";
    return 1;
  }
  return usage();
}
