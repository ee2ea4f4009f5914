#include "chat/chat_session.hpp"

#include <unistd.h>

#include <csignal>
#include <set>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "backend_catalog/backend_catalog.hpp"
#include "chat/mcp_consent.hpp"
#include "chat_protocol.hpp"
#include "cli/commands.hpp"
#include "cli/console.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"
#include "theme/theme.hpp"
#include "turn/turn.hpp"

namespace dravik::app {

namespace asio = boost::asio;

namespace {

std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

// The likely fix for a server that did not start, from what it said.
std::string start_hint(const std::string& what) {
  if (what.find("already in use") != std::string::npos)
    return "hint: another program listens on that port; stop it or set \"llama_port\" in the configuration.";
  if (what.find("not found") != std::string::npos) return "hint: run `dravik setup` to build llama-server.";
  return "hint: `dravik doctor` checks the model file and shows the launch command.";
}

// Whether a start may ask whether to stop another server: only a person at
// a terminal, and not in JSON mode (its questions would mix with the JSON).
bool can_ask_about_servers(const ChatSettings& s) { return ::isatty(0) == 1 && !s.json; }

// What to do when a start would have stopped a server and the user did not
// agree (or could not be asked).
std::string declined(const hostlib::StartDeclined& e, const ChatSettings& s) {
  std::string m = std::string("dravik chat: ") + e.what() + ".";
  if (e.kind == hostlib::StartQuestion::Kind::foreign)
    m += can_ask_about_servers(s) ? "" : "\nhint: stop it yourself, or run again with --yes to let dravik stop it.";
  else
    m += "\nhint: leave that session first, or run this one with the model that server has (--model).";
  return m;
}

}  // namespace

bool is_slash_command(const std::string& line) {
  const std::string cmd = config::trim(line);
  if (cmd.size() < 2 || cmd[0] != '/') return false;
  const std::string word = cmd.substr(0, cmd.find_first_of(" \t\n"));
  return word.find('/', 1) == std::string::npos;
}

hostlib::SharedServerOptions shared_server_options(const ChatSettings& s, Output& out) {
  hostlib::SharedServerOptions o;
  o.run_dir = s.home / "run";
  o.project = s.workdir;
  // Asked only of a person at a terminal; --yes answers for a stranger's
  // server, never for one another session of the user still uses.
  const bool can_ask = can_ask_about_servers(s);
  o.confirm = [&out, can_ask, yes = s.yes](const hostlib::StartQuestion& q) {
    using Kind = hostlib::StartQuestion::Kind;
    if (q.kind == Kind::foreign && yes) {
      out.note("(" + q.what + ": --yes lets dravik stop it)");
      return true;
    }
    if (!can_ask) return false;
    out.clear_status();
    out.note(q.what + ".");
    return confirm(q.kind == Kind::foreign ? "Stop it and start the model server?"
                                           : "Stop it (that session loses its model server) and start yours?");
  };
  o.notify = [&out](const std::string& line) { out.note(line); };
  return o;
}

std::unique_ptr<hostlib::ChatRuntime> open_runtime(asio::io_context& io, const ChatSettings& s,
                                                   std::function<void(const std::string&, const Json&)> hook,
                                                   Output* out) {
  if (!s.local())
    return hostlib::remote_runtime(io.get_executor(), backend_catalog::api_runtime_options(remote_runtime_config(s)),
                                   s.reply_cap);
  // The local server from what the settings resolved, and nothing else.
  hostlib::LocalRuntimeOptions local;
  local.model = s.server.model;
  local.port = s.server.port;
  local.context_window_tokens = s.context_tokens;
  local.device = s.server.device;
  local.gpu_layers = s.server.gpu_layers;
  local.airgapped = s.airgapped;
  local.diagnostics = std::move(hook);
  local.max_reply_tokens = s.reply_cap;
  local.cache_ram_mib = s.cache_ram_mib;
  if (out) local.shared = shared_server_options(s, *out);
  return hostlib::local_runtime(io.get_executor(), std::move(local));
}

ChatSession::ChatSession(asio::io_context& io, ChatSettings settings)
    : io_(io),
      settings_(std::move(settings)),
      out_(make_output(settings_)),
      conversation_(base_system_prompt(settings_.workdir.string())),
      undo_(settings_.workdir, settings_.home),
      sessions_(settings_.workdir, settings_.home),
      approvals_(settings_.approvals) {
  conversation_.on_add([this](bool interrupted) { record(interrupted); });
}

ChatSession::~ChatSession() {
  // Normally stopped already; else no MCP server outlives the session.
  try {
    stop_mcp();
  } catch (const std::exception&) {
  }
}

bool ChatSession::start() {
  auto hook = [this](const std::string& type, const Json&) {
    if (type == "runtime_llama_starting") start_stage_ = "preparing memory and clocks";
    else if (type == "runtime_llama_launch_command") start_stage_ = "loading the model";
    else if (type == "runtime_llama_cleanup_stale_processes") start_stage_ = "stopping an old llama-server";
    out_->status("Starting llama-server: " + start_stage_ + "...");
  };
  // Before anything else writes there, so that .dravik gets its
  // .gitignore when it is made.
  try {
    sessions_.prepare();
  } catch (const OSError& e) {
    out_->error(std::string("nothing of this session can be saved: ") + e.what());
  }
  try {
    runtime_ = open_runtime(io_, settings_, hook, out_.get());
  } catch (const std::exception& e) {
    out_->error(std::string("dravik chat: ") + e.what());
    return false;
  }
  // The MCP servers start while the model server does.
  auto mcp_servers = agreed_mcp_servers(settings_, *out_, can_ask_about_servers(settings_));
  if (!mcp_servers.empty()) {
    hostlib::McpOptions o;
    o.workdir = settings_.workdir;
    o.airgapped = settings_.airgapped;
    mcp_ = std::make_unique<hostlib::McpServers>(io_.get_executor(), std::move(mcp_servers), o);
    mcp_start_ = std::make_shared<McpStart>();
    asio::co_spawn(io_, mcp_->start(), [state = mcp_start_](std::exception_ptr e, std::string warning) {
      state->warning = e ? std::string("MCP servers left out: their start failed") : std::move(warning);
      state->done = true;
    });
  }
  const bool runtime_started = start_runtime();
  wait_mcp_start();
  if (!runtime_started) {
    stop_mcp();
    return false;
  }
  if (mcp_start_ && !mcp_start_->warning.empty()) {
    out_->clear_status();
    out_->error(text::escape_controls(mcp_start_->warning));
  }
  offer_mcp_tools();
  started_ = true;
  // Said once: what protects the user when nothing does.
  if (const auto& sb = settings_.shell_sandbox; sb && !sb->confines()) out_->note("sandbox: " + sb->describe());
  // After the start: a shared server brings its own context window.
  context_ = std::make_unique<ContextKeeper>(*runtime_, settings_);
  out_->clear_status();
  runtime_->attach_conversation(conversation_.shared(), [this](const std::string& s) {
    if (!s.empty()) out_->note(s);
  });
  saved_ = std::make_unique<SavedSession>(*runtime_, conversation_, settings_.home);
  if (!open_session()) return false;
  undo_.set_session(recorder_->id());
  undo_.tidy();
  return true;
}

bool ChatSession::start_runtime() {
  try {
    run_until_done(io_, runtime_->start());
    return true;
  } catch (const hostlib::StartDeclined& e) {
    out_->clear_status();
    out_->error(declined(e, settings_));
  } catch (const std::exception& e) {
    out_->clear_status();
    const std::string what = e.what();
    const auto status = run_until_done(io_, runtime_->server_exit_status(std::chrono::milliseconds(0)));
    out_->error("dravik chat: the model server did not start: " +
                start_failure(what, status, runtime_->server_log_tail(120)) + "\n" + start_hint(what));
  }
  return false;
}

void ChatSession::offer_mcp_tools() {
  if (!mcp_) return;
  hostlib::set_extra_tools(mcp_->tool_definitions());
  std::set<std::string> read_only;
  for (const auto& t : mcp_->tools())
    if (t.read_only) read_only.insert(t.exposed);
  approvals_.set_read_only_mcp_tools(std::move(read_only));
}

void ChatSession::wait_mcp_start() {
  if (!mcp_start_) return;
  io_.restart();
  while (!mcp_start_->done) io_.run_one();
}

void ChatSession::stop_mcp() {
  if (!mcp_) return;
  wait_mcp_start();
  try {
    run_until_done(io_, mcp_->stop());
  } catch (const std::exception& e) {
    out_->error(std::string("could not stop the MCP servers cleanly: ") + e.what());
  }
  hostlib::set_extra_tools(Json::array());
  mcp_.reset();
}

void ChatSession::banner() {
  std::string about = runtime_->describe() + ", context " + count(runtime_->context_window_tokens()) + " tokens";
  if (!settings_.context_why.empty()) about += " (" + settings_.context_why + ")";
  if (auto cap = runtime_->max_reply_tokens()) about += ", replies up to " + count(*cap) + " tokens";
  const auto paint = [this](const char* name, const std::string& s) {
    const std::string seq = out_->style(name);
    return seq.empty() ? s : seq + s + "\x1b[0m";
  };
  out_->text(paint("brand", "Dravik") + " " + paint("dim", about) + "\n" +
             paint("dim", "/help for commands; Ctrl-C cancels a reply or clears the line; Ctrl-D or /exit leaves.") +
             "\n");
}

std::string ChatSession::prompt() const {
  const std::string mode = runtime_->has_reasoning_switch() ? " [reasoning " + runtime_->reasoning_status() + "]" : "";
  if (!settings_.color) return "you" + mode + " > ";
  // The escape sequences are marked (\1 ... \2) so that the line editor
  // does not count them as columns.
  auto styled = [](const char* cls, const std::string& text) {
    return "\1" + sgr(theme::style_of(theme::PROMPT_STYLE, cls)) + "\2" + text + "\1\x1b[0m\2";
  };
  return styled("prompt", "you") + styled("prompt-status", mode) + styled("prompt-divider", " > ");
}

bool ChatSession::run_within(asio::io_context& io, asio::awaitable<bool> task, std::chrono::milliseconds limit) {
  asio::cancellation_signal cancel;
  asio::steady_timer timer(io, limit);
  bool done = false, timed_out = false;
  std::exception_ptr error;
  timer.async_wait([&](boost::system::error_code ec) {
    if (ec || done) return;
    timed_out = true;
    cancel.emit(asio::cancellation_type::terminal);
  });
  asio::co_spawn(io, std::move(task), asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, bool) {
                   error = e;
                   done = true;
                   timer.cancel();
                 }));
  io.restart();
  while (!done) io.run_one();
  io.restart();
  io.poll();
  if (!error) return true;  // done, even when the limit came as it ended
  if (timed_out) return false;
  std::rethrow_exception(error);
}

