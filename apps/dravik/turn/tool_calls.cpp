// The tool calls of a reply: each is shown (with the diff of a file change,
// computed once and written as shown), checked against the repeat guard,
// approved (the configuration, "always", --yes or the user's answer) and
// run; every call gets its answer in the conversation, also when the turn
// is cancelled half-way.
#include <filesystem>

#include "action_dispatch/action_dispatch.hpp"
#include "approval/file_changes.hpp"
#include "file_change.hpp"
#include "provisioning/provisioning.hpp"
#include "settings/settings.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"
#include "turn/turn.hpp"

namespace dravik::app {

namespace asio = boost::asio;

namespace {

constexpr std::string_view kContinuation = "    ";  // before each further line of a command shown
std::string count(std::size_t n) { return provisioning::thousands(n); }

}  // namespace

std::string shown_tool_name(const std::string& name) { return text::escape_unambiguous(name); }

std::string shown_tool_summary(const host::ToolCall& call) {
  const auto shown = [](std::string_view piece) { return text::escape_unambiguous_lines(piece, kContinuation); };
  try {
    return action_dispatch::format_tool_args(call, shown);
  } catch (const TypeError&) {
    return shown(config::bounded_text_form(call.arguments, 200));
  }
}

asio::awaitable<void> Turn::run_tools(const std::vector<host::ToolCall>& calls, const Json& ids) {
  std::size_t answered = 0;
  bool repeated = false;  // the turn ends: the model repeated a call once too often
  try {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      host::ToolCall call = calls[i];
      const std::string name = call.name.is_string() ? call.name.get<std::string>() : "?";
      bool ok = false;
      const std::string content = co_await run_call(std::move(call), ok, repeated);
      p_.out.tool_result(name, ok, content);
      p_.conversation.add({{"role", "tool"}, {"tool_call_id", ids[i]["id"]}, {"content", content}});
      ++answered;
      if (repeated) throw RepeatedCallStop();
    }
  } catch (...) {
    // Cancelled in the middle: every call of the exchange gets an answer,
    // so the conversation never holds half a tool exchange.
    for (std::size_t i = answered; i < calls.size(); ++i)
      p_.conversation.add({{"role", "tool"},
                           {"tool_call_id", ids[i]["id"]},
                           {"content", repeated ? "Not run: the turn was stopped." : "Cancelled by the user."}});
    throw;
  }
}

asio::awaitable<std::string> Turn::run_call(host::ToolCall tc, bool& ok, bool& repeated) {
  ProposedCall call;
  call.name = tc.name.is_string() ? tc.name.get<std::string>() : "?";
  call.arguments = tc.arguments;
  call.shown_name = shown_tool_name(call.name);
  call.shown_summary = shown_tool_summary(tc);
  const auto verdict = repeats_.see(call.name, tc.arguments);
  repeated = verdict == RepeatGuard::Verdict::stop;
  // A file change is computed once, shown as a diff, and written as shown.
  const auto file_call = verdict == RepeatGuard::Verdict::run
                             ? prepare_file_change(call.name, tc.arguments, p_.settings.workdir)
                             : std::nullopt;
  const hostlib::FileChange* change = file_call && file_call->change ? &*file_call->change : nullptr;
  ChangeView view;
  if (change) view = change_diff(*change);
  call.diff = view.diff;
  // A change is shown whole up to kDiffLinesShown lines; the rest is
  // offered before the question (approve).
  std::vector<ShownLine> lines = shown_diff(view.diff), unseen;
  if (lines.size() > kDiffLinesShown) {
    unseen.assign(lines.begin() + kDiffLinesShown, lines.end());
    lines.resize(kDiffLinesShown);
  }
  call.diff_lines = std::move(lines);
  p_.out.tool_call(call);

  if (verdict != RepeatGuard::Verdict::run)
    co_return repeated ? "Not run: the same call once more after being told; the turn is stopped."
                       : "Not run: you already made this exact call twice in this turn, and the earlier result "
                         "stands. Use it, or do something else.";
  if (file_call && !change) co_return file_call->answer;  // nothing would change: nothing to approve
  const bool mcp_call = p_.mcp && p_.mcp->find(call.name);
  if (is_mcp_tool(call.name) && !mcp_call) {
    // A name of that form that no server offers: nothing to approve.
    const auto r = co_await action_dispatch::execute_tool(std::move(tc));
    co_return r.output;
  }
  if (std::string refusal = approve(call, unseen, view.whole); !refusal.empty()) co_return refusal;
  if (mcp_call) {
    const auto r = co_await p_.mcp->call(call.name, tc.arguments);
    ok = r.ok;
    co_return r.text;
  }
  if (change) {
    // No change is written that /undo could not take back.
    const auto outcome = hostlib::apply_change(p_.settings.workdir, *change, [&](const std::string& rel) -> Result<> {
      if (std::string e = p_.undo.remember_file(rel, change->before, change->mode, change->after); !e.empty())
        return Failure{ErrorKind::refused, std::move(e)};
      return {};
    });
    for (const auto& notice : p_.undo.take_notices()) p_.out.note(notice);
    ok = outcome.ok();
    co_return outcome.text;
  }
  std::string command;
  if (call.name == "shell" && tc.arguments.is_object() && tc.arguments.value("command", Json()).is_string())
    command = tc.arguments["command"].get<std::string>();
  if (!command.empty())
    if (auto e = p_.undo.remember_shell(command); !e.empty()) p_.out.error(text::escape_controls(e));
  // An agreement to run outside the sandbox is for this call only: one it
  // did not use up (refused arguments, a cancellation) is dropped.
  struct DropGrant {
    const std::shared_ptr<hostlib::Sandbox>& sandbox;
    const std::string& command;
    ~DropGrant() {
      if (sandbox && !command.empty()) sandbox->take_outside_grant(command);
    }
  } drop{p_.settings.shell_sandbox, command};
  const auto r = co_await action_dispatch::execute_tool(std::move(tc));
  ok = r.ok();
  co_return r.output;
}

