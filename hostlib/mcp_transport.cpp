// The two transports of MCP servers: a program spoken to in newline-
// delimited JSON over its standard input and output, and a streamable-HTTP
// endpoint (each message POSTed; the answer is JSON or an event stream).
#include <csignal>
#include <deque>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/this_coro.hpp>

#include <spdlog/spdlog.h>

#include "isolation.hpp"
#include "mcp.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/http/http.hpp"
#include "support/log.hpp"
#include "support/process/process.hpp"
#include "text_tools.hpp"

namespace dravik::hostlib {

namespace asio = boost::asio;

namespace {

std::shared_ptr<spdlog::logger> logger() {
  static auto l = log::get_logger("mcp");
  return l;
}

// The longest message a server may send (one line, or one event).
constexpr std::size_t kMaxMessage = 16u << 20;
// How much of a server's standard error is kept for messages.
constexpr std::size_t kLastWords = 2000;

std::string shown_start(std::string_view text) {
  std::string s(text.substr(0, 120));
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return s + (text.size() > 120 ? "..." : "");
}

// ------------------------------------------------------------------ stdio

class StdioTransport : public McpTransport {
 public:
  StdioTransport(asio::any_io_executor ex, const McpServerConfig& config, const McpOptions& options)
      : ex_(std::move(ex)), config_(config), options_(options), state_(std::make_shared<State>()) {}

  ~StdioTransport() override {
    state_->gone = true;
    if (child_) child_->signal_group(SIGKILL);
  }

  void open(OnMessage on_message, OnClosed on_closed) override {
    proc::SpawnOptions so;
    so.argv = config_.argv;
    proc::Environment env = proc::current_environment();
    for (const auto& [k, v] : config_.env) env[k] = v;
    if (options_.airgapped) LoopbackIsolationPolicy(true).apply_airgap_env(env, true);
    so.env = std::move(env);
    so.cwd = options_.workdir.string();
    so.in = so.out = so.err = proc::Stdio::pipe;
    // A group of its own: Ctrl-C at the terminal is ours to pass on, and at
    // the end the whole group is ended.
    so.new_process_group = true;
    // Under a keeper, so that what it started in a session of its own is
    // ended with it too (when it has to be terminated).
    so.keep_descendants = true;
    child_.emplace(proc::Child::spawn(ex_, std::move(so)));
    state_->on_message = std::move(on_message);
    state_->on_closed = std::move(on_closed);
    state_->in = child_->take_stdin();
    state_->ex = ex_;
    asio::co_spawn(ex_, read_messages(state_, child_->take_stdout()), asio::detached);
    asio::co_spawn(ex_, read_errors(state_, child_->take_stderr()), asio::detached);
    asio::co_spawn(ex_, watch_exit(state_, child_->pid()), asio::detached);
  }

  void send(Json message) override {
    if (state_->gone || !state_->in) return;
    state_->queue.push_back(dump_json(message) + "\n");
    if (!state_->writing) {
      state_->writing = true;
      asio::co_spawn(ex_, write_messages(state_), asio::detached);
    }
  }

  asio::awaitable<void> close(bool at_once) override {
    if (!child_) co_return;
    co_await asio::this_coro::reset_cancellation_state();
    state_->quitting = true;
    // Its input ends first, which a well-behaved server takes as the end;
    // then SIGTERM, then SIGKILL, to its whole group.
    if (state_->in) state_->in->close();
    std::optional<int> status;
    if (!at_once) status = co_await child_->wait_for(options_.limits.grace);
    if (status) child_->signal_group(SIGKILL);  // whatever it left running
    else co_await child_->terminate(options_.limits.grace, true);
    state_->gone = true;
  }

  std::string last_words() const override { return config::trim(state_->errors); }

 private:
  struct State : std::enable_shared_from_this<State> {
    asio::any_io_executor ex;
    OnMessage on_message;
    OnClosed on_closed;
    std::shared_ptr<proc::PipeWriter> in;
    std::deque<std::string> queue;
    bool writing = false;
    bool gone = false;      // the transport is gone: nothing is delivered any more
    bool quitting = false;  // closing: the server's end is expected
    bool closed_said = false;
    std::string errors;
    // Its end is told once it has exited and its output and error streams
    // have been read to their ends (or a little later: a process it left
    // behind may hold them open), so that its last answer is delivered and
    // what it said last is known.
    bool out_done = false, errors_done = false, exited = false;
    std::string first_sign;  // of its end, when it has not exited (yet)
    std::optional<asio::steady_timer> settle;
    void closed(const std::string& why) {
      if (gone || closed_said) return;
      closed_said = true;
      if (on_closed) on_closed(why);
    }
    void ending(const char* sign) {
      if (first_sign.empty()) first_sign = sign;
      if (out_done && errors_done && exited && settle) settle->cancel();
      if (settle || gone || quitting) return;
      settle.emplace(ex, std::chrono::milliseconds(500));
      asio::co_spawn(ex, settle_then_close(shared_from_this()), asio::detached);
    }
    static asio::awaitable<void> settle_then_close(std::shared_ptr<State> st) {
      boost::system::error_code ec;
      if (!(st->out_done && st->errors_done && st->exited))
        co_await st->settle->async_wait(asio::redirect_error(asio::use_awaitable, ec));
      if (!st->quitting) st->closed(st->exited ? "it exited" : st->first_sign);
    }
  };

