// The slash commands of a chat session, and the project instructions it
// reads at start.
#include <filesystem>

#include "chat/chat_session.hpp"
#include "cli/commands.hpp"
#include "project/compaction.hpp"
#include "provisioning/provisioning.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

// "label:" padded to the column of the values.
std::string field(const std::string& label, const std::string& value) {
  const std::string l = label + ":";
  return l + std::string(l.size() < 11 ? 11 - l.size() : 1, ' ') + value + "\n";
}

}  // namespace

void ChatSession::load_instructions() {
  // A file may take an eighth of the context window.
  const std::int64_t context = context_->budget().context, cap = std::max<std::int64_t>(64, context / 8);
  std::vector<std::string> notes;
  instructions_ = read_instructions(settings_.home, settings_.workdir, cap, kCharsPerTokenEstimate, notes);
  count_instructions(
      instructions_, cap, context,
      [&](const std::string& content) -> std::optional<std::int64_t> {
        try {
          return run_until_done(io_, runtime_->count_prompt_tokens(
                                         Json::array({Json{{"role", "user"}, {"content", content}}}), false));
        } catch (const std::exception&) {
          return std::nullopt;
        }
      },
      notes);
  // Built once: the system message stays the same all session, so that
  // the server's cached prefix stays valid.
  if (!instructions_.empty())
    conversation_.set_system_prompt(conversation_.system_prompt() + instructions_section(instructions_));
  for (const auto& n : notes) out_->note("(" + n + ")");
}

void ChatSession::help() {
  out_->text(
      "/reasoning on|off|default   switch the model's reasoning\n"
      "/reset                      forget the conversation (and reset the KV cache)\n"
      "/status                     runtime, model, context used, server, memory\n"
      "/init                       have the model propose an AGENTS.md for this project\n"
      "/compact                    replace the older turns with a summary\n"
      "/undo                       restore the files the last turn changed (again: the turn before)\n"
      "/exit                       leave (Ctrl-D too)\n"
      "End a line with \\ to continue on the next one.\n");
}

void ChatSession::status() {
  const ContextBudget& budget = context_->budget();
  const std::size_t messages = conversation_.size();
  std::string s = field("runtime", runtime_->describe()) + field("reasoning", runtime_->reasoning_status());
  const auto used = context_->last_prompt_tokens();
  std::string context = (used ? count(*used) : std::string("(no reply yet)")) + " of " + count(budget.context) +
                        " tokens, " + std::to_string(messages) + (messages == 1 ? " message" : " messages");
  if (!settings_.context_why.empty()) context += " (" + settings_.context_why + ")";
  s += field("context", context);
  if (budget.fixed)
    s += field("fixed", count(*budget.fixed) + " tokens for the system prompt and tool definitions" +
                            (context_->fixed_measured() ? "" : " (estimated)"));
  if (auto cap = runtime_->max_reply_tokens()) s += field("replies", "up to " + count(*cap) + " tokens");
  if (runtime_->owns_server() && settings_.cache_ram_mib)
    s += field("cache", "prompt cache up to " + count(*settings_.cache_ram_mib) + " MiB of RAM (--cache-ram; " +
                            settings_.cache_ram_why + ")");
  s += "instructions: " + instructions_status(instructions_) + "\n";
  if (!last_figures_.empty()) s += "last reply: " + last_figures_ + "\n";
  for (const auto& line : approvals_.status_lines(settings_.yes)) s += line + "\n";
  for (const auto& [what, value] : runtime_->status()) s += field(what, value);
  if (settings_.shell_sandbox) s += field("sandbox", settings_.shell_sandbox->describe());
  if (mcp_)
    for (const auto& st : mcp_->status())
      s += field("mcp", text::escape_unambiguous(st.name) + ": " + text::escape_controls(st.state) +
                            (st.tools ? ", " + count(st.tools) + (st.tools == 1 ? " tool" : " tools") + ", about " +
                                            count(st.tokens) + " tokens in every request"
                                      : ""));
  if (auto snap = host::memory_limits_probe().read_memory_snapshot(); snap && snap->available_mb)
    s += field("memory", std::to_string(static_cast<long>(*snap->available_mb)) + " MB available");
  out_->text(s);
}

void ChatSession::reset() {
  conversation_.clear();
  context_->forget();
  last_figures_.clear();
  try {
    run_until_done(io_, runtime_->reset());
  } catch (const std::exception& e) {
    const auto status = run_until_done(io_, runtime_->server_exit_status(std::chrono::milliseconds(0)));
    out_->error("the server did not restart: " + start_failure(e.what(), status, runtime_->server_log_tail(120)));
    command_ok_ = false;
  }
  // A restart shows its stages on the status line: cleared again here.
  out_->clear_status();
  out_->note("The conversation is cleared.");
}

void ChatSession::reasoning(const std::string& mode) {
  try {
    runtime_->set_reasoning_mode(mode.empty() ? "default" : mode);
    out_->note("reasoning: " + runtime_->reasoning_status());
  } catch (const ValueError& e) {
    out_->error(e.what());
    command_ok_ = false;
  }
}

void ChatSession::init() {
  std::error_code ec;
  const fs::path agents = settings_.workdir / "AGENTS.md";
  command_ok_ = run_turn(init_instruction(fs::exists(agents, ec)));
  if (command_ok_ && fs::exists(agents, ec))
    out_->note("(AGENTS.md is read when a session starts: the next one follows it)");
}

void ChatSession::compact() {
  if (compaction::turns(conversation_.messages()) < 2) {
    out_->note("(nothing to compact: the conversation has fewer than two turns)");
    return;
  }
  out_->note("(summarizing the older turns...)");
  std::string done;
  const std::exception_ptr error = interruptible([this, &done]() -> boost::asio::awaitable<void> {
    done = co_await context_->compact(conversation_);
  }());
  if (!error) {
    out_->note(done);
    return;
  }
  command_ok_ = false;
  if (is_cancellation(error))
    out_->note("(cancelled: the conversation is unchanged)");
  else
    out_->error("could not compact: " + shown_error(error_text(error)) + "; the conversation is unchanged");
}

void ChatSession::undo() {
  std::function<bool(const std::string&)> ask;
  if (out_->can_ask())
    ask = [this](const std::string& shown) {
      const auto answer = out_->ask(shown + " was changed since that turn; restore it anyway? [y/N]: ");
      return answer && (*answer == "y" || *answer == "yes");
    };
  for (const std::string& l : undo_.undo_last(ask).lines) out_->note(l);
}

}  // namespace dravik::app
