#include "chat/chat_session.hpp"

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/signal_set.hpp>

#include "action_dispatch/action_dispatch.hpp"
#include "backend_catalog/backend_catalog.hpp"
#include "cli/commands.hpp"
#include "project/compaction.hpp"
#include "approval/file_changes.hpp"
#include "output/markdown.hpp"
#include "session/state_seal.hpp"
#include "provisioning/provisioning.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/http/http.hpp"
#include "support/process/process.hpp"
#include "support/text.hpp"
#include "theme/theme.hpp"

namespace dravik::app {

namespace fs = std::filesystem;
namespace asio = boost::asio;

namespace {

constexpr int kMaxRounds = 8;                // model calls per turn
constexpr std::size_t kDiffLinesShown = 500;  // lines of a change shown before its question
constexpr std::string_view kContinuation = "    ";  // before each further line of a command shown
constexpr std::int64_t kReplyReserve = 512;  // tokens kept free for the answer (unless capped lower)

// 12345 -> "12,345".
std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

// The figures of a finished reply, from the final chunk's usage and timings.
struct ReplyFigures {
  std::optional<std::int64_t> prompt, cached, reply;
  std::optional<double> per_second;

  void take(const Json& chunk) {
    auto integer = [](const Json& o, const char* key) -> std::optional<std::int64_t> {
      const Json* v = config::find(o, key);
      if (v && v->is_number_integer()) return v->get<std::int64_t>();
      return std::nullopt;
    };
    if (const Json* u = config::find(chunk, "usage"); u && u->is_object()) {
      if (auto v = integer(*u, "prompt_tokens")) prompt = v;
      if (auto v = integer(*u, "completion_tokens")) reply = v;
      if (const Json* d = config::find(*u, "prompt_tokens_details"); d && d->is_object())
        if (auto v = integer(*d, "cached_tokens")) cached = v;
    }
    if (const Json* t = config::find(chunk, "timings"); t && t->is_object()) {
      const auto cache_n = integer(*t, "cache_n"), prompt_n = integer(*t, "prompt_n");
      if (cache_n) cached = cache_n;
      if (!prompt && prompt_n) prompt = *prompt_n + cache_n.value_or(0);
      if (!reply) reply = integer(*t, "predicted_n");
      if (const Json* v = config::find(*t, "predicted_per_second"); v && v->is_number()) per_second = v->get<double>();
    }
  }
  // "1,118 prompt tokens (1,024 from the cache), 64 reply tokens at 12.3 tokens/s"
  std::string line() const {
    if (!prompt && !reply) return "";
    std::string s;
    if (prompt) s = count(*prompt) + " prompt tokens" + (cached ? " (" + count(*cached) + " from the cache)" : "");
    if (reply) {
      if (!s.empty()) s += ", ";
      s += count(*reply) + " reply tokens";
      if (per_second) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f", *per_second);
        s += std::string(" at ") + buf + " tokens/s";
      }
    }
    return s;
  }
};

constexpr std::size_t kMaxArgumentDepth = 32;

// True when `v` nests more than `limit` arrays or objects deep; looked at
// without recursion.
bool nested_deeper_than(const Json& v, std::size_t limit) {
  std::vector<std::pair<const Json*, std::size_t>> todo{{&v, 0}};
  while (!todo.empty()) {
    const auto [at, depth] = todo.back();
    todo.pop_back();
    if (!at->is_structured()) continue;
    if (depth >= limit) return true;
    for (const Json& child : *at) todo.emplace_back(&child, depth + 1);
  }
  return false;
}

// "bold #rrggbb on #rrggbb" as an SGR sequence.
std::string sgr(std::string_view style) {
  std::string codes;
  bool background = false;
  std::size_t start = 0;
  while (start < style.size()) {
    auto end = style.find(' ', start);
    if (end == std::string_view::npos) end = style.size();
    const std::string_view word = style.substr(start, end - start);
    if (word == "bold") codes += ";1";
    else if (word == "on") background = true;
    else if (word.size() == 7 && word[0] == '#') {
      const auto hex = [&](std::size_t i) { return std::stoi(std::string(word.substr(i, 2)), nullptr, 16); };
      codes += (background ? ";48;2;" : ";38;2;") + std::to_string(hex(1)) + ";" + std::to_string(hex(3)) + ";" +
               std::to_string(hex(5));
      background = false;
    }
    start = end + 1;
  }
  return codes.empty() ? "" : "\x1b[" + codes.substr(1) + "m";
}

}  // namespace

