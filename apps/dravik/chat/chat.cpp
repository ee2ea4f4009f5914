// dravik chat: the interactive coding assistant, and its one-shot mode.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/signal_set.hpp>
#include <editline/readline.h>

#include "action_dispatch/action_dispatch.hpp"
#include "backend_catalog/backend_catalog.hpp"
#include "chat/chat_session.hpp"
#include "cli/commands.hpp"
#include "dravik_host.hpp"
#include "cli/first_run.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"
#include "theme/theme.hpp"

namespace dravik::app {

namespace fs = std::filesystem;
namespace asio = boost::asio;

namespace {

// ------------------------------------------------------------- signals
// At the prompt the loop is not running: signals go to a self-pipe that
// the line editor's input function watches.
int g_signal_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_last_signal = 0;
// SIGTERM or SIGHUP, once one came: dravik then ends with 128 + its number,
// as shells and scripts expect of a program a signal ended.
volatile std::sig_atomic_t g_end_signal = 0;
// The signal that ended the line being edited (0: none), set by `read_key`.
int g_key_signal = 0;

void on_signal(int sig) {
  g_last_signal = sig;
  if (sig != SIGINT) g_end_signal = sig;
  const char c = static_cast<char>(sig);
  [[maybe_unused]] auto n = ::write(g_signal_pipe[1], &c, 1);
}

void catch_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

int read_key(FILE* in) {
  for (;;) {
    pollfd fds[2] = {{::fileno(in), POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return EOF;
    }
    if (fds[1].revents & POLLIN) {
      // Ctrl-C ends the line as typed (the caller drops it); SIGTERM or
      // SIGHUP end the editor.
      char c;
      g_key_signal = SIGINT;
      while (::read(g_signal_pipe[0], &c, 1) == 1)
        if (c != SIGINT) g_key_signal = c;
      return g_key_signal == SIGINT ? '\n' : EOF;
    }
    unsigned char c;
    const ssize_t n = ::read(::fileno(in), &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return EOF;
  }
}

// ------------------------------------------------------------ configuration

Json load_config(const ChatOptions& o) {
  const fs::path file = o.config_file ? fs::path(*o.config_file) : product_home() / "config.json";
  Json cfg = Json::object();
  if (auto text = files::try_read_file(file.string())) {
    cfg = Json::parse(*text, nullptr, false);
    if (cfg.is_discarded() || !cfg.is_object())
      throw ValueError("the configuration " + file.string() + " is not a JSON object");
  } else if (o.config_file) {
    throw FileNotFoundError("no configuration file at " + file.string());
  }
  if (o.runtime) cfg["runtime"] = *o.runtime;
  if (const Json* r = config::find(cfg, "runtime"); r && r->is_string() && !config::trim(r->get<std::string>()).empty())
    if (const std::string bad = unknown_runtime(r->get<std::string>()); !bad.empty())
      throw ValueError("configuration " + file.string() + ": " + bad);
  if (o.model) cfg["llama_model"] = *o.model;
  if (o.airgapped) cfg["airgapped"] = true;
  return cfg;
}

}  // namespace

int chat(const ChatOptions& o) {
  const bool one_shot = o.prompt.has_value() || ::isatty(0) != 1;
  if (o.json && !one_shot) {
    // JSON lines are for programs: a person would approve from raw JSON.
    std::cerr << "dravik: --json is for one-shot runs: give -p PROMPT or the prompt on standard input\n";
    return 2;
  }
  std::string prompt_text = o.prompt.value_or("");
  if (one_shot && !o.prompt) {
    std::string all((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    prompt_text = config::trim(all);
    if (prompt_text.empty()) {
      std::cerr << "dravik chat: no prompt (give -p TEXT, or the prompt on standard input)\n";
      return 2;
    }
  }

  Json cfg = load_config(o);
  // A bad "allow" or "deny" entry is reported before anything starts.
  Approvals approvals = ChatSession::configured_approvals(cfg);
  const std::string runtime_key = backend_catalog::normalize_runtime(
      cfg.contains("runtime") ? std::optional<std::string>(config::text_form(cfg["runtime"])) : std::nullopt);
  asio::io_context io;
  hostlib::ServiceOptions services;
  services.workdir = fs::current_path();
  services.home = product_home();
  services.airgapped = config::truthy(cfg.value("airgapped", Json(false)));
  hostlib::install_services(io.get_executor(), services);

  // A machine without the model or llama-server: say so and set them up
  // (asked on a terminal, --yes elsewhere) before the session starts.
  if (runtime_key == "llama_cpp") {
    FirstRunOptions first{!one_shot, o.yes, services.airgapped, o.model_url};
    if (auto status = prepare_first_run(io, cfg, first)) return *status;
  }

  SessionOptions so;
  so.yes = o.yes;
  so.json = o.json;
  so.interactive = !one_shot;
  so.color = !one_shot && ::isatty(1) == 1 && !std::getenv("NO_COLOR");
  so.approvals = std::move(approvals);
  ChatSession session(io, cfg, so);

  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) throw OSError(errno, "cannot create a pipe");
  // From here on Ctrl-C, SIGTERM and SIGHUP never kill the process outright:
  // whatever happens, the server is stopped before dravik exits.
  catch_signals();
  int status = 0;
  try {
    if (!session.start(o.resume)) {
      session.stop();
      return g_end_signal ? 128 + g_end_signal : 1;
    }
    session.load_instructions();
    if (g_last_signal != 0) {
      session.stop();
      return 128 + g_last_signal;
    }
    if (one_shot) {
      status = session.one_turn(prompt_text) ? 0 : 1;
      catch_signals();  // the turn's own handlers are gone
    } else {
      // The line editor: history in ~/.dravik/history, signals through the
      // self-pipe so that Ctrl-C and SIGTERM end the prompt cleanly.
      rl_catch_signals = 0;
      rl_getc_function = read_key;
      const std::string history = (product_home() / "history").string();
      std::error_code ec;
      fs::create_directories(product_home(), ec);
      read_history(history.c_str());
      session.banner();
      // Ctrl-C at the prompt drops what is typed; a second one on an empty
      // line leaves (a Ctrl-C meant for a reply that has just ended must
      // not end the session).
      bool interrupted = false;
      for (;;) {
        catch_signals();
        g_key_signal = 0;
        const std::string prompt = session.prompt();
        char* raw = readline(prompt.c_str());
        if (!raw) {
          // Ctrl-D, SIGTERM or SIGHUP: leave.
          if (g_key_signal != SIGHUP) std::cout << "\n";
          break;
        }
        std::string line = raw;
        std::free(raw);
        // A trailing backslash continues the input on the next line.
        while (g_key_signal == 0 && !line.empty() && line.back() == '\\') {
          line.pop_back();
          char* more = readline("... ");
          if (!more) break;
          line += "\n";
          line += more;
          std::free(more);
        }
        if (g_key_signal == SIGTERM || g_key_signal == SIGHUP) break;
        if (g_key_signal == SIGINT) {
          if (interrupted && config::trim(line).empty()) break;
          interrupted = true;
          const char* hint = "(Ctrl-D or /exit leaves)";
          std::cout << (so.color ? std::string("\x1b[2m") + hint + "\x1b[0m" : std::string(hint)) << "\n"
                    << std::flush;
          continue;
        }
        interrupted = false;
        if (config::trim(line).empty()) continue;
        add_history(line.c_str());
        write_history(history.c_str());
        const bool go_on = session.handle(line);
        catch_signals();  // a turn's own handlers are gone
        if (!go_on || session.quit_requested()) break;
      }
    }
  } catch (...) {
    session.stop();
    throw;
  }
  session.stop();
  if (const int sig = g_end_signal ? static_cast<int>(g_end_signal) : session.quit_signal()) return 128 + sig;
  return status;
}

}  // namespace dravik::app
