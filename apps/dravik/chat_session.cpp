#include "chat_session.hpp"

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
#include "commands.hpp"
#include "eviction_coordinator/eviction_coordinator.hpp"
#include "server_eviction/server_eviction.hpp"
#include "sidecar/sidecar.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/http.hpp"
#include "support/process.hpp"
#include "support/text.hpp"
#include "theme/theme.hpp"

namespace dravik::app {

namespace fs = std::filesystem;
namespace asio = boost::asio;

namespace {

constexpr int kMaxRounds = 8;            // model calls per turn
constexpr std::int64_t kReplyReserve = 512;  // tokens kept free for the answer

bool changes_things(const std::string& tool) { return tool == "shell" || tool == "write_file" || tool == "edit_file"; }

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
    : io_(io), cfg_(std::move(cfg)), o_(o), messages_(std::make_shared<Json>(Json::array())) {
  system_prompt_ =
      "You are Dravik, a coding assistant running on the user's machine. The working directory is " +
      fs::current_path().string() +
      ". Use the tools to read, search and change files and to run commands there; paths are relative to it. "
      "Changes (shell, write_file, edit_file) need the user's approval, and a refusal comes back as the tool's "
      "result: then do not retry the same thing. Keep answers short.";
  messages_->push_back({{"role", "system"}, {"content", system_prompt_}});
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
  sidecar::DiagnosticsHook hook = [this](const std::string& type, const Json&) {
    if (type == "runtime_llama_starting") start_stage_ = "preparing memory and clocks";
    else if (type == "runtime_llama_launch_command") start_stage_ = "loading the model";
    else if (type == "runtime_llama_cleanup_stale_processes") start_stage_ = "stopping an old llama-server";
    if (o_.color) std::cout << "\r\x1b[2K" << paint("status", "Starting llama-server: " + start_stage_ + "...") << std::flush;
  };
  try {
    runtime_ = hostlib::chat_runtime(backend_catalog::create_runtime_client(io_.get_executor(), cfg_, hook));
  } catch (const std::exception& e) {
    error_line(std::string("dravik chat: ") + e.what());
    return false;
  }
  auto* local = dynamic_cast<sidecar::SidecarClient*>(&runtime_->client());
  if (local && cfg_.contains("llama_port")) {
    local->port = config::to_int64(cfg_["llama_port"], "llama_port");
    local->base_url = "http://" + local->host + ":" + std::to_string(local->port);
  }
  try {
    run_until_done(io_, runtime_->start());
  } catch (const std::exception& e) {
    if (o_.color) std::cout << "\r\x1b[2K" << std::flush;
    const std::string what = e.what();
    error_line("dravik chat: the model server did not start: " + shown_error(what));
    if (local && local->stderr_lines() && !local->stderr_lines()->lines.empty()) {
      std::cerr << "last lines of llama-server:\n";
      for (const auto& l : local->stderr_lines()->tail(8)) std::cerr << "  " << text::escape_controls(l) << "\n";
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
  if (local) {
    target_ = std::make_shared<server_eviction::LlamaEvictionTarget>(*local, messages_);
    coordinator_ = std::make_shared<eviction_coordinator::EvictionCoordinator>(
        target_, std::nullopt, [this](const std::string& s) {
          if (!s.empty()) dim_line(s);
        });
    action_dispatch::set_eviction_coordinator(coordinator_);
    if (resume) {
      // The saved conversation and, when the server takes it, its KV cache.
      auto restored = run_until_done(io_, target_->restore_state(coordinator_->state_dir()));
      if (messages_->empty() || (*messages_)[0].value("role", "") != "system")
        messages_->insert(messages_->begin(), Json{{"role", "system"}, {"content", system_prompt_}});
      dim_line("Resumed " + std::to_string(messages_->size() - 1) + " messages" +
               (restored ? " and the KV cache." : " (the KV cache is rebuilt on the next turn)."));
    }
  }
  return true;
}

void ChatSession::banner() {
  std::cout << paint("brand", "Dravik") << " " << paint("dim", runtime_->describe()) << "\n"
            << paint("dim", "/help for commands; Ctrl-C cancels a reply or clears the line; Ctrl-D or /exit leaves.")
            << "\n";
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

bool ChatSession::handle(const std::string& line) {
  const std::string cmd = config::trim(line);
  if (cmd.rfind('/', 0) != 0) {
    run_turn(line);
    return true;
  }
  std::string word = cmd.substr(0, cmd.find(' '));
  const std::string arg = cmd.size() > word.size() ? config::trim(cmd.substr(word.size())) : "";
  if (word == "/exit" || word == "/quit") return false;
  if (word == "/help") {
    std::cout << "/reasoning on|off|default   switch the model's reasoning\n"
                 "/reset                      forget the conversation (and reset the KV cache)\n"
                 "/status                     runtime, model, context used, server, memory\n"
                 "/exit                       leave (Ctrl-D too)\n"
                 "End a line with \\ to continue on the next one.\n";
  } else if (word == "/reasoning") {
    try {
      runtime_->set_reasoning_mode(arg.empty() ? "default" : arg);
      dim_line("reasoning: " + runtime_->reasoning_status());
    } catch (const ValueError& e) {
      error_line(e.what());
    }
  } else if (word == "/reset") {
    messages_->erase(messages_->begin() + 1, messages_->end());
    last_prompt_tokens_.reset();
    if (auto* local = dynamic_cast<sidecar::SidecarClient*>(&runtime_->client())) {
      try {
        run_until_done(io_, local->reset_kv_cache());
      } catch (const std::exception& e) {
        error_line(std::string("the server did not restart: ") + e.what());
      }
    }
    dim_line("The conversation is cleared.");
  } else if (word == "/status") {
    print_status();
  } else {
    error_line("unknown command " + text::escape_controls(word) + " (/help lists them)");
  }
  return true;
}

void ChatSession::print_status() {
  std::cout << "runtime:   " << runtime_->describe() << "\n";
  std::cout << "reasoning: " << runtime_->reasoning_status() << "\n";
  std::cout << "context:   ";
  if (last_prompt_tokens_) std::cout << *last_prompt_tokens_ << " of " << runtime_->context_window_tokens() << " tokens";
  else std::cout << "(no reply yet) of " << runtime_->context_window_tokens() << " tokens";
  std::cout << ", " << messages_->size() << " messages\n";
  if (auto* local = dynamic_cast<sidecar::SidecarClient*>(&runtime_->client()))
    std::cout << "server:    " << (local->_proc ? "pid " + std::to_string(local->_proc->pid()) : std::string("stopped"))
              << " at " << local->base_url << "\n";
  if (auto snap = host::memory_limits_probe().read_memory_snapshot(); snap && snap->available_mb)
    std::cout << "memory:    " << static_cast<long>(*snap->available_mb) << " MB available\n";
}

bool ChatSession::fit(Json& messages, std::int64_t budget, double tokens_per_char) {
  auto estimate = [&] {
    return static_cast<std::int64_t>(static_cast<double>(dump_json(messages).size()) * tokens_per_char);
  };
  if (estimate() <= budget) return false;
  // First the oldest tool outputs are shortened, then whole old turns go;
  // the system prompt and the last user message stay, and a tool exchange
  // goes as a whole with its turn.
  std::size_t last_user = 0;
  for (std::size_t i = 0; i < messages.size(); ++i)
    if (messages[i].value("role", "") == "user") last_user = i;
  for (std::size_t i = 1; i < last_user && estimate() > budget; ++i) {
    Json& m = messages[i];
    if (m.value("role", "") != "tool" || !m["content"].is_string()) continue;
    const std::string c = m["content"].get<std::string>();
    if (c.size() > 400) m["content"] = text::prefix(c, 200) + "\n[... shortened to fit the context ...]";
  }
  while (estimate() > budget) {
    // The oldest turn: from the first user message after the system prompt
    // up to the next user message.
    std::size_t first = 1;
    while (first < messages.size() && messages[first].value("role", "") != "user") ++first;
    std::size_t next = first + 1;
    while (next < messages.size() && messages[next].value("role", "") != "user") ++next;
    if (next >= messages.size() || first >= last_user) break;  // only the current turn is left
    messages.erase(messages.begin() + static_cast<long>(first), messages.begin() + static_cast<long>(next));
    last_user -= next - first;
  }
  return true;
}

void ChatSession::fit_context() {
  const std::int64_t budget = std::max<std::int64_t>(256, runtime_->context_window_tokens() - kReplyReserve);
  if (fit(*messages_, budget, tokens_per_char_))
    dim_line("(older parts of the conversation were shortened to fit the " +
             std::to_string(runtime_->context_window_tokens()) + "-token context)");
}

bool ChatSession::one_turn(const std::string& prompt) {
  const bool ok = run_turn(prompt);
  if (o_.json) std::cout << dump_json(Json{{"event", "done"}, {"ok", ok}, {"content", last_reply_}}) << std::endl;
  return ok;
}

bool ChatSession::run_turn(const std::string& user_text) {
  messages_->push_back({{"role", "user"}, {"content", user_text}});
  // Ctrl-C cancels the turn; SIGTERM or SIGHUP cancel it and end the session.
  asio::signal_set signals(io_, SIGINT, SIGTERM, SIGHUP);
  asio::cancellation_signal cancel;
  std::exception_ptr error;
  bool done = false;
  signals.async_wait([&](boost::system::error_code ec, int sig) {
    if (ec) return;
    if (sig != SIGINT) quit_ = true;
    cancel.emit(asio::cancellation_type::terminal);
  });
  asio::co_spawn(io_, turn(), asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) {
                   error = e;
                   done = true;
                 }));
  io_.restart();
  while (!done) io_.run_one();
  signals.cancel();
  io_.restart();
  io_.poll();
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
  if (auto* local = dynamic_cast<sidecar::SidecarClient*>(&runtime_->client());
      local && (!local->_proc || local->_proc->poll())) {
    dim_line("(starting llama-server again)");
    co_await local->start();
  }
  for (int round = 0; round < kMaxRounds; ++round) {
    fit_context();
    bool retry_smaller = false;
    bool called_tools = co_await reply(retry_smaller);
    if (retry_smaller) {
      // The server said the conversation does not fit: drop more and retry.
      const std::int64_t budget =
          std::max<std::int64_t>(128, (last_prompt_tokens_.value_or(runtime_->context_window_tokens()) * 2) / 3);
      if (!fit(*messages_, budget, tokens_per_char_ * 1.5))
        throw RuntimeError("the conversation does not fit the model's context even after shortening; /reset starts over");
      tokens_per_char_ *= 1.5;
      dim_line("(the server's context was full: older parts of the conversation were dropped)");
      called_tools = co_await reply(retry_smaller);
      if (retry_smaller) throw RuntimeError("the message does not fit the model's context; try a shorter one");
    }
    if (!called_tools) co_return;
  }
  dim_line("(stopped after " + std::to_string(kMaxRounds) + " rounds of tool calls in one turn)");
}

asio::awaitable<bool> ChatSession::reply(bool& retry_smaller) {
  auto attempt = co_await async::attempt(stream_reply(retry_smaller));
  if (!attempt.error) co_return *attempt.value;
  // A reply cut off because the local server died says so, rather than
  // showing the transport's words.
  auto* local = dynamic_cast<sidecar::SidecarClient*>(&runtime_->client());
  if (local && local->_proc)
    if (auto status = co_await local->_proc->wait_for(std::chrono::milliseconds(500)))
      throw RuntimeError("llama-server stopped in the middle of the reply (exit status " + std::to_string(*status) +
                         "); the next message starts it again");
  std::rethrow_exception(attempt.error);
}

asio::awaitable<bool> ChatSession::stream_reply(bool& retry_smaller) {
  retry_smaller = false;
  hostlib::ChatAccumulator acc;
  bool in_reasoning = false;
  const std::size_t request_chars = dump_json(*messages_).size();
  auto stream = runtime_->chat_stream(*messages_, true);
  try {
    while (auto chunk = co_await stream->next()) {
      const std::size_t content_before = acc.content().size(), reasoning_before = acc.reasoning().size();
      acc.add(chunk->data);
      if (o_.json) {
        std::cout << dump_json(Json{{"event", "chunk"}, {"data", chunk->data}}) << "\n";
        continue;
      }
      if (acc.reasoning().size() > reasoning_before && o_.interactive) {
        if (!in_reasoning) out(paint("dim", "thinking: "));
        in_reasoning = true;
        out(paint("dim", text::escape_controls(acc.reasoning().substr(reasoning_before))));
      }
      if (acc.content().size() > content_before) {
        if (in_reasoning) out("\n");
        in_reasoning = false;
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
    if (e.context_exceeded()) {
      retry_smaller = true;
      co_return false;
    }
    throw;
  } catch (...) {
    // Cancelled or cut off: what arrived stays in the conversation, without
    // half a tool exchange.
    if (!acc.content().empty()) messages_->push_back({{"role", "assistant"}, {"content", acc.content()}});
    throw;
  }
  if (in_reasoning) out("\n");
  if (acc.usage()) {
    const Json& u = *acc.usage();
    if (u.contains("prompt_tokens") && u["prompt_tokens"].is_number_integer()) {
      last_prompt_tokens_ = u["prompt_tokens"].get<std::int64_t>();
      // Learn how many tokens a character of this conversation costs.
      if (request_chars > 0)
        tokens_per_char_ = std::max(0.05, static_cast<double>(*last_prompt_tokens_) / static_cast<double>(request_chars));
    }
  }
  const Json message = acc.message();
  messages_->push_back(message);
  last_reply_ = acc.content();
  if (acc.tool_calls().empty()) co_return false;
  if (!acc.content().empty() && !o_.json) out("\n");
  co_await run_tools(message);
  co_return true;
}

bool ChatSession::approve(const std::string& name, const std::string& summary) {
  if (o_.yes || approve_all_ || !changes_things(name)) return true;
  if (!o_.interactive) return false;
  for (;;) {
    std::cout << paint("warning", "Allow " + name + ": " + summary + "? [y]es / [n]o / [a]lways: ") << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    answer = config::lower(config::trim(answer));
    if (answer == "y" || answer == "yes") return true;
    if (answer == "n" || answer == "no" || answer.empty()) return false;
    if (answer == "a" || answer == "always") {
      approve_all_ = true;
      return true;
    }
  }
}

asio::awaitable<void> ChatSession::run_tools(const Json& assistant) {
  const Json& calls = assistant["tool_calls"];
  std::size_t answered = 0;
  try {
    for (const Json& call : calls) {
      host::ToolCall tc{call["function"]["name"], Json::parse(call["function"]["arguments"].get<std::string>(), nullptr, false)};
      if (tc.arguments.is_discarded()) tc.arguments = call["function"]["arguments"];
      const std::string name = tc.name.is_string() ? tc.name.get<std::string>() : "?";
      std::string summary;
      try {
        summary = action_dispatch::format_tool_args(tc);
      } catch (const TypeError&) {
        summary = config::bounded_text_form(tc.arguments, 200);
      }
      if (o_.json) std::cout << dump_json(Json{{"event", "tool_call"}, {"name", name}, {"arguments", tc.arguments}}) << "\n";
      else out(paint("tool", "> " + name) + " " + paint("dim", text::escape_controls(summary)) + "\n");
      std::string content;
      bool ok = false;
      if (!approve(name, text::escape_controls(summary))) {
        content = o_.interactive ? "The user did not allow this " + name + " call."
                                 : "Not allowed: changes need approval (run dravik chat with --yes to allow them).";
      } else {
        const auto r = co_await action_dispatch::execute_tool(std::move(tc));
        content = r.output;
        ok = r.ok();
      }
      if (o_.json) std::cout << dump_json(Json{{"event", "tool_result"}, {"name", name}, {"ok", ok}, {"output", content}}) << "\n";
      else if (o_.interactive) out(paint("dim", text::escape_controls(text::prefix(content, 300))) + "\n");
      messages_->push_back({{"role", "tool"}, {"tool_call_id", call["id"]}, {"content", content}});
      ++answered;
    }
  } catch (...) {
    // Cancelled in the middle: every call of the exchange gets an answer,
    // so the conversation never holds half a tool exchange.
    for (std::size_t i = answered; i < calls.size(); ++i)
      messages_->push_back({{"role", "tool"}, {"tool_call_id", calls[i]["id"]}, {"content", "Cancelled by the user."}});
    throw;
  }
}

void ChatSession::stop() {
  if (!runtime_) return;
  action_dispatch::set_eviction_coordinator(nullptr);
  auto* local = dynamic_cast<sidecar::SidecarClient*>(&runtime_->client());
  try {
    // The conversation and its KV cache, for `dravik chat --resume`.
    if (target_ && started_ && local && local->_proc && !local->_proc->poll() && messages_->size() > 1)
      run_until_done(io_, target_->save_state(coordinator_->state_dir()));
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