ChatSession::ChatSession(asio::io_context& io, Json cfg, SessionOptions o)
    : io_(io),
      cfg_(std::move(cfg)),
      o_(o),
      messages_(std::make_shared<Json>(Json::array())),
      undo_log_(fs::current_path(), product_home()) {
  system_prompt_ =
      "You are Dravik, a coding assistant on the user's machine, working in " + fs::current_path().string() +
      ". Use the tools to read, search and change files and run commands there (paths relative to it). "
      "shell, write_file and edit_file need the user's approval; a refusal comes back as the tool's result: "
      "do not retry it. Keep answers short.";
  messages_->push_back({{"role", "system"}, {"content", system_prompt_}});
  approvals_ = std::move(o_.approvals);
}

Approvals ChatSession::configured_approvals(const Json& cfg) {
  std::vector<std::string> tools;
  for (const Json& t : hostlib::tool_definitions()) tools.push_back(t["function"]["name"].get<std::string>());
  return Approvals(cfg, tools);
}

ChatSession::~ChatSession() = default;

std::string ChatSession::paint(const char* style, const std::string& text) const {
  if (!o_.color) return text;
  const std::string s = sgr(theme::style_of(theme::RICH_THEME, style));
  return s.empty() ? text : s + text + "\x1b[0m";
}

void ChatSession::out(const std::string& s) {
  if (o_.json) return;
  std::cout << s << std::flush;
  if (!s.empty()) at_line_start_ = s.back() == '\n' || s.ends_with("\n\x1b[0m");
}

void ChatSession::dim_line(const std::string& s) {
  if (o_.json || !o_.interactive) {
    std::cerr << s << "\n";
    return;
  }
  std::cout << paint("dim", s) << "\n" << std::flush;
  at_line_start_ = true;
}

void ChatSession::error_line(const std::string& s) {
  std::cerr << (o_.color ? paint("error", s) : s) << "\n";
}

bool ChatSession::start(bool resume) {
  auto hook = [this](const std::string& type, const Json&) {
    if (type == "runtime_llama_starting") start_stage_ = "preparing memory and clocks";
    else if (type == "runtime_llama_launch_command") start_stage_ = "loading the model";
    else if (type == "runtime_llama_cleanup_stale_processes") start_stage_ = "stopping an old llama-server";
    if (o_.color) std::cout << "\r\x1b[2K" << paint("status", "Starting llama-server: " + start_stage_ + "...") << std::flush;
  };
  try {
    const std::string runtime_key = backend_catalog::normalize_runtime(
        cfg_.contains("runtime") ? std::optional<std::string>(config::text_form(cfg_["runtime"])) : std::nullopt);
    if (cfg_.contains("context_window_tokens")) {
      context_why_ = "set in the configuration";
    } else if (runtime_key == "llama_cpp") {
      // The local server's context is chosen from the model and the board.
      const auto choice = provisioning::choose_context_window(backend_catalog::active_model_ref(cfg_));
      cfg_["context_window_tokens"] = choice.tokens;
      context_why_ = "chosen: " + choice.why;
    }
    runtime_ = hostlib::chat_runtime(backend_catalog::create_runtime_client(io_.get_executor(), cfg_, hook));
    if (cfg_.contains("max_reply_tokens") && !cfg_["max_reply_tokens"].is_null()) {
      const std::int64_t cap = config::to_int64(cfg_["max_reply_tokens"], "max_reply_tokens");
      if (cap < 1) throw ValueError("max_reply_tokens must be a positive number of tokens, got " + std::to_string(cap));
      runtime_->set_max_reply_tokens(cap);
    }
    budget_.context = runtime_->context_window_tokens();
    budget_.reserve = std::min(kReplyReserve, budget_.context / 4);
    if (auto cap = runtime_->max_reply_tokens()) budget_.reserve = std::min(budget_.reserve, *cap);
  } catch (const std::exception& e) {
    error_line(std::string("dravik chat: ") + e.what());
    return false;
  }
  try {
    if (runtime_->owns_server() && cfg_.contains("llama_port"))
      runtime_->set_port(config::to_int64(cfg_["llama_port"], "llama_port"));
    run_until_done(io_, runtime_->start());
  } catch (const std::exception& e) {
    if (o_.color) std::cout << "\r\x1b[2K" << std::flush;
    const std::string what = e.what();
    error_line("dravik chat: the model server did not start: " + shown_error(what));
    if (const auto log = runtime_->server_log_tail(8); !log.empty()) {
      std::cerr << "last lines of llama-server:\n";
      for (const auto& l : log) std::cerr << "  " << text::escape_controls(l) << "\n";
    }
    if (what.find("already in use") != std::string::npos)
      std::cerr << "hint: another program listens on that port; stop it or set \"llama_port\" in the configuration.\n";
    else if (what.find("not found") != std::string::npos)
      std::cerr << "hint: run `dravik setup` to build llama-server.\n";
    else
      std::cerr << "hint: `dravik doctor` checks the model file and shows the launch command.\n";
    return false;
  }
  started_ = true;
  if (o_.color) std::cout << "\r\x1b[2K" << std::flush;
  runtime_->attach_conversation(messages_, [this](const std::string& s) {
    if (!s.empty()) dim_line(s);
  });
  if (const auto kept = runtime_->state_dir()) {
    const fs::path state_dir = *kept;
    std::string distrusted;
    if (resume && fs::exists(state_dir / "messages.json"))
      distrusted = check_state_seal(state_dir, product_home());
    if (!distrusted.empty()) {
      // A conversation (and KV cache) that this user's dravik did not save
      // here, for example one shipped inside a cloned repository, is never
      // loaded into the model.
      error_line("not resuming: the saved conversation in " + text::escape_controls(state_dir.string()) + " " +
                 distrusted + "; starting a new conversation");
    } else if (resume) {
      // The saved conversation and, when the server takes it, its KV cache.
      auto restored = run_until_done(io_, runtime_->restore_conversation());
      // The system prompt is always this session's own, byte for byte, so
      // that the cached prefix stays valid from turn to turn.
      if (messages_->empty() || (*messages_)[0].value("role", "") != "system")
        messages_->insert(messages_->begin(), Json{{"role", "system"}, {"content", system_prompt_}});
      else
        (*messages_)[0] = Json{{"role", "system"}, {"content", system_prompt_}};
      dim_line("Resumed " + std::to_string(messages_->size() - 1) + " messages" +
               (restored ? " and the KV cache." : " (the KV cache is rebuilt on the next turn)."));
    }
  }
  return true;
}