  static asio::awaitable<void> watch_exit(std::shared_ptr<State> st, pid_t pid) {
    if (auto h = proc::ProcessHandle::open(pid))
      while (!st->gone) {
        const bool ended = co_await h->wait_for_exit(std::chrono::hours(1));
        if (ended) break;
      }
    st->exited = true;
    st->ending("it exited");
  }

  static asio::awaitable<void> write_messages(std::shared_ptr<State> st) {
    while (!st->queue.empty() && !st->gone) {
      std::string line = std::move(st->queue.front());
      st->queue.pop_front();
      auto written = co_await async::attempt(st->in->write(std::move(line)));
      if (written.error || !*written.value) {
        st->queue.clear();
        st->ending("it closed its standard input");
        break;
      }
    }
    st->writing = false;
  }

  static asio::awaitable<void> read_messages(std::shared_ptr<State> st, std::shared_ptr<proc::PipeReader> out) {
    for (;;) {
      auto line = co_await async::attempt(out->read_line(kMaxMessage + 1));
      if (st->gone) co_return;
      if (line.error || !*line.value) {
        st->out_done = true;
        st->ending("it closed its standard output");
        co_return;
      }
      const std::string& text = **line.value;
      if (config::trim(text).empty()) continue;
      auto message = text.size() > kMaxMessage ? std::nullopt : parse_chunk(text);
      if (!message || !message->is_object()) {
        st->closed("it printed something that is not JSON-RPC: \"" + shown_start(text) + "\"");
        co_return;
      }
      st->on_message(std::move(*message));
    }
  }

  static asio::awaitable<void> read_errors(std::shared_ptr<State> st, std::shared_ptr<proc::PipeReader> err) {
    for (;;) {
      auto piece = co_await async::attempt(err->read_some());
      if (piece.error || !*piece.value || st->gone) {
        st->errors_done = true;
        if (st->out_done && st->exited && st->settle) st->settle->cancel();
        co_return;
      }
      st->errors += **piece.value;
      if (st->errors.size() > 2 * kLastWords) st->errors.erase(0, st->errors.size() - kLastWords);
    }
  }

  asio::any_io_executor ex_;
  McpServerConfig config_;
  McpOptions options_;
  std::optional<proc::Child> child_;
  std::shared_ptr<State> state_;
};

// ------------------------------------------------------------------- HTTP

class HttpTransport : public McpTransport {
 public:
  HttpTransport(asio::any_io_executor ex, const McpServerConfig& config, const McpOptions& options)
      : ex_(ex), state_(std::make_shared<State>(ex, config, options)) {}

  ~HttpTransport() override {
    state_->gone = true;
    state_->http.close_connections();
  }

  void open(OnMessage on_message, OnClosed on_closed) override {
    state_->on_message = std::move(on_message);
    state_->on_closed = std::move(on_closed);
  }

  void send(Json message) override {
    if (state_->gone) return;
    state_->queue.push_back(std::move(message));
    if (!state_->sending) {
      state_->sending = true;
      asio::co_spawn(ex_, post_messages(state_), asio::detached);
    }
  }

  void abandon() override { state_->http.close_connections(); }

  void set_protocol_version(std::string version) override { state_->protocol_version = std::move(version); }

  asio::awaitable<void> close(bool) override {
    co_await asio::this_coro::reset_cancellation_state();
    state_->quitting = true;
    state_->http.close_connections();
    if (!state_->session_id.empty()) {
      // The server may end the session now, rather than when it times out.
      http::Request req;
      req.method = "DELETE";
      req.url = state_->config.url;
      req.headers = state_->headers();
      req.timeout = state_->options.limits.grace;
      co_await async::attempt(state_->http.fetch(std::move(req)));
    }
    state_->gone = true;
  }

 private:
  struct State {
    State(asio::any_io_executor ex, const McpServerConfig& c, const McpOptions& o)
        : config(c), options(o), http(ex, o.limits.call, redirect_check(o.airgapped)) {}
    McpServerConfig config;
    McpOptions options;
    http::Client http;
    OnMessage on_message;
    OnClosed on_closed;
    std::deque<Json> queue;
    bool sending = false;
    bool gone = false, quitting = false, closed_said = false;
    std::string session_id;
    std::string protocol_version;

    void closed(const std::string& why) {
      if (gone || quitting || closed_said) return;
      closed_said = true;
      if (on_closed) on_closed(why);
    }
    void deliver(Json message) {
      if (!gone && !closed_said && message.is_object()) on_message(std::move(message));
    }
    http::Headers headers() const {
      http::Headers h = config.headers;
      if (!session_id.empty()) h.emplace_back("Mcp-Session-Id", session_id);
      if (!protocol_version.empty()) h.emplace_back("MCP-Protocol-Version", protocol_version);
      return h;
    }
    static http::RedirectCheck redirect_check(bool airgapped) {
      if (!airgapped) return {};
      return [](const std::string&, const std::string& to) {
        if (!is_loopback_url(to)) throw host::AirgapViolationError("air-gapped mode: the MCP server redirected to " + to);
      };
    }
  };