// The shell calls the sandbox changes the rules for: with no sandbox on the
// machine every command is asked about, and a command the model wants run
// outside the sandbox is too; neither by --yes, "always" or an allow entry,
// only by the user at a terminal. Nothing: the usual rules.
std::optional<std::string> Turn::sandbox_approval(const ProposedCall& call) {
  const auto& sandbox = p_.settings.shell_sandbox;
  if (!sandbox || call.name != "shell" || !call.arguments.is_object()) return std::nullopt;
  const bool none = sandbox->level() == hostlib::SandboxLevel::none;
  const bool outside = sandbox->confines() && call.arguments.value("outside_sandbox", Json(false)) == Json(true);
  if (!none && !outside) return std::nullopt;
  if (p_.approvals.denied_by(call.name, call.arguments)) return p_.approvals.denial(call.name, call.arguments);
  if (!p_.out.can_ask())
    return std::string(none ? "Not run: this machine has no sandbox for shell commands, so each one needs the user's "
                              "approval at a terminal (install bubblewrap, or start dravik chat with --no-sandbox)."
                            : "Not run outside the sandbox: that needs the user's approval at a terminal. Run it "
                              "inside the sandbox, or tell the user what to run.");
  const Json reason = call.arguments.value("reason", Json(""));
  const std::string why = reason.is_string() && !reason.get<std::string>().empty()
                              ? " (reason: " + text::escape_controls(reason.get<std::string>()) + ")"
                              : "";
  const auto answer = p_.out.ask((outside ? "Run outside the sandbox: " : "Allow shell (no sandbox): ") +
                                 call.shown_summary + why + "? [y/N]: ");
  if (!answer || (*answer != "y" && *answer != "yes"))
    return std::string(outside ? "The user did not allow this command outside the sandbox."
                               : "The user did not allow this shell call.");
  if (outside) sandbox->allow_outside_once(call.arguments["command"].is_string() ? call.arguments["command"].get<std::string>() : "");
  return std::string();
}

std::string Turn::approve(const ProposedCall& call, const std::vector<ShownLine>& unseen, bool whole) {
  const std::string& name = call.name;
  if (auto sandboxed = sandbox_approval(call)) return *sandboxed;
  const auto decision = p_.approvals.decide(name, call.arguments, p_.settings.yes);
  if (decision == Approvals::Decision::run) {
    if (!unseen.empty()) p_.out.note("... " + count(unseen.size()) + " more lines");
    return "";
  }
  if (decision == Approvals::Decision::deny) return p_.approvals.denial(name, call.arguments);
  if (!p_.out.can_ask()) {
    if (p_.approvals.denied_by(name, call.arguments)) return p_.approvals.denial(name, call.arguments);
    return "Not allowed: changes need approval (run dravik chat with --yes to allow them).";
  }
  // Nobody is asked about what they have not seen.
  if (!whole) return "Not run: the change is too large to be shown to the user for approval; make it in smaller edits.";
  bool seen = unseen.empty();
  const std::string refused = "The user did not allow this " + name + " call.";
  const std::string question = "Allow " + call.shown_name + ": " + call.shown_summary + "? ";
  for (;;) {
    const auto answer =
        p_.out.ask(seen ? question + "[y]es / [n]o / [a]lways (" + Approvals::always_covers(name) + "): "
                        : question + count(unseen.size()) + " more lines of the change are not shown yet: [v]iew them / [n]o: ");
    if (!answer || *answer == "n" || *answer == "no" || answer->empty()) return refused;
    if (!seen) {
      if (*answer == "v" || *answer == "view") {
        p_.out.diff_lines(unseen);
        seen = true;
      } else {
        p_.out.note("(the rest of the change first: v shows it)");
      }
      continue;
    }
    if (*answer == "y" || *answer == "yes") return "";
    if (*answer == "a" || *answer == "always") {
      p_.approvals.remember_always(name, call.arguments);
      return "";
    }
  }
}

}  // namespace dravik::app