void ChatSession::banner() {
  std::string about = runtime_->describe() + ", context " + count(runtime_->context_window_tokens()) + " tokens";
  if (!context_why_.empty()) about += " (" + context_why_ + ")";
  if (auto cap = runtime_->max_reply_tokens()) about += ", replies up to " + count(*cap) + " tokens";
  std::cout << paint("brand", "Dravik") << " " << paint("dim", about) << "\n"
            << paint("dim", "/help for commands; Ctrl-C cancels a reply or clears the line; Ctrl-D or /exit leaves.") << "\n";
}

std::string ChatSession::prompt() const {
  const std::string mode = runtime_->has_reasoning_switch() ? " [reasoning " + runtime_->reasoning_status() + "]" : "";
  if (!o_.color) return "you" + mode + " > ";
  // The escape sequences are marked (\1 ... \2) so that the line editor
  // does not count them as columns.
  auto styled = [](const char* cls, const std::string& text) {
    return "\1" + sgr(theme::style_of(theme::PROMPT_STYLE, cls)) + "\2" + text + "\1\x1b[0m\2";
  };
  return styled("prompt", "you") + styled("prompt-status", mode) + styled("prompt-divider", " > ");
}

bool is_slash_command(const std::string& line) {
  // "/word": a command; "/usr/lib is missing" is a message about a path.
  const std::string cmd = config::trim(line);
  if (cmd.size() < 2 || cmd[0] != '/') return false;
  const std::string word = cmd.substr(0, cmd.find_first_of(" \t\n"));
  return word.find('/', 1) == std::string::npos;
}