bool ChatSession::handle(const std::string& line) {
  const std::string cmd = config::trim(line);
  command_ok_ = true;
  if (!is_slash_command(cmd)) {
    command_ok_ = run_turn(line);
    // What the turn rewrote (the context budget, a summary) is kept too.
    record();
    return true;
  }
  const std::string word = cmd.substr(0, cmd.find_first_of(" \t\n"));
  const std::string arg = cmd.size() > word.size() ? config::trim(cmd.substr(word.size())) : "";
  if (word == "/exit" || word == "/quit") return false;
  if (word == "/help") help();
  else if (word == "/reasoning") reasoning(arg);
  else if (word == "/reset") reset();
  else if (word == "/status") status();
  else if (word == "/init") init();
  else if (word == "/compact") compact();
  else if (word == "/undo") undo();
  else {
    out_->error("unknown command " + text::escape_controls(word) + " (/help lists them)");
    command_ok_ = false;
  }
  record();
  return true;
}

bool ChatSession::one_turn(const std::string& prompt) {
  // `dravik chat -p /undo` (or /init, /status, ...) runs the command, as at
  // the prompt; what would be asked is decided as off a terminal always is.
  handle(prompt);
  out_->done(command_ok_, last_reply_);
  return command_ok_;
}

std::exception_ptr ChatSession::interruptible(asio::awaitable<void> task) {
  // Ctrl-C cancels the task; SIGTERM or SIGHUP cancel it and end the session.
  asio::signal_set signals(io_, SIGINT, SIGTERM, SIGHUP);
  asio::cancellation_signal cancel;
  std::exception_ptr error;
  bool done = false;
  signals.async_wait([&](boost::system::error_code ec, int sig) {
    if (ec) return;
    if (sig != SIGINT) {
      quit_ = true;
      quit_signal_ = sig;
    }
    cancel.emit(asio::cancellation_type::terminal);
  });
  asio::co_spawn(io_, std::move(task), asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) {
                   error = e;
                   done = true;
                 }));
  io_.restart();
  while (!done) io_.run_one();
  signals.cancel();
  io_.restart();
  io_.poll();
  return error;
}

