// Runs the agent's tool calls and formats their arguments for display.
//
// execute_tool validates the model-written arguments (bad arguments give a
// result whose output starts "Error: invalid arguments for " and whose meta
// is {"ok": false}; they never throw), runs the tool through the host's
// shell executor or memory notes store, and returns one uniform result.
// Errors raised by those services (and cancellation) pass out unchanged.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "eviction_coordinator/eviction_coordinator.hpp"
#include "host_services/host_services.hpp"
#include "support/json.hpp"
#include "support/result.hpp"

namespace dravik::action_dispatch {

// What a tool call returns: text for the model, facts for the host.
// Immutable value record.
struct ToolExecutionResult {
  std::string output;
  Json meta;  // a map; always holds "ok"
  // Truth value of meta["ok"]; false when missing.
  bool ok() const;
  bool operator==(const ToolExecutionResult&) const = default;
};

// Installs the coordinator that shell commands run through when it wants
// the model unloaded; nullptr switches the eviction path off. One slot for
// the process: `execute_tool` takes only the call, so the dispatcher keeps
// the coordinator here, its only state (the local runtime installs and
// clears it).
void set_eviction_coordinator(std::shared_ptr<eviction_coordinator::EvictionCoordinator> manager);

boost::asio::awaitable<ToolExecutionResult> execute_tool(host::ToolCall tool_call);

// The validators execute_tool checks the arguments of the file-changing
// tools with, for hosts that compute such a change themselves before it
// runs (to show it): the arguments as the tool takes them, or the failure
// (invalid) whose tool_text() is exactly execute_tool's answer to them,
// "Error: invalid arguments for edit_file (required: path)" and the like.
// Arguments that are not a map fail as "invalid arguments for <tool>".

// A write_file call's arguments: the file and its new content.
struct WriteFileArguments {
  std::string path;
  std::string content;
};
Result<WriteFileArguments> write_file_request(const Json& args);

// An edit_file call's arguments: the file and the patch or replacement
// (return_result set, as the dispatcher always asks).
struct EditFileArguments {
  std::string path;
  host::EditFileRequest request;
};
Result<EditFileArguments> edit_file_request(const Json& args);

// One-line summary of a call's arguments for display next to the tool
// name. Control characters are shown escaped ("\n", "\x1b") so that what
// the user approves is what they see. Throws TypeError when the arguments
// of a known tool are not a map.
std::string format_tool_args(const host::ToolCall& tool_call);
// The same summary with each piece the model wrote shown through `show`
// (the raw text form in, the displayed text out) instead of the escaping
// above: for a host whose display differs, such as an approval prompt that
// shows line breaks as breaks.
std::string format_tool_args(const host::ToolCall& tool_call,
                             const std::function<std::string(std::string_view)>& show);

}  // namespace dravik::action_dispatch