bool ChatSession::handle(const std::string& line) {
  const std::string cmd = config::trim(line);
  command_ok_ = true;
  if (!is_slash_command(cmd)) {
    command_ok_ = run_turn(line);
    return true;
  }
  std::string word = cmd.substr(0, cmd.find_first_of(" \t\n"));
  const std::string arg = cmd.size() > word.size() ? config::trim(cmd.substr(word.size())) : "";
  if (word == "/exit" || word == "/quit") return false;
  if (word == "/help") {
    std::cout << "/reasoning on|off|default   switch the model's reasoning\n"
                 "/reset                      forget the conversation (and reset the KV cache)\n"
                 "/status                     runtime, model, context used, server, memory\n"
                 "/init                       have the model propose an AGENTS.md for this project\n"
                 "/compact                    replace the older turns with a summary\n"
                 "/undo                       restore the files the last turn changed (again: the turn before)\n"
                 "/exit                       leave (Ctrl-D too)\n"
                 "End a line with \\ to continue on the next one.\n";
  } else if (word == "/reasoning") {
    try {
      runtime_->set_reasoning_mode(arg.empty() ? "default" : arg);
      dim_line("reasoning: " + runtime_->reasoning_status());
    } catch (const ValueError& e) {
      error_line(e.what());
      command_ok_ = false;
    }
  } else if (word == "/reset") {
    messages_->erase(messages_->begin() + 1, messages_->end());
    last_prompt_tokens_.reset();
    last_figures_.clear();
    try {
      run_until_done(io_, runtime_->reset());
    } catch (const std::exception& e) {
      error_line(std::string("the server did not restart: ") + e.what());
      command_ok_ = false;
    }
    // A restart shows its stages on the status line: cleared again here.
    if (o_.color) std::cout << "\r\x1b[2K" << std::flush;
    dim_line("The conversation is cleared.");
  } else if (word == "/status") {
    print_status();
  } else if (word == "/init") {
    init_command();
  } else if (word == "/compact") {
    compact_command();
  } else if (word == "/undo") {
    undo();
  } else {
    error_line("unknown command " + text::escape_controls(word) + " (/help lists them)");
    command_ok_ = false;
  }
  return true;
}

void ChatSession::print_status() {
  std::cout << "runtime:   " << runtime_->describe() << "\n";
  std::cout << "reasoning: " << runtime_->reasoning_status() << "\n";
  std::cout << "context:   ";
  if (last_prompt_tokens_) std::cout << count(*last_prompt_tokens_) << " of " << count(budget_.context) << " tokens";
  else std::cout << "(no reply yet) of " << count(budget_.context) << " tokens";
  std::cout << ", " << messages_->size() << " messages";
  if (!context_why_.empty()) std::cout << " (" << context_why_ << ")";
  std::cout << "\n";
  if (budget_.fixed)
    std::cout << "fixed:     " << count(*budget_.fixed) << " tokens for the system prompt and tool definitions"
              << (fixed_measured_ ? "" : " (estimated)") << "\n";
  if (auto cap = runtime_->max_reply_tokens()) std::cout << "replies:   up to " << count(*cap) << " tokens\n";
  print_instructions_status();
  if (!last_figures_.empty()) std::cout << "last reply: " << last_figures_ << "\n";
  for (const auto& line : approvals_.status_lines(o_.yes)) std::cout << line << "\n";
  for (const auto& [what, value] : runtime_->status()) {
    const std::string label = what + ":";
    std::cout << label << std::string(label.size() < 11 ? 11 - label.size() : 1, ' ') << value << "\n";
  }
  if (auto snap = host::memory_limits_probe().read_memory_snapshot(); snap && snap->available_mb)
    std::cout << "memory:    " << static_cast<long>(*snap->available_mb) << " MB available\n";
}

asio::awaitable<void> ChatSession::measure_fixed_part() {
  if (fixed_measured_) co_return;
  // The fixed part as the server renders and counts it: the system prompt
  // and the tool schemas in the chat template, with an empty user turn.
  const Json probe = Json::array({(*messages_)[0], Json{{"role", "user"}, {"content", ""}}});
  if (auto tokens = co_await runtime_->count_prompt_tokens(probe, true)) {
    budget_.fixed = *tokens;
    fixed_measured_ = true;
  }
}

void ChatSession::check_fixed_part_fits() const {
  if (!budget_.fixed) return;
  const std::int64_t fixed = *budget_.fixed, ctx = budget_.context, reserve = budget_.reserve;
  if (fixed + reserve <= ctx) return;
  const std::int64_t needed = (fixed + reserve + 256 + 1023) / 1024 * 1024;
  std::string m = "the system prompt and tool definitions need " + count(fixed) + " tokens of a " +
                  count(ctx) + "-token context";
  if (fixed <= ctx) m += " (with " + count(reserve) + " kept for the reply)";
  if (runtime_->owns_server())
    m += "; set \"context_window_tokens\" to " + std::to_string(needed) + " or more in ~/.dravik/config.json";
  else
    m += "; the server needs a context of " + std::to_string(needed) +
         " tokens or more (and \"context_window_tokens\" in ~/.dravik/config.json to match)";
  throw RuntimeError(m);
}

