// dravik chat: the interactive coding assistant, and its one-shot mode.
// The settings are resolved first (settings/), a machine that is not set
// up is set up (cli/first_run), then the session runs: one turn, or the
// line editor until the user leaves.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <editline/readline.h>

#include "chat/chat_session.hpp"
#include "cli/commands.hpp"
#include "cli/first_run.hpp"
#include "dravik_host.hpp"
#include "support/config.hpp"
#include "support/files.hpp"
#include "support/errors.hpp"

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
  // Interrupted writes and reads go on (the line editor's input function
  // watches the self-pipe itself).
  sa.sa_flags = SA_RESTART;
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

// The exit status of a session that a signal may have ended.
int ending(int status, const ChatSession& session) {
  if (const int sig = g_end_signal ? static_cast<int>(g_end_signal) : session.quit_signal()) return 128 + sig;
  // A conversation that could not be saved is a failure, even after a
  // good reply.
  if (status == 0 && session.unsaved()) return 1;
  return status;
}

// One line from the line editor, continued while it ends with a
// backslash; nullopt when the editor ended (Ctrl-D, SIGTERM, SIGHUP).
std::optional<std::string> read_line(const std::string& prompt) {
  g_key_signal = 0;
  char* raw = readline(prompt.c_str());
  if (!raw) return std::nullopt;
  std::string line = raw;
  std::free(raw);
  while (g_key_signal == 0 && !line.empty() && line.back() == '\\') {
    line.pop_back();
    char* more = readline("... ");
    if (!more) break;
    line += "\n";
    line += more;
    std::free(more);
  }
  return line;
}

// Writes the line history whole to a new file renamed over the old one: a
// full disk leaves the old history, and says so once.
void save_history(ChatSession& session, const std::string& history) {
  static bool said = false;
  const std::string tmp = history + ".new-" + std::to_string(::getpid());
  std::string failure;
  if (const int e = write_history(tmp.c_str()); e != 0) {
    ::unlink(tmp.c_str());
    failure = "cannot save " + history + ": " + std::strerror(e > 0 ? e : EIO);
  } else {
    try {
      files::commit_file(tmp, history);
    } catch (const OSError& err) {
      failure = err.what();
    }
  }
  if (failure.empty()) {
    said = false;
  } else if (!said) {
    said = true;
    session.out().error("the line history was not saved (" + failure + "); the old one is kept");
  }
}

// The line editor until the user leaves: history in ~/.dravik/history,
// signals through the self-pipe so that Ctrl-C and SIGTERM end the prompt
// cleanly.
void converse(ChatSession& session, const fs::path& home) {
  rl_catch_signals = 0;
  rl_getc_function = read_key;
  const std::string history = (home / "history").string();
  std::error_code ec;
  fs::create_directories(home, ec);
  read_history(history.c_str());
  session.banner();
  // Ctrl-C at the prompt drops what is typed; a second one on an empty
  // line leaves (a Ctrl-C meant for a reply that has just ended must not
  // end the session).
  bool interrupted = false;
  for (;;) {
    catch_signals();
    const auto line = read_line(session.prompt());
    if (!line) {
      // Ctrl-D, SIGTERM or SIGHUP: leave.
      if (g_key_signal != SIGHUP) session.out().text("\n");
      return;
    }
    if (g_key_signal == SIGTERM || g_key_signal == SIGHUP) return;
    if (g_key_signal == SIGINT) {
      if (interrupted && config::trim(*line).empty()) return;
      interrupted = true;
      session.out().note("(Ctrl-D or /exit leaves)");
      continue;
    }
    interrupted = false;
    if (config::trim(*line).empty()) continue;
    add_history(line->c_str());
    save_history(session, history);
    const bool go_on = session.handle(*line);
    if (!go_on || session.quit_requested()) return;
  }
}

// The one-shot prompt: -p, or all of standard input; nullopt when empty.
std::optional<std::string> one_shot_prompt(const ChatOptions& o) {
  if (o.prompt) return o.prompt;
  std::string all((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  std::string prompt = config::trim(all);
  if (prompt.empty()) return std::nullopt;
  return prompt;
}

}  // namespace

int chat(const ChatOptions& o) {
  const bool one_shot = o.prompt.has_value() || ::isatty(0) != 1;
  if (o.json && !one_shot) {
    // JSON lines are for programs: a person would approve from raw JSON.
    std::cerr << "dravik: --json is for one-shot runs: give -p PROMPT or the prompt on standard input\n";
    return 2;
  }
  std::optional<std::string> prompt;
  if (one_shot && !(prompt = one_shot_prompt(o))) {
    std::cerr << "dravik chat: no prompt (give -p TEXT, or the prompt on standard input)\n";
    return 2;
  }
  ChatSettings settings = resolve_chat_settings(o, one_shot);
  asio::io_context io;
  settings.shell_sandbox = probe_sandbox(settings.workdir, settings.sandbox, settings.no_sandbox);
  hostlib::install_services(io.get_executor(), {.workdir = settings.workdir,
                                                .airgapped = settings.airgapped,
                                                .home = settings.home,
                                                .sandbox = settings.shell_sandbox});
  // A machine without the model or llama-server: say so and set them up
  // (asked on a terminal, --yes elsewhere) before the session starts.
  if (settings.local()) {
    const FirstRunOptions first{!one_shot, settings.yes, settings.airgapped, settings.model_url};
    const FirstRun done = prepare_first_run(io, settings.server, first);
    if (done.exit_status) return *done.exit_status;
    if (done.model) settings.server.model = *done.model;
  }
  resolve_context(settings);

  ChatSession session(io, std::move(settings));
  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) throw OSError(errno, "cannot create a pipe");
  // From here on Ctrl-C, SIGTERM and SIGHUP never kill the process outright:
  // whatever happens, the server is stopped before dravik exits.
  catch_signals();
  int status = 0;
  try {
    if (!session.start()) {
      session.stop();
      return ending(1, session);
    }
    session.load_instructions();
    if (g_last_signal != 0) {
      session.stop();
      return 128 + g_last_signal;
    }
    if (one_shot) status = session.one_turn(*prompt) ? 0 : 1;
    else converse(session, product_home());
    catch_signals();  // a turn's own handlers are gone
  } catch (...) {
    session.stop();
    throw;
  }
  session.stop();
  return ending(status, session);
}

}  // namespace dravik::app