  // A request that fails at the endpoint gets its failure as its answer,
  // so that nobody waits for it.
  static void fail_request(State& st, const Json& message, const std::string& why) {
    logger()->debug("MCP server {}: {}", st.config.name, why);
    if (message.contains("id") && message.contains("method"))
      st.deliver({{"jsonrpc", "2.0"}, {"id", message.at("id")}, {"error", {{"code", -32000}, {"message", why}}}});
  }

  // Messages go out one after the other: the next is sent once the
  // endpoint has taken the last (its answer's headers arrived), so that
  // they arrive in order; answers are read meanwhile.
  static asio::awaitable<void> post_messages(std::shared_ptr<State> st) {
    while (!st->queue.empty() && !st->gone) {
      Json message = std::move(st->queue.front());
      st->queue.pop_front();
      http::Request req;
      req.method = "POST";
      req.url = st->config.url;
      req.headers = st->headers();
      req.headers.emplace_back("Content-Type", "application/json");
      req.headers.emplace_back("Accept", "application/json, text/event-stream");
      req.body = dump_json(message);
      auto sent = co_await async::attempt(st->http.send(std::move(req)));
      if (st->gone) break;
      if (sent.error) {
        // An endpoint nobody answers at is gone; any other failure is this
        // request's.
        std::string why = "its endpoint failed";
        bool unreachable = false;
        try {
          std::rethrow_exception(sent.error);
        } catch (const http::ConnectError& e) {
          why = std::string("its endpoint cannot be reached: ") + e.what();
          unreachable = true;
        } catch (const std::exception& e) {
          why = std::string("its endpoint failed: ") + e.what();
        }
        if (unreachable) {
          st->closed(why);
          break;
        }
        fail_request(*st, message, why);
        continue;
      }
      http::Response response = std::move(*sent.value);
      if (auto id = response.header("Mcp-Session-Id"); id && st->session_id.empty()) st->session_id = *id;
      asio::co_spawn(co_await asio::this_coro::executor, read_answer(st, std::move(response), std::move(message)),
                     asio::detached);
    }
    st->sending = false;
  }

  static asio::awaitable<void> read_answer(std::shared_ptr<State> st, http::Response response, Json message) {
    const int status = response.status();
    if (status == 202 || status == 204) co_return;  // a notification or an answer taken
    if (status == 404 && !st->session_id.empty()) {
      st->closed("it ended its session");
      co_return;
    }
    if (status != 200) {
      auto body = co_await async::attempt(response.read_all(64 * 1024));
      const std::string text = body.value ? shown_start(config::trim(*body.value)) : "";
      fail_request(*st, message, "its endpoint answered HTTP " + std::to_string(status) + (text.empty() ? "" : ": " + text));
      co_return;
    }
    const std::string type = config::lower(response.header("Content-Type").value_or(""));
    if (type.find("text/event-stream") == std::string::npos) {
      auto body = co_await async::attempt(response.read_all(kMaxMessage));
      if (st->gone) co_return;
      if (body.error) {
        fail_request(*st, message, "its answer could not be read");
        co_return;
      }
      auto parsed = parse_chunk(*body.value);
      if (!parsed) {
        st->closed("it answered something that is not JSON-RPC: \"" + shown_start(*body.value) + "\"");
        co_return;
      }
      if (parsed->is_array())
        for (auto& m : *parsed) st->deliver(std::move(m));
      else
        st->deliver(std::move(*parsed));
      co_return;
    }
    SseParser events(kMaxMessage);
    const Json id = message.value("id", Json());
    for (;;) {
      auto piece = co_await async::attempt(response.read_some());
      if (st->gone) co_return;
      if (piece.error || !*piece.value) break;
      try {
        events.feed(**piece.value);
      } catch (const RuntimeError&) {
        break;
      }
      while (auto data = events.next_event()) {
        if (config::trim(*data).empty()) continue;  // a priming event
        auto parsed = parse_chunk(*data);
        if (!parsed || !parsed->is_object()) continue;
        const bool answers = !id.is_null() && parsed->value("id", Json()) == id && !parsed->contains("method");
        st->deliver(std::move(*parsed));
        if (answers) {
          response.close();
          co_return;
        }
      }
    }
    if (!id.is_null()) fail_request(*st, message, "its event stream ended before the answer");
  }

  asio::any_io_executor ex_;
  std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<McpTransport> stdio_mcp_transport(asio::any_io_executor ex, const McpServerConfig& config,
                                                  const McpOptions& options) {
  return std::make_unique<StdioTransport>(std::move(ex), config, options);
}

std::unique_ptr<McpTransport> http_mcp_transport(asio::any_io_executor ex, const McpServerConfig& config,
                                                 const McpOptions& options) {
  return std::make_unique<HttpTransport>(std::move(ex), config, options);
}

}  // namespace dravik::hostlib