void ChatSession::fit_context() {
  check_fixed_part_fits();
  const std::size_t turns = compaction::turns(*messages_);
  if (budget_.shrink(*messages_, fixed_part_estimate())) {
    std::string m = "(older parts of the conversation were shortened to fit the " + count(budget_.context) +
                    "-token context";
    if (const std::size_t dropped = turns - compaction::turns(*messages_))
      m += ": " + std::to_string(dropped) + (dropped == 1 ? " older turn" : " older turns") + " dropped; " +
           (o_.interactive ? "/compact" : "\"auto_compact\": true in the configuration") +
           " keeps a summary of them instead";
    dim_line(m + ")");
  }
}

void ChatSession::refit(const Overflow& o) {
  budget_.learn_overflow(o.prompt_tokens, o.context, o.conversation_chars);
  fit_context();
}

bool ChatSession::one_turn(const std::string& prompt) {
  // `dravik chat -p /undo` (or /init, /status, ...) runs the command, as at
  // the prompt; what would be asked is decided as off a terminal always is.
  handle(prompt);
  const bool ok = command_ok_;
  if (o_.json) std::cout << dump_json(Json{{"event", "done"}, {"ok", ok}, {"content", last_reply_}}) << std::endl;
  return ok;
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
  const std::string undo_note = undo_log_.take_note();
  messages_->push_back({{"role", "user"}, {"content", undo_note.empty() ? user_text : "[" + undo_note + "]\n\n" + user_text}});
  undo_log_.begin_turn();
  repeats_.new_turn();
  const std::exception_ptr error = interruptible(turn());
  if (is_repeated_call_stop(error)) {
    if (!at_line_start_) out("\n");
    dim_line("(the model repeated the same call; the turn was stopped)");
    return true;
  }
  if (!error) {
    // Whatever comes next (the prompt) starts on a line of its own.
    if (!at_line_start_) out("\n");
    return true;
  }
  if (is_cancellation(error)) {
    out("\n");
    dim_line("(cancelled)");
    return false;
  }
  out("\n");
  error_line("error: " + shown_error(error_text(error)));
  return false;
}

asio::awaitable<void> ChatSession::turn() {
  // A server that died since the last turn is started again first.
  if (!runtime_->server_running()) {
    dim_line("(starting llama-server again)");
    co_await runtime_->start();
  }
  co_await measure_fixed_part();
  for (int round = 0; round < kMaxRounds; ++round) {
    co_await auto_compact();
    fit_context();
    std::optional<Overflow> overflow;
    bool called_tools = co_await reply(overflow);
    if (overflow) {
      // The server said the request does not fit: refit once from its
      // figures and send again.
      const std::size_t before = messages_->size();
      refit(*overflow);
      if (messages_->size() == before && !overflow->prompt_tokens)
        ContextBudget::fit(*messages_, 0, 0, budget_.tokens_per_char);  // no figures: only the current turn
      dim_line("(the server's context was full: older parts of the conversation were dropped)");
      const std::optional<std::int64_t> first_prompt = overflow->prompt_tokens;
      called_tools = co_await reply(overflow);
      if (overflow) {
        std::string m = "the message does not fit the model's context";
        if (overflow->prompt_tokens && overflow->context)
          m += " (" + count(*overflow->prompt_tokens) + " tokens of " + count(*overflow->context) + ")";
        else if (first_prompt)
          m += " (" + count(*first_prompt) + " tokens)";
        throw RuntimeError(m + "; try a shorter one");
      }
    }
    if (!called_tools) co_return;
  }
  dim_line("(stopped after " + std::to_string(kMaxRounds) + " rounds of tool calls in one turn)");
}

asio::awaitable<bool> ChatSession::reply(std::optional<Overflow>& overflow) {
  auto attempt = co_await async::attempt(stream_reply(overflow));
  if (!attempt.error) co_return *attempt.value;
  if (is_repeated_call_stop(attempt.error)) std::rethrow_exception(attempt.error);  // not the server's doing
  // A reply cut off because the local server died says so, rather than
  // showing the transport's words.
  if (auto status = co_await runtime_->server_exit_status(std::chrono::milliseconds(500)))
    throw RuntimeError("llama-server stopped in the middle of the reply (exit status " + std::to_string(*status) +
                         "); the next message starts it again");
  std::rethrow_exception(attempt.error);
}

