// The turn engine: one exchange with the model. The user's message is
// answered: the request is fitted to the context window, the reply is
// streamed, and each round of tool calls it makes is shown, approved,
// guarded against repeats and run, until a reply without tool calls (or
// kMaxRounds). What happens is told to an Output as events; the engine
// itself writes nothing anywhere.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "approval/approvals.hpp"
#include "mcp.hpp"
#include "output/output.hpp"
#include "runtimes.hpp"
#include "session/conversation.hpp"
#include "session/undo.hpp"
#include "turn/context.hpp"

namespace dravik::app {

struct ChatSettings;

// What a turn works with; the session owns all of it.
struct TurnParts {
  hostlib::ChatRuntime& runtime;
  Conversation& conversation;
  ContextKeeper& context;
  Approvals& approvals;
  UndoLog& undo;
  Output& out;
  const ChatSettings& settings;
  hostlib::McpServers* mcp = nullptr;  // the MCP servers' tools, when any
};

class Turn {
 public:
  static constexpr int kMaxRounds = 8;                 // model calls per turn
  static constexpr std::size_t kDiffLinesShown = 500;  // lines of a change shown before its question

  explicit Turn(TurnParts parts) : p_(parts) {}

  // Runs the turn for the user message already in the conversation. Throws
  // what ended it: RepeatedCallStop when the model repeated a call once
  // too often, a cancellation, or a failure (a server that stopped in the
  // middle of the reply says so).
  boost::asio::awaitable<void> run();
  // The text of the turn's last reply.
  const std::string& last_reply() const { return last_reply_; }
  // The figures line of the turn's last reply ("" when the server gave none).
  const std::string& last_figures() const { return last_figures_; }

 private:
  struct Streamed;
  boost::asio::awaitable<bool> reply(std::optional<Overflow>& overflow);
  boost::asio::awaitable<bool> stream_reply(std::optional<Overflow>& overflow);
  void on_chunk(Streamed& s, const Json& data);
  boost::asio::awaitable<bool> finish_reply(Streamed& s);
  boost::asio::awaitable<void> fitted_round();

  // Tool calls (turn/tool_calls.cpp).
  boost::asio::awaitable<void> run_tools(const std::vector<host::ToolCall>& calls, const Json& ids);
  boost::asio::awaitable<std::string> run_call(host::ToolCall call, bool& ok, bool& repeated);
  std::string approve(const ProposedCall& call, const std::vector<ShownLine>& unseen, bool whole);
  std::optional<std::string> sandbox_approval(const ProposedCall& call);

  TurnParts p_;
  RepeatGuard repeats_;
  std::string last_reply_, last_figures_;
};

// The display of a tool call's name and summary: escaped so that no escape
// sequence reaches the terminal and no two calls look alike, a command's
// line breaks shown as breaks.
std::string shown_tool_name(const std::string& name);
std::string shown_tool_summary(const host::ToolCall& call);

}  // namespace dravik::app
