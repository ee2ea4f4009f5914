// The command line: each command's options, registered on the CLI11 app
// next to the structure they fill.
#include <CLI/CLI.hpp>

#include "cli/commands.hpp"

namespace dravik::app {

CLI::App* add_doctor_command(CLI::App& app, DoctorOptions& d) {
  auto* cmd = app.add_subcommand(
      "doctor", "Show what a llama-server launch would do on this machine (writes nothing); --start launches it once");
  cmd->add_option("--model", d.model, "GGUF model file (default: the model recommended for this board)");
  cmd->add_option("--device", d.device, "Where the model runs: auto, cuda or cpu")
      ->check(CLI::IsMember({"auto", "cuda", "cpu"}, CLI::ignore_case))
      ->capture_default_str();
  cmd->add_option("--port", d.port, "Port of the server on 127.0.0.1")->check(CLI::Range(1, 65535))->capture_default_str();
  cmd->add_flag("--airgapped", d.airgapped, "Allow only endpoints on this machine");
  cmd->add_flag("--start", d.start,
                "Launch llama-server, print each diagnostic event as a JSON line, wait until it is ready, "
                "stop it (stops other llama-server/ollama processes of yours first)");
  cmd->add_flag("-y,--yes", d.yes, "With --start: stop those processes without asking");
  return cmd;
}

CLI::App* add_setup_command(CLI::App& app, SetupOptions& s) {
  auto* cmd = app.add_subcommand(
      "setup", "Download the model recommended for this board and build llama-server (safe to rerun: resumes)");
  cmd->add_flag("--airgapped", s.airgapped, "Try nothing that needs the network; say what is missing");
  cmd->add_flag("--json", s.json, "Print the machine-readable result instead of the summary");
  cmd->add_option("--model-url", s.model_url, "Download the model from this URL instead (a mirror)");
  cmd->add_option("--model", s.model_path, "Where the model file goes (default: ~/.dravik/models/<file>)");
  return cmd;
}

CLI::App* add_chat_command(CLI::App& app, ChatOptions& c) {
  auto* cmd = app.add_subcommand(
      "chat", "Talk with the coding assistant in this directory (one-shot with -p, or the prompt on standard input)");
  cmd->add_option("-p,--prompt", c.prompt, "Run one turn with this prompt, print the reply and exit");
  cmd->add_option("--config", c.config_file, "Configuration file (default: ~/.dravik/config.json)");
  cmd->add_option("--model", c.model, "GGUF model file for the local llama-server");
  cmd->add_option("--runtime", c.runtime, "llama_cpp, openai_compatible or openrouter")
      ->check(CLI::Validator([](std::string& v) { return unknown_runtime(v); }, "RUNTIME"));
  cmd->add_flag("--airgapped", c.airgapped, "Allow only endpoints on this machine (never downloads)");
  cmd->add_option("--model-url", c.model_url,
                  "When the model is missing, the set-up downloads it from this URL instead (a mirror)");
  cmd->add_flag("-y,--yes", c.yes,
                "Allow every tool call that changes things without asking; set up a missing model and "
                "llama-server without asking (needed off a terminal)");
  cmd->add_flag("--json", c.json, "One-shot: print the turn's events as JSON lines");
  cmd->add_flag("--no-sandbox", c.no_sandbox,
                "Run shell commands without the sandbox: with all your rights (files, keys, network, processes)");
  auto* resume = cmd->add_option("--resume", c.resume,
                                 "Continue this directory's latest session, or session ID (`dravik sessions` lists them)")
                     ->expected(0, 1)
                     ->type_name("[ID]");
  cmd->add_option("--fork", c.fork, "Start a new session from a copy of session ID")->type_name("ID")->excludes(resume);
  return cmd;
}

CLI::App* add_sessions_command(CLI::App& app) {
  return app.add_subcommand("sessions",
                            "List this directory's sessions (id, started, last activity, turns, model, first line); "
                            "continue one with `dravik chat --resume ID`");
}

}  // namespace dravik::app