asio::awaitable<bool> ChatSession::stream_reply(std::optional<Overflow>& overflow) {
  overflow.reset();
  hostlib::ChatAccumulator acc;
  ReplyFigures figures;
  bool in_reasoning = false;
  bool progress_shown = false;
  const std::size_t request_chars = ContextBudget::conversation_chars(*messages_);
  auto clear_progress = [&] {
    if (progress_shown) out("\r\x1b[2K");
    progress_shown = false;
  };
  // On a terminal with colours, the reply's Markdown is rendered line by line
  // (a terminal that tells no width gets the text as it comes: rendering
  // there would hold each line back until it ends).
  std::optional<MarkdownRenderer> markdown;
  if (const auto size = terminal_size(STDOUT_FILENO); o_.color && o_.interactive && !o_.json && size.columns > 0)
    markdown.emplace([](std::string_view name) { return sgr(theme::style_of(theme::RICH_THEME, name)); },
                     size.columns, size.rows);
  auto stream = runtime_->chat_stream(*messages_, true);
  try {
    while (auto chunk = co_await stream->next()) {
      const std::size_t content_before = acc.content().size(), reasoning_before = acc.reasoning().size();
      acc.add(chunk->data);
      figures.take(chunk->data);
      if (o_.json) {
        std::cout << dump_json(Json{{"event", "chunk"}, {"data", chunk->data}}) << "\n";
        continue;
      }
      // While the server reads a long prompt: how far it is.
      if (const Json* p = config::find(chunk->data, "prompt_progress"); p && p->is_object() && o_.color) {
        const auto total = p->value("total", std::int64_t{0}), cache = p->value("cache", std::int64_t{0}),
                   done = p->value("processed", std::int64_t{0});
        if (total - cache > 256 && done < total) {
          out("\r\x1b[2K" + paint("status", "reading the prompt: " + count(done) + " of " + count(total) + " tokens (" +
                                                std::to_string(done * 100 / std::max<std::int64_t>(total, 1)) + "%)"));
          progress_shown = true;
        } else {
          clear_progress();
        }
      }
      if (acc.reasoning().size() > reasoning_before && o_.interactive) {
        clear_progress();
        if (markdown && !in_reasoning) out(markdown->finish());
        if (!in_reasoning) out(paint("dim", "thinking: "));
        in_reasoning = true;
        out(paint("dim", text::escape_controls(acc.reasoning().substr(reasoning_before))));
      }
      if (acc.content().size() > content_before) {
        clear_progress();
        if (in_reasoning) out("\n");
        in_reasoning = false;
        if (markdown) {
          out(markdown->feed(acc.content().substr(content_before)));
          continue;
        }
        // Model text is shown with control characters escaped, line breaks kept.
        std::string piece = acc.content().substr(content_before);
        std::string shown;
        std::size_t start = 0;
        while (start <= piece.size()) {
          auto nl = piece.find('\n', start);
          if (nl == std::string::npos) nl = piece.size();
          shown += text::escape_controls(piece.substr(start, nl - start));
          if (nl < piece.size()) shown += "\n";
          start = nl + 1;
        }
        out(shown);
      }
    }
  } catch (const hostlib::ChatRequestError& e) {
    if (markdown) out(markdown->finish());
    clear_progress();
    if (e.context_exceeded()) {
      overflow = Overflow{e.n_prompt_tokens, e.n_ctx, request_chars};
      co_return false;
    }
    throw;
  } catch (...) {
    if (markdown) out(markdown->abandon());
    clear_progress();
    // Cancelled or cut off: what arrived stays in the conversation, without
    // half a tool exchange.
    if (!acc.content().empty()) messages_->push_back({{"role", "assistant"}, {"content", acc.content()}});
    throw;
  }
  if (markdown) out(markdown->finish());
  clear_progress();
  if (in_reasoning) out("\n");
  if (figures.prompt) {
    last_prompt_tokens_ = *figures.prompt;
    budget_.learn(*figures.prompt, request_chars);
  }
  last_figures_ = figures.line();
  const Json message = acc.message();
  messages_->push_back(message);
  last_reply_ = acc.content();
  if (o_.json) {
    if (!last_figures_.empty())
      std::cout << dump_json(Json{{"event", "figures"},
                                  {"prompt_tokens", figures.prompt ? Json(*figures.prompt) : Json()},
                                  {"cached_tokens", figures.cached ? Json(*figures.cached) : Json()},
                                  {"reply_tokens", figures.reply ? Json(*figures.reply) : Json()},
                                  {"tokens_per_second", figures.per_second ? Json(*figures.per_second) : Json()}})
                << "\n";
  } else if (!last_figures_.empty()) {
    if (o_.interactive && !acc.content().empty() && acc.content().back() != '\n') out("\n");
    dim_line(last_figures_);
  }
  if (const std::size_t dropped = acc.dropped_tool_calls())
    dim_line("(" + count(static_cast<std::int64_t>(dropped)) + " further tool calls of this reply were ignored: one reply may make " +
             std::to_string(hostlib::ChatAccumulator::kMaxToolCalls) + ")");
  if (acc.tool_calls().empty()) co_return false;
  if (!acc.content().empty() && !o_.json && last_figures_.empty()) out("\n");
  co_await run_tools(message);
  co_return true;
}

