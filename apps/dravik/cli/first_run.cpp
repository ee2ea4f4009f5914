#include "cli/first_run.hpp"

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/this_coro.hpp>

#include "backend_catalog/backend_catalog.hpp"
#include "cli/commands.hpp"
#include "settings/settings.hpp"
#include "dravik_host.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "host_services/host_services.hpp"
#include "support/http/http.hpp"
#include "support/process/process.hpp"

namespace dravik::app {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace pv = dravik::provisioning;

namespace {

constexpr const char* kLlamaCppRepo = "https://github.com/ggml-org/llama.cpp";

std::uint64_t file_size_or_zero(const fs::path& p) {
  std::error_code ec;
  const auto n = fs::file_size(p, ec);
  return ec ? 0 : static_cast<std::uint64_t>(n);
}

// The directory that will hold the model, or its nearest existing parent.
fs::path existing_model_dir(const ModelDownload& m) {
  fs::path dir = fs::path(m.target).parent_path();
  std::error_code ec;
  while (!dir.empty() && dir != dir.root_path() && !fs::exists(dir, ec)) dir = dir.parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

std::string size_and_bytes(std::uint64_t n) { return pv::size_text(n) + " (" + pv::thousands(n) + " bytes)"; }

asio::awaitable<std::optional<std::uint64_t>> ask_size(std::string url) {
  http::Client client(co_await asio::this_coro::executor, std::chrono::seconds(10), host::policy_redirect_check());
  http::Request req;
  req.url = std::move(url);
  req.headers.emplace_back("Range", "bytes=0-0");
  std::optional<std::uint64_t> size;
  std::exception_ptr failure;
  try {
    auto resp = co_await client.send(std::move(req));
    if (resp.status() == 206) {
      // "Content-Range: bytes 0-0/4683073952"
      const std::string range = resp.header("Content-Range").value_or("");
      const auto slash = range.rfind('/');
      if (slash != std::string::npos)
        if (auto n = config::parse_int64(config::trim(range.substr(slash + 1))); n && *n > 0)
          size = static_cast<std::uint64_t>(*n);
    } else if (resp.status() == 200) {
      if (auto n = config::parse_int64(config::trim(resp.header("Content-Length").value_or(""))); n && *n > 0)
        size = static_cast<std::uint64_t>(*n);
    }
    resp.close();  // the body is not wanted
  } catch (...) {
    failure = std::current_exception();
  }
  // Unreachable or odd: the size stays unknown; cancellation goes on.
  if (failure && is_cancellation(failure)) std::rethrow_exception(failure);
  co_return size;
}

bool is_tool_installed(const char* name) { return proc::which(name).has_value(); }

}  // namespace

ModelDownload model_download(const host::HardwareInfo& hw, const std::optional<std::string>& url,
                             const std::optional<std::string>& path) {
  const Json rec = pv::recommend_direct_model(hw);
  ModelDownload m;
  m.label = rec["label"].get<std::string>();
  m.url = url.value_or(rec["url"].get<std::string>());
  m.target = path.value_or(rec["target_path"].get<std::string>());
  m.filename = fs::path(m.target).filename().string();
  m.mirror = m.url != rec["url"].get<std::string>();
  // The catalog's size needs no request, so nothing is sent anywhere before
  // the user agrees; a mirror may serve another file, so it is asked.
  if (!m.mirror) m.bytes = pv::catalog_size_bytes(rec["filename"].get<std::string>());
  return m;
}

std::optional<std::uint64_t> announced_size(asio::io_context& io, const std::string& url) {
  return run_until_done(io, ask_size(url));
}

std::optional<std::uint64_t> free_space_for(const ModelDownload& m) {
  std::error_code ec;
  const auto sp = fs::space(existing_model_dir(m), ec);
  if (ec) return std::nullopt;
  return static_cast<std::uint64_t>(sp.available);
}

std::uint64_t bytes_to_download(const ModelDownload& m) {
  if (!m.bytes) return 0;
  const std::uint64_t have = file_size_or_zero(m.target + ".part");
  return *m.bytes > have ? *m.bytes - have : 0;
}

std::optional<std::string> disk_shortfall(const ModelDownload& m) {
  if (!m.bytes) return std::nullopt;
  const auto free = free_space_for(m);
  const std::uint64_t need = bytes_to_download(m);
  if (!free || *free >= need) return std::nullopt;
  return "Not enough disk space for the model: " + m.filename + " needs " + size_and_bytes(need) + " more in " +
         existing_model_dir(m).string() + ", and only " + size_and_bytes(*free) +
         " is free there. Nothing was downloaded. Free some space, or pass --model PATH to a GGUF model you have.";
}

SetupStopped::SetupStopped()
    : std::runtime_error("set-up stopped. A partial model download is kept and resumes when the set-up runs again.") {}

Json run_setup_steps(asio::io_context& io, Console& con, const host::HardwareInfo& hw, ModelDownload m,
                     bool with_model) {
  std::error_code ec;
  if (with_model && !fs::exists(m.target, ec)) {
    if (!m.bytes) m.bytes = announced_size(io, m.url);
    if (auto shortfall = disk_shortfall(m)) throw RuntimeError(*shortfall);
  }
  // An existing model file is not downloaded again, but still reported.
  Json request = {{"runtime", "llama_cpp"}};
  if (with_model) {
    request["model_source"] = "direct";
    request["model_download_url"] = m.url;
    request["model_download_path"] = m.target;
  }

  // Ctrl-C, SIGTERM and SIGHUP cancel the steps: the download keeps its
  // partial file, a running git or cmake is ended with its process group.
  // The state is shared with the handler: a signal that lands as the steps
  // end has its handler run later, after this function has returned.
  struct Stop {
    bool requested = false;
    asio::cancellation_signal signal;
  };
  auto stop = std::make_shared<Stop>();
  asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
  signals.async_wait([stop](const boost::system::error_code& e, int) {
    if (e) return;
    stop->requested = true;
    stop->signal.emit(asio::cancellation_type::terminal);
  });
  std::optional<Json> result;
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(io,
                 pv::provision_setup_artifacts(
                     request, hw, [&](const std::string& line) { con.line(line); },
                     [&](const std::string& text) { con.status(text); }, [&] { con.clear_status(); }),
                 asio::bind_cancellation_slot(stop->signal.slot(), [&](std::exception_ptr e, Json v) {
                   error = e;
                   if (!e) result.emplace(std::move(v));
                   done = true;
                 }));
  io.restart();
  while (!done) io.run_one();
  signals.cancel();
  con.clear_status();
  // A step killed by the same Ctrl-C (it reaches the whole foreground
  // process group) fails on its own; the user still asked to stop.
  if (stop->requested) throw SetupStopped();
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

namespace {

// What is missing, one line each.
std::string missing_lines(const ModelDownload& m, bool need_model, bool need_server) {
  std::string missing;
  if (need_model) missing += "  - no model: " + m.target + " does not exist\n";
  if (need_server)
    missing += "  - no llama-server: none on PATH or in " + (pv::LLAMA_CPP_DIR / "build/bin").string() + "\n";
  return missing;
}

// Air-gapped: which files to bring, and from where.
void say_what_to_copy(const ModelDownload& m, const std::string& missing, bool need_model, bool need_server) {
  std::cerr << "dravik chat: this machine is not set up yet:\n"
            << missing << "Air-gapped: nothing is downloaded or built. Bring the files from a machine with network:\n";
  if (need_model)
    std::cerr << "  - copy a GGUF model file to " << m.target << " (the one for this board is " << m.filename
              << ", from " << m.url << "), or pass --model PATH\n";
  if (need_server)
    std::cerr << "  - copy a llama-server build to " << (pv::LLAMA_CPP_DIR / "build/bin/llama-server").string()
              << " or to a directory on PATH\n";
  std::cerr << "`dravik doctor` shows what this board has.\n";
}

// What a set-up would do, for the person to decide (or, with --yes, to see
// what is happening).
std::string offer_text(const ModelDownload& m, const host::HardwareInfo& hw, const std::string& missing,
                       const std::string& size, bool need_model, bool need_server) {
  std::string offer = "dravik is not set up on this machine yet:\n" + missing + "Setting it up now will:\n";
  if (need_model) {
    offer += "  - download " + (m.mirror ? m.filename : m.label + " (" + m.filename + ")") + ", " + size + ", from " +
             m.url + "\n    to " + m.target + "\n";
    if (const std::uint64_t have = file_size_or_zero(m.target + ".part"); have > 0)
      offer += "    (" + pv::size_text(have) + " of it is here already from an earlier try: the download resumes)\n";
    if (auto free = free_space_for(m))
      offer += "    free space in " + existing_model_dir(m).string() + ": " + pv::size_text(*free) + "\n";
  }
  if (need_server) {
    offer += "  - build llama-server" + std::string(hw.has_cuda ? " with CUDA" : "") + ": clone " + kLlamaCppRepo +
             " into " + pv::LLAMA_CPP_DIR.string() +
             " and compile it (this takes a while: half an hour or more on a board)\n";
    std::string tools;
    for (const char* t : {"git", "cmake"})
      if (!is_tool_installed(t)) tools += std::string(tools.empty() ? "" : " and ") + t;
    if (!tools.empty()) offer += "    " + tools + " not found on PATH: the build needs them (and a C++ compiler)\n";
  }
  return offer;
}

// The person's answer to the offer; false (having said how to set up
// later) unless it is yes.
bool consent(const std::string& later) {
  std::cout << "Set up now? [Y/n] " << std::flush;
  std::string answer;
  const bool got = static_cast<bool>(std::getline(std::cin, answer));
  answer = config::lower(config::trim(answer));
  if (got && (answer.empty() || answer == "y" || answer == "yes")) return true;
  std::cout << (got ? "" : "\n") << "Nothing was changed. To set up later, run:\n  " << later
            << "    # downloads the model, builds llama-server\n  dravik chat\n";
  return false;
}

}  // namespace

FirstRun prepare_first_run(asio::io_context& io, const LocalServerSettings& server, const FirstRunOptions& o) {
  const auto hw = hostlib::LinuxHardwareProbe::probe();
  ModelDownload m = model_download(hw, o.model_url, std::nullopt);
  std::error_code ec;
  const bool need_model = !server.model_configured && !fs::exists(m.target, ec);
  const bool need_server = !pv::current_sidecar_path().has_value();
  if (!need_model && !need_server) return {};
  const std::string missing = missing_lines(m, need_model, need_server);
  if (o.airgapped) {
    say_what_to_copy(m, missing, need_model, need_server);
    return {1, std::nullopt};
  }
  if (need_model && m.mirror) m.bytes = announced_size(io, m.url);
  const std::string size = m.bytes ? pv::size_text(*m.bytes) : "size unknown";
  if (need_model)
    if (auto shortfall = disk_shortfall(m)) {
      std::cerr << "dravik chat: this machine is not set up yet:\n" << missing << shortfall.value() << "\n";
      return {1, std::nullopt};
    }
  std::string later = "dravik setup";
  if (o.model_url) later += " --model-url " + *o.model_url;
  if (!o.interactive && !o.yes) {
    std::cerr << "dravik chat: this machine is not set up yet:\n"
              << missing << "Off a terminal nothing is downloaded or built without --yes: add --yes to set it up now ("
              << (need_model ? "download " + m.filename + ", " + size : std::string())
              << (need_model && need_server ? ", and " : "") << (need_server ? "build llama-server" : "")
              << "), or run `" << later << "` first. `dravik doctor` shows what this board has.\n";
    return {1, std::nullopt};
  }
  std::FILE* out = o.interactive ? stdout : stderr;
  std::fputs(offer_text(m, hw, missing, size, need_model, need_server).c_str(), out);
  std::fflush(out);
  if (!o.yes && !consent(later)) return {1, std::nullopt};

  Console con(out);
  Json result;
  try {
    result = run_setup_steps(io, con, hw, m, need_model);
  } catch (const SetupStopped&) {
    con.line(std::string("Set-up stopped. ") +
             (need_model ? "The partial download is kept: the same command resumes it." : ""));
    return {130, std::nullopt};
  }
  con.line("Set-up complete.");
  if (need_model) con.line("  model:        " + m.target);
  con.line("  llama-server: " + config::text_form(result.value("sidecar_path", Json("?"))));
  con.line("Starting the chat.");
  if (need_model) return {std::nullopt, config::text_form(result.value("llama_model", Json(m.target)))};
  return {};
}

}  // namespace dravik::app