bool ChatSession::run_turn(const std::string& user_text) {
  // An /undo since the last turn is told to the model in front of this
  // message: a message of its own would put two user messages in a row,
  // which some chat templates refuse.
  const std::string undo_note = undo_.take_note();
  conversation_.add_user(undo_note.empty() ? user_text : "[" + undo_note + "]\n\n" + user_text);
  undo_.begin_turn();
  if (mcp_) {
    // A server that said its tools changed is listed again first.
    run_until_done(io_, mcp_->refresh_tools());
    offer_mcp_tools();
  }
  Turn turn({*runtime_, conversation_, *context_, approvals_, undo_, *out_, settings_, mcp_.get()});
  const std::exception_ptr error = interruptible(turn.run());
  last_reply_ = turn.last_reply();
  last_figures_ = turn.last_figures();
  out_->before_prompt();
  if (is_repeated_call_stop(error)) {
    out_->note("(the model repeated the same call; the turn was stopped)");
    return true;
  }
  if (!error) return true;
  if (is_cancellation(error)) {
    out_->note("(cancelled)");
    return false;
  }
  out_->error("error: " + shown_error(error_text(error)));
  return false;
}

void ChatSession::stop() {
  if (recorder_) {
    record();
    if (!recorder_->saved())
      out_->error("the conversation could not be saved to " + text::escape_controls(recorder_->file().string()) +
                  ": " + recorder_->error());
  }
  if (!runtime_) return;
  try {
    // The conversation and its KV cache, for `dravik chat --resume`.
    if (started_ && saved_ && recorder_) {
      // Marked first: a kill in between leaves a mark whose conversation
      // differs, and the cache is then not loaded for it.
      saved_->set_owner(recorder_->id());
      // A stopped or stuck server never holds the exit.
      if (!run_within(io_, saved_->save(), settings_.exit_save_limit))
        out_->note("(the server's cache was not saved: it did not answer within " +
                   std::to_string(settings_.exit_save_limit.count() / 1000) +
                   " s; the next --resume reads the conversation again)");
    }
  } catch (const std::exception& e) {
    // The conversation is in the journal; what failed is the server's cache.
    out_->error(std::string("could not keep the server's cache for the next --resume: ") + e.what());
  }
  stop_mcp();
  try {
    run_until_done(io_, runtime_->close());
  } catch (const std::exception& e) {
    out_->error(std::string("could not stop the server cleanly: ") + e.what());
  }
  context_.reset();
  saved_.reset();
  runtime_.reset();
}

}  // namespace dravik::app