std::string ChatSession::approve(const std::string& name, const Json& arguments, const std::string& shown_name,
                                 const std::string& shown_summary, const std::vector<ShownLine>& unseen,
                                 bool whole) {
  const auto decision = approvals_.decide(name, arguments, o_.yes);
  if (decision == Approvals::Decision::run) {
    if (!unseen.empty()) dim_line("... " + count(static_cast<std::int64_t>(unseen.size())) + " more lines");
    return "";
  }
  if (decision == Approvals::Decision::deny) return approvals_.denial(name, arguments);
  if (!o_.interactive) {
    if (approvals_.denied_by(name, arguments)) return approvals_.denial(name, arguments);
    return "Not allowed: changes need approval (run dravik chat with --yes to allow them).";
  }
  // Nobody is asked about what they have not seen.
  if (!whole) return "Not run: the change is too large to be shown to the user for approval; make it in smaller edits.";
  bool seen = unseen.empty();
  const std::string refused = "The user did not allow this " + name + " call.";
  for (;;) {
    const std::string question = "Allow " + shown_name + ": " + shown_summary + "? ";
    if (!seen)
      std::cout << paint("warning", question + count(static_cast<std::int64_t>(unseen.size())) +
                                        " more lines of the change are not shown yet: [v]iew them / [n]o: ")
                << std::flush;
    else
      std::cout << paint("warning", question + "[y]es / [n]o / [a]lways (" + Approvals::always_covers(name) + "): ")
                << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return refused;
    answer = config::lower(config::trim(answer));
    if (answer == "n" || answer == "no" || answer.empty()) return refused;
    if (!seen) {
      if (answer == "v" || answer == "view") {
        print_diff_lines(unseen);
        seen = true;
      } else {
        dim_line("(the rest of the change first: v shows it)");
      }
      continue;
    }
    if (answer == "y" || answer == "yes") return "";
    if (answer == "a" || answer == "always") {
      approvals_.remember_always(name, arguments);
      return "";
    }
  }
}

