// One chat session: the runtime, the conversation kept within the context
// window, tool calls with approval, slash commands, and the terminal output.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "approval/approvals.hpp"
#include "turn/context_budget.hpp"
#include "approval/file_changes.hpp"
#include "dravik_host.hpp"
#include "project/project_context.hpp"
#include "session/undo.hpp"
#include "support/json.hpp"

namespace dravik::app {

struct SessionOptions {
  bool yes = false;          // approve every tool call
  bool json = false;         // one-shot: events as JSON lines
  bool interactive = false;  // a person at a terminal
  bool color = false;        // 24-bit colour and the status line
  Approvals approvals;       // the configuration's "allow" and "deny" (configured_approvals)
};

// "/word" at the start of a line: a command ("/usr/lib is missing" is not).
bool is_slash_command(const std::string& line);

class ChatSession {
 public:
  ChatSession(boost::asio::io_context& io, Json cfg, SessionOptions o);
  ~ChatSession();
  // The approvals of the configuration ("allow", "deny"), for the session's
  // options; a bad entry throws ValueError naming it.
  static Approvals configured_approvals(const Json& cfg);

  // Builds the runtime and starts it; on failure prints what happened and
  // the likely fix, and returns false. `resume` continues the conversation
  // saved in this directory.
  bool start(bool resume);
  // Adds the AGENTS.md files to the system prompt, once, after start
  // (project_context.cpp).
  void load_instructions();
  // One turn for scripts: the reply on stdout; false on failure.
  bool one_turn(const std::string& prompt);
  // A line typed at the prompt (or given with -p): a slash command or a
  // turn. False: exit.
  bool handle(const std::string& line);
  bool quit_requested() const { return quit_; }
  // The signal (SIGTERM, SIGHUP) that ended the session during a turn, or 0.
  int quit_signal() const { return quit_signal_; }
  void banner();
  std::string prompt() const;
  // Saves the conversation (and the KV cache) for --resume, stops the server.
  void stop();

  // What the server said when a request did not fit its context.
  struct Overflow {
    std::optional<std::int64_t> prompt_tokens, context;
    std::size_t conversation_chars = 0;
  };

 private:
  bool run_turn(const std::string& user_text);
  // Runs `task` on the loop until it ends: Ctrl-C cancels it, SIGTERM and
  // SIGHUP cancel it and end the session. Its error, or null.
  std::exception_ptr interruptible(boost::asio::awaitable<void> task);
  boost::asio::awaitable<void> turn();
  boost::asio::awaitable<bool> reply(std::optional<Overflow>& overflow);
  boost::asio::awaitable<bool> stream_reply(std::optional<Overflow>& overflow);
  boost::asio::awaitable<void> measure_fixed_part();
  void refit(const Overflow& overflow);
  void check_fixed_part_fits() const;
  boost::asio::awaitable<void> run_tools(const Json& assistant);
  // Asks before a tool that changes things, unless the configuration or an
  // "always" answer decides; `shown_*` are escaped for the terminal. The
  // lines of a change not shown yet (`unseen`) are offered before `y` is
  // taken; a change that cannot be shown (`whole` false) is not asked
  // about. The refusal to give the model, or "" to run the call.
  std::string approve(const std::string& name, const Json& arguments, const std::string& shown_name,
                      const std::string& shown_summary, const std::vector<ShownLine>& unseen, bool whole);
  void fit_context();
  void print_status();
  // Project instructions and /init (project_context.cpp).
  void print_instructions_status();
  void init_command();
  // /compact and the automatic compaction (compaction.cpp).
  struct Tokens {
    std::int64_t tokens = 0;
    bool counted = false;  // by the server, else estimated
  };
  std::int64_t fixed_part_estimate() const;
  boost::asio::awaitable<Tokens> prompt_tokens(const Json& messages);
  boost::asio::awaitable<void> compact();
  boost::asio::awaitable<void> auto_compact();
  void compact_command();
  void undo();
  void print_diff_lines(const std::vector<ShownLine>& lines);
  std::string paint(const char* style, const std::string& text) const;
  void out(const std::string& s);
  void dim_line(const std::string& s);
  void error_line(const std::string& s);

  boost::asio::io_context& io_;
  Json cfg_;
  SessionOptions o_;
  std::unique_ptr<hostlib::ChatRuntime> runtime_;
  std::shared_ptr<Json> messages_;
  std::string system_prompt_;
  std::optional<std::int64_t> last_prompt_tokens_;
  ContextBudget budget_;
  bool fixed_measured_ = false;  // the fixed part counted by the server itself
  std::string context_why_;     // how the context window was chosen
  std::string last_figures_;    // the last reply's figures line
  Approvals approvals_;
  RepeatGuard repeats_;  // the tool calls of the current turn
  bool quit_ = false;
  int quit_signal_ = 0;     // SIGTERM or SIGHUP that ended the session
  bool command_ok_ = true;  // the last line handled succeeded
  bool started_ = false;
  std::string last_reply_;
  std::string start_stage_;
  bool at_line_start_ = true;  // what `out` and `dim_line` wrote ended a line
  std::vector<InstructionFile> instructions_;  // the AGENTS.md files read at start
  std::size_t auto_compact_failed_at_ = 0;     // the turn (its user message) whose summary failed
  UndoLog undo_log_;
};

}  // namespace dravik::app
