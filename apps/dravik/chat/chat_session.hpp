// One `dravik chat` session: the runtime built from the settings and
// started, the conversation and what --resume restores, the slash
// commands, and each turn run by the turn engine on the loop, cancellable
// with Ctrl-C. What the session shows goes to its Output.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include "output/output.hpp"
#include "project/project_context.hpp"
#include "mcp.hpp"
#include "runtimes.hpp"
#include "session/conversation.hpp"
#include "session/recorder.hpp"
#include "session/saved_session.hpp"
#include "session/sessions.hpp"
#include "session/undo.hpp"
#include "settings/settings.hpp"
#include "turn/context.hpp"

namespace dravik::app {

// "/word" at the start of a line: a command ("/usr/lib is missing" is not).
bool is_slash_command(const std::string& line);

// The runtime the settings name: the local llama-server or a remote server,
// not started. `hook` gets the local server's diagnostic events. With
// `out`, the local server is the board's shared one, and what a start must
// stop is asked about there.
std::unique_ptr<hostlib::ChatRuntime> open_runtime(boost::asio::io_context& io, const ChatSettings& settings,
                                                   std::function<void(const std::string&, const Json&)> hook,
                                                   Output* out = nullptr);

class ChatSession {
 public:
  ChatSession(boost::asio::io_context& io, ChatSettings settings);
  ~ChatSession();

  // Builds the runtime and starts it, and with --resume continues the
  // conversation saved in this directory; on failure says what happened
  // and the likely fix, and returns false.
  bool start();
  // Adds the AGENTS.md files to the system prompt, once, after start.
  void load_instructions();
  // One turn for scripts (or a slash command given with -p); false on failure.
  bool one_turn(const std::string& prompt);
  // A line typed at the prompt: a slash command or a turn. False: exit.
  bool handle(const std::string& line);
  bool quit_requested() const { return quit_; }
  // The signal (SIGTERM, SIGHUP) that ended the session during a turn, or 0.
  int quit_signal() const { return quit_signal_; }
  void banner();
  // The line editor's prompt (its escape sequences marked for it).
  std::string prompt() const;
  Output& out() { return *out_; }
  // Saves the conversation (and the KV cache) for --resume, stops the server.
  void stop();
  // The conversation could not be saved (said when it happened).
  bool unsaved() const { return recorder_ && !recorder_->saved(); }

 private:
  bool run_turn(const std::string& user_text);
  // The model server's start, said when it fails; false then.
  bool start_runtime();
  // Offers the MCP servers' tools to the model (again, after a list
  // changed), the read-only ones unasked.
  void offer_mcp_tools();
  void stop_mcp();
  // Runs the loop until the MCP servers' start has ended.
  void wait_mcp_start();
  // The session's journal (chat/resume.cpp): a new one, or the one --resume
  // or --fork names, its conversation loaded; false when it cannot be.
  bool open_session();
  bool resume_session(const SessionInfo& session, const std::optional<SavedSession::Saved>& saved);
  bool import_saved_state();
  void keep_earlier_state(const SavedSession::Saved& saved);
  // Brings the journal up to the conversation; says when it cannot.
  void record(bool interrupted = false);
  // Runs `task` on the loop until it ends: Ctrl-C cancels it, SIGTERM and
  // SIGHUP cancel it and end the session. Its error, or null.
  std::exception_ptr interruptible(boost::asio::awaitable<void> task);
  // Runs `task` on the loop for at most `limit`: false when it was cut
  // short then; its error otherwise propagates.
  static bool run_within(boost::asio::io_context& io, boost::asio::awaitable<bool> task,
                         std::chrono::milliseconds limit);

  // The slash commands (chat/commands.cpp).
  void help();
  void status();
  void reset();
  void reasoning(const std::string& mode);
  void init();
  void compact();
  void undo();

  boost::asio::io_context& io_;
  const ChatSettings settings_;           // constant after construction
  std::unique_ptr<Output> out_;           // where everything is shown
  Conversation conversation_;
  UndoLog undo_;
  std::unique_ptr<hostlib::ChatRuntime> runtime_;  // once start has built it
  std::unique_ptr<hostlib::McpServers> mcp_;       // when any MCP server is configured
  struct McpStart {
    bool done = false;
    std::string warning;  // the line naming the servers left out
  };
  std::shared_ptr<McpStart> mcp_start_;  // while or since they start
  std::unique_ptr<ContextKeeper> context_;         // with the runtime
  std::unique_ptr<SavedSession> saved_;            // with the runtime
  SessionStore sessions_;                          // this project's sessions
  std::unique_ptr<SessionRecorder> recorder_;      // this session's journal
  std::string said_save_error_;                    // the last failure to save that was said
  Approvals approvals_;                            // the configuration's, and "always" answers
  std::vector<InstructionFile> instructions_;      // the AGENTS.md files read at start
  std::string last_figures_;  // the last reply's figures line
  std::string last_reply_;
  std::string start_stage_;   // what the server's start is doing, for the status line
  bool started_ = false;
  bool quit_ = false;
  int quit_signal_ = 0;
  bool command_ok_ = true;  // the last line handled succeeded
};

}  // namespace dravik::app