asio::awaitable<void> ChatSession::run_tools(const Json& assistant) {
  const Json& calls = assistant["tool_calls"];
  std::size_t answered = 0;
  bool repeated = false;  // the turn ends: the model repeated a call once too often
  try {
    for (const Json& call : calls) {
      host::ToolCall tc{call["function"]["name"], Json::parse(call["function"]["arguments"].get<std::string>(), nullptr, false)};
      // Arguments that do not parse, or nest deeper than any tool's (copying
      // or printing them would recurse that deep), stay the model's text.
      if (tc.arguments.is_discarded() || nested_deeper_than(tc.arguments, kMaxArgumentDepth))
        tc.arguments = call["function"]["arguments"];
      const std::string name = tc.name.is_string() ? tc.name.get<std::string>() : "?";
      // The model chooses the name as much as the arguments: both are shown
      // so that no escape sequence reaches the terminal and no two different
      // calls look alike; a line break in a command is shown as one.
      const auto shown = [](std::string_view piece) { return text::escape_unambiguous_lines(piece, kContinuation); };
      std::string shown_summary;
      try {
        shown_summary = action_dispatch::format_tool_args(tc, shown);
      } catch (const TypeError&) {
        shown_summary = shown(config::bounded_text_form(tc.arguments, 200));
      }
      const std::string shown_name = text::escape_unambiguous(name);
      const auto verdict = repeats_.see(name, tc.arguments);
      repeated = verdict == RepeatGuard::Verdict::stop;
      // A file change is computed once, shown as a diff, and written as shown.
      const auto change = verdict == RepeatGuard::Verdict::run
                              ? prepare_file_change(name, tc.arguments, fs::current_path())
                              : std::nullopt;
      const ChangeView view = change && change->ok ? change_diff(*change) : ChangeView{};
      std::vector<ShownLine> unseen;
      if (o_.json) {
        Json event{{"event", "tool_call"}, {"name", name}, {"arguments", tc.arguments}};
        if (change && change->ok) event["diff"] = text::sanitize_utf8(view.diff);
        std::cout << dump_json(event) << "\n";
      } else {
        out(paint("tool", "> " + shown_name) + " " + paint("dim", shown_summary) + "\n");
        // A change is shown whole up to kDiffLinesShown lines; beyond, the
        // rest is offered before the question (approve).
        std::vector<ShownLine> lines = shown_diff(view.diff);
        if (lines.size() > kDiffLinesShown) {
          unseen.assign(lines.begin() + kDiffLinesShown, lines.end());
          lines.resize(kDiffLinesShown);
        }
        print_diff_lines(lines);
      }
      std::string content;
      bool ok = false;
      std::string refusal;
      if (verdict != RepeatGuard::Verdict::run) {
        content = repeated ? "Not run: the same call once more after being told; the turn is stopped."
                           : "Not run: you already made this exact call twice in this turn, and the earlier result "
                             "stands. Use it, or do something else.";
      } else if (change && !change->ok) {
        content = change->output;  // nothing would change: nothing to approve
      } else if (refusal = approve(name, tc.arguments, shown_name, shown_summary, unseen, view.whole);
                 !refusal.empty()) {
        content = std::move(refusal);
      } else if (change) {
        // No change is written that /undo could not take back.
        content = hostlib::apply_prepared(fs::current_path(), *change, [&](const std::string& rel) {
          return undo_log_.remember_file(rel, change->before, change->mode, change->after);
        });
        ok = !content.starts_with("Error");
      } else {
        if (name == "shell" && tc.arguments.is_object() && tc.arguments.value("command", Json()).is_string())
          if (auto e = undo_log_.remember_shell(tc.arguments["command"].get<std::string>()); !e.empty())
            error_line(text::escape_controls(e));
        const auto r = co_await action_dispatch::execute_tool(std::move(tc));
        content = r.output;
        ok = r.ok();
      }
      if (o_.json) std::cout << dump_json(Json{{"event", "tool_result"}, {"name", name}, {"ok", ok}, {"output", content}}) << "\n";
      else if (o_.interactive) out(paint("dim", text::escape_controls(text::prefix(content, 300))) + "\n");
      messages_->push_back({{"role", "tool"}, {"tool_call_id", call["id"]}, {"content", content}});
      ++answered;
      if (repeated) throw RepeatedCallStop();
    }
  } catch (...) {
    // Cancelled in the middle: every call of the exchange gets an answer,
    // so the conversation never holds half a tool exchange.
    for (std::size_t i = answered; i < calls.size(); ++i)
      messages_->push_back({{"role", "tool"},
                            {"tool_call_id", calls[i]["id"]},
                            {"content", repeated ? "Not run: the turn was stopped." : "Cancelled by the user."}});
    throw;
  }
}

void ChatSession::print_diff_lines(const std::vector<ShownLine>& lines) {
  for (const ShownLine& l : lines) {
    const char* style = l.kind == '+' ? "success" : l.kind == '-' ? "error" : l.kind == '@' ? "command"
                      : l.kind == ' ' ? "" : "dim";
    out((*style ? paint(style, l.text) : l.text) + "\n");
  }
}

void ChatSession::undo() {
  std::function<bool(const std::string&)> ask;
  if (o_.interactive)
    ask = [this](const std::string& shown) {
      std::cout << paint("warning", shown + " was changed since that turn; restore it anyway? [y/N]: ") << std::flush;
      std::string answer;
      if (!std::getline(std::cin, answer)) return false;
      answer = config::lower(config::trim(answer));
      return answer == "y" || answer == "yes";
    };
  for (const std::string& l : undo_log_.undo_last(ask).lines) dim_line(l);
}

void ChatSession::stop() {
  if (!runtime_) return;
  try {
    // The conversation and its KV cache, for `dravik chat --resume`.
    if (started_ && messages_->size() > 1 && run_until_done(io_, runtime_->save_conversation()))
      seal_state(*runtime_->state_dir(), product_home());
  } catch (const std::exception& e) {
    error_line(std::string("could not save the conversation: ") + e.what());
  }
  try {
    run_until_done(io_, runtime_->close());
  } catch (const std::exception& e) {
    error_line(std::string("could not stop the server cleanly: ") + e.what());
  }
  runtime_.reset();
}

}  // namespace dravik::app
