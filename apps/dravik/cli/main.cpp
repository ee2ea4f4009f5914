// dravik: the command line of the Dravik libraries.
//
//   dravik chat [-p PROMPT] [--model PATH] [--runtime NAME] [--config FILE] [--yes] [--json]
//               [--resume [ID] | --fork ID] [--airgapped] [--model-url URL]
//   dravik sessions
//   dravik doctor [--model PATH] [--device auto|cuda|cpu] [--port N] [--airgapped] [--start [--yes]]
//   dravik setup [--airgapped] [--json] [--model-url URL] [--model PATH]
//   dravik help [COMMAND]
#include <iostream>

#include <CLI/CLI.hpp>

#include "cli/commands.hpp"
#include "dravik_host.hpp"
#include "support/text.hpp"

#ifndef DRAVIK_VERSION
#define DRAVIK_VERSION "unknown"
#endif

namespace {

using namespace dravik::app;

// A wrong option or value: one line, the usage of the command it was
// given to, exit status 2.
int usage_error(CLI::App& app, const CLI::ParseError& e) {
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

int help(CLI::App& app, const std::string& topic) {
  if (topic.empty()) {
    std::cout << app.help();
    return 0;
  }
  for (auto* sub : app.get_subcommands([](CLI::App*) { return true; }))
    if (sub->get_name() == topic) {
      std::cout << sub->help("dravik");
      return 0;
    }
  std::cerr << "dravik: no command '" << dravik::text::escape_controls(topic) << "'\n"
            << CLI::Formatter().make_usage(&app, "dravik");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Dravik runs a coding assistant's language model on this board through llama.cpp's llama-server.",
               "dravik"};
  app.set_version_flag("--version", DRAVIK_VERSION, "Print the version and exit");
  app.require_subcommand(0, 1);
  DoctorOptions d;
  SetupOptions s;
  ChatOptions c;
  std::string topic;
  auto* doctor_cmd = add_doctor_command(app, d);
  auto* setup_cmd = add_setup_command(app, s);
  auto* chat_cmd = add_chat_command(app, c);
  auto* sessions_cmd = add_sessions_command(app);
  auto* help_cmd = app.add_subcommand("help", "Show this help, or a command's");
  help_cmd->add_option("command", topic, "The command to explain");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usage_error(app, e);
  }

  const char* command = "dravik";
  try {
    if (help_cmd->parsed()) return help(app, topic);
    if (chat_cmd->parsed()) {
      command = "dravik chat";
      return chat(c);
    }
    if (sessions_cmd->parsed()) {
      command = "dravik sessions";
      return sessions();
    }
    // The doctor and the set-up use the host services on a loop of their own.
    boost::asio::io_context io;
    dravik::hostlib::ServiceOptions services;
    services.airgapped = d.airgapped || s.airgapped;
    dravik::hostlib::install_services(io.get_executor(), services);
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
