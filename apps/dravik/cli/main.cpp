// dravik: the command line of the Dravik libraries.
//
//   dravik chat [-p PROMPT] [--model PATH] [--runtime NAME] [--config FILE] [--yes] [--json] [--resume]
//               [--airgapped] [--model-url URL]
//   dravik doctor [--model PATH] [--device auto|cuda|cpu] [--port N] [--airgapped] [--start [--yes]]
//   dravik setup [--airgapped] [--json] [--model-url URL] [--model PATH]
//   dravik help [COMMAND]
#include <iostream>
#include <sstream>

#include <CLI/CLI.hpp>

#include "cli/commands.hpp"
#include "dravik_host.hpp"
#include "backend_catalog/backend_catalog.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

#ifndef DRAVIK_VERSION
#define DRAVIK_VERSION "unknown"
#endif

namespace dravik::app {

std::filesystem::path product_home() {
  if (!files::home_directory())
    throw RuntimeError("cannot tell your home directory: HOME is not set and the password database has no entry "
                       "for this user; set HOME to it");
  return provisioning::DRAVIK_HOME;
}

std::string unknown_runtime(const std::string& name) {
  const std::string key = config::lower(config::trim(name));
  std::string usable;
  for (const auto& [k, spec] : backend_catalog::RUNTIME_SPECS) {
    if (k == key) return "";
    if (spec.enabled) usable += (usable.empty() ? "" : ", ") + k;
  }
  std::string aliases;
  for (const auto& [alias, k] : backend_catalog::RUNTIME_ALIASES) {
    if (alias == key) return "";
    aliases += (aliases.empty() ? "" : ", ") + alias;
  }
  return "unknown runtime '" + text::escape_controls(name) + "': one of " + usable + " (or " + aliases + ")";
}

std::string shown_error(const std::string& what) {
  std::istringstream in(what);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(text::escape_controls(l));
  const std::size_t keep = 20;
  std::string out;
  if (lines.size() > keep) out = "... (" + std::to_string(lines.size() - keep) + " earlier lines)\n";
  for (std::size_t i = lines.size() > keep ? lines.size() - keep : 0; i < lines.size(); ++i)
    out += lines[i] + (i + 1 < lines.size() ? "\n" : "");
  return out;
}

}  // namespace dravik::app

int main(int argc, char** argv) {
  using namespace dravik::app;
  CLI::App app{"Dravik runs a coding assistant's language model on this board through llama.cpp's llama-server.",
               "dravik"};
  app.set_version_flag("--version", DRAVIK_VERSION, "Print the version and exit");
  app.require_subcommand(0, 1);

  DoctorOptions d;
  auto* doctor_cmd = app.add_subcommand(
      "doctor", "Show what a llama-server launch would do on this machine (writes nothing); --start launches it once");
  doctor_cmd->add_option("--model", d.model, "GGUF model file (default: the model recommended for this board)");
  doctor_cmd->add_option("--device", d.device, "Where the model runs: auto, cuda or cpu")
      ->check(CLI::IsMember({"auto", "cuda", "cpu"}, CLI::ignore_case))
      ->capture_default_str();
  doctor_cmd->add_option("--port", d.port, "Port of the server on 127.0.0.1")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  doctor_cmd->add_flag("--airgapped", d.airgapped, "Allow only endpoints on this machine");
  doctor_cmd->add_flag("--start", d.start,
                       "Launch llama-server, print each diagnostic event as a JSON line, wait until it is ready, "
                       "stop it (stops other llama-server/ollama processes of yours first)");
  doctor_cmd->add_flag("-y,--yes", d.yes, "With --start: stop those processes without asking");

  SetupOptions s;
  auto* setup_cmd = app.add_subcommand(
      "setup", "Download the model recommended for this board and build llama-server (safe to rerun: resumes)");
  setup_cmd->add_flag("--airgapped", s.airgapped, "Try nothing that needs the network; say what is missing");
  setup_cmd->add_flag("--json", s.json, "Print the machine-readable result instead of the summary");
  setup_cmd->add_option("--model-url", s.model_url, "Download the model from this URL instead (a mirror)");
  setup_cmd->add_option("--model", s.model_path, "Where the model file goes (default: ~/.dravik/models/<file>)");

  ChatOptions c;
  auto* chat_cmd = app.add_subcommand(
      "chat", "Talk with the coding assistant in this directory (one-shot with -p, or the prompt on standard input)");
  chat_cmd->add_option("-p,--prompt", c.prompt, "Run one turn with this prompt, print the reply and exit");
  chat_cmd->add_option("--config", c.config_file, "Configuration file (default: ~/.dravik/config.json)");
  chat_cmd->add_option("--model", c.model, "GGUF model file for the local llama-server");
  chat_cmd->add_option("--runtime", c.runtime, "llama_cpp, openai_compatible or openrouter")
      ->check(CLI::Validator([](std::string& v) { return unknown_runtime(v); }, "RUNTIME"));
  chat_cmd->add_flag("--airgapped", c.airgapped, "Allow only endpoints on this machine (never downloads)");
  chat_cmd->add_option("--model-url", c.model_url,
                       "When the model is missing, the set-up downloads it from this URL instead (a mirror)");
  chat_cmd->add_flag("-y,--yes", c.yes,
                     "Allow every tool call that changes things without asking; set up a missing model and "
                     "llama-server without asking (needed off a terminal)");
  chat_cmd->add_flag("--json", c.json, "One-shot: print the turn's events as JSON lines");
  chat_cmd->add_flag("--resume", c.resume, "Continue the last conversation of this directory");

  std::string topic;
  auto* help_cmd = app.add_subcommand("help", "Show this help, or a command's");
  help_cmd->add_option("command", topic, "The command to explain");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    CLI::App* where = &app;
    std::string name = "dravik";
    for (auto* sub : app.get_subcommands()) {
      where = sub;
      name += " " + sub->get_name();
    }
    std::cerr << "dravik: " << e.what() << "\n"
              << CLI::Formatter().make_usage(where, name) << "Run '" << name << " --help' for more.\n";
    return 2;
  }

  boost::asio::io_context io;
  dravik::hostlib::ServiceOptions services;
  services.airgapped = d.airgapped || s.airgapped;
  if (!chat_cmd->parsed()) dravik::hostlib::install_services(io.get_executor(), services);

  const char* command = "dravik";
  try {
    if (help_cmd->parsed()) {
      if (topic.empty()) {
        std::cout << app.help();
        return 0;
      }
      for (auto* sub : {chat_cmd, doctor_cmd, setup_cmd, help_cmd})
        if (sub->get_name() == topic) {
          std::cout << sub->help("dravik");
          return 0;
        }
      std::cerr << "dravik: no command '" << dravik::text::escape_controls(topic) << "'\n"
                << CLI::Formatter().make_usage(&app, "dravik");
      return 2;
    }
    if (chat_cmd->parsed()) {
      command = "dravik chat";
      return chat(c);
    }
    if (doctor_cmd->parsed()) {
      command = "dravik doctor";
      return doctor(d);
    }
    if (setup_cmd->parsed()) {
      command = "dravik setup";
      return setup(s);
    }
    std::cout << app.help();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << command << ": " << shown_error(e.what()) << "\n";
    return 1;
  }
}
