// The llama-server child's life: start, readiness, error stream, stop.
#include <csignal>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "sidecar/detail/seams.hpp"
#include "sidecar/sidecar.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/http/http.hpp"
#include "support/process/process.hpp"
#include "support/text.hpp"

namespace dravik::sidecar {

namespace asio = boost::asio;
using std::chrono::steady_clock;

// Shared between the client and the detached task that drains the child's
// error pipe, so that neither depends on the other's lifetime.
struct SidecarClient::ReaderState {
  std::shared_ptr<proc::PipeReader> pipe;
  // Notable lines are reported as events only while start-up runs; after
  // that the pipe is still drained (an unread pipe fills and stalls the
  // server) into the bounded buffer.
  bool startup = true;
  bool finished = false;
  std::unique_ptr<asio::steady_timer> finished_signal;
  DiagnosticsHook hook;
  // The readiness loop sleeps on `wake` between health checks; the drain
  // cuts the sleep short when the server says it is listening.
  std::unique_ptr<asio::steady_timer> wake;
  bool wake_pending = false;
  // The server said it is shutting down (after a SIGTERM it did not lose).
  bool shutting_down = false;
};

namespace {

bool notable(const std::string& line) {
  static const char* const kWords[] = {"cuda error", "out of memory", "nvmap", "ggml", "llama_context", "load_tensors"};
  std::string l = config::lower(line);
  for (const char* w : kWords)
    if (l.find(w) != std::string::npos) return true;
  return false;
}

std::string rstrip(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n' ||
                        s.back() == '\f' || s.back() == '\v'))
    s.pop_back();
  return s;
}

// The line llama-server prints once its HTTP server is up and the model is
// loaded ("... llama_server: listening on http://127.0.0.1:8080").
bool announces_listening(const std::string& line) { return line.find("listening on http") != std::string::npos; }

// The line llama-server prints once its main loop has ended on a SIGTERM
// ("... operator(): cleaning up before exit...").
bool announces_shutdown(const std::string& line) { return line.find("cleaning up before exit") != std::string::npos; }

asio::awaitable<void> read_error_stream(std::shared_ptr<proc::PipeReader> pipe, std::shared_ptr<StderrBuffer> sink,
                                        std::shared_ptr<SidecarClient::ReaderState> state) {
  while (auto raw = co_await pipe->read_line()) {
    std::string line = rstrip(text::sanitize_utf8(*raw));
    if (line.empty()) continue;
    sink->append(line);
    if (announces_shutdown(line)) state->shutting_down = true;
    if (state->startup && announces_listening(line)) {
      state->wake_pending = true;
      if (state->wake) state->wake->cancel();
    }
    if (state->startup && state->hook && notable(line)) {
      // Whatever the hook throws costs only this event: this task must keep
      // draining, or the pipe fills and the server stalls.
      try {
        state->hook("runtime_llama_stderr_line", Json{{"summary", text::prefix(line, 200)}});
      } catch (...) {
      }
    }
  }
}

// Sleeps until the next scheduled health check, or less when the error
// stream announced that the server listens.
asio::awaitable<void> wait_for_next_check(SidecarClient::ReaderState& state, steady_clock::duration d) {
  if (std::exchange(state.wake_pending, false)) co_return;
  state.wake->expires_after(d);
  boost::system::error_code ec;
  co_await state.wake->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  co_await async::throw_if_cancelled();
  state.wake_pending = false;
}

Json strings(const std::vector<std::string>& v) {
  Json a = Json::array();
  for (const auto& s : v) a.push_back(s);
  return a;
}

void merge(Json& payload, const Json& snapshot) {
  for (auto it = snapshot.begin(); it != snapshot.end(); ++it) payload[it.key()] = it.value();
}

std::string file_name(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The launch figures that several events carry, in their event order.
Json launch_figures(std::int64_t ctx, std::int64_t ngl, std::int64_t batch, std::int64_t ubatch, bool fit_off,
                    bool no_warmup) {
  return Json{{"ctx", ctx}, {"ngl", ngl},         {"batch", batch},
              {"ubatch", ubatch}, {"fit_off", fit_off}, {"no_warmup", no_warmup}};
}

std::string env_value(const Environment& env, const char* key) {
  auto it = env.find(key);
  return it == env.end() ? std::string() : it->second;
}

}  // namespace

SidecarClient::~SidecarClient() {
  if (_reader && _reader->pipe) _reader->pipe->close();
  // `_proc`'s destructor kills and reaps a child that is still running.
}

asio::awaitable<void> SidecarClient::_capture_startup_stderr(std::shared_ptr<StderrBuffer> sink) {
  if (!_proc || !_reader || !_reader->pipe) co_return;
  // The task holds only shared state, never the client.
  co_await read_error_stream(_reader->pipe, std::move(sink), _reader);
}

asio::awaitable<void> SidecarClient::_finish_reader(steady_clock::duration bound) {
  auto reader = _reader;
  if (!reader) co_return;
  if (!reader->finished) {
    reader->finished_signal->expires_after(bound);
    boost::system::error_code ec;
    co_await reader->finished_signal->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    co_await async::throw_if_cancelled();
  }
  // Whatever still holds the pipe open (a grandchild that inherited it) no
  // longer keeps us waiting.
  reader->pipe->close();
}

asio::awaitable<void> SidecarClient::start() {
  host::isolation_policy().assert_endpoint_allowed(base_url, "the llama.cpp runtime");
  if (port < 1 || port > 65535)
    throw ValueError("llama-server port must be between 1 and 65535, got " + std::to_string(port));
  co_await _stop_server();
  co_await _cleanup_stale_inference_processes();
  _ensure_jetson_clocks_sudoers();
  _maximize_gpu_clocks();
  const std::string binary = _find_sidecar();
  const std::string resolved_device = _resolve_device();
  const Environment env = _launch_environment(binary, resolved_device);
  const bool cuda = resolved_device == "cuda";
  std::optional<double> lfb_mb;
  if (cuda) lfb_mb = co_await _prepare_memory_for_launch();
  const std::int64_t requested_ngl = cuda ? gpu_layers : 0;
  const std::int64_t requested_ctx = context_window_tokens;
  const StartupProfile profile = _startup_profile_for_lfb(lfb_mb);
  const Json snapshot = cuda ? _memory_snapshot() : Json::object();

  Json payload = {{"model", file_name(model)},
                  {"resolved_device", resolved_device},
                  {"requested_ctx", requested_ctx},
                  {"requested_ngl", requested_ngl},
                  {"batch", profile.batch},
                  {"ubatch", profile.ubatch},
                  {"fit_off", profile.fit_off},
                  {"no_warmup", profile.no_warmup},
                  {"jetson_platform", _is_jetson_platform()},
                  {"airgapped", airgapped}};
  merge(payload, snapshot);
  _emit_diagnostic("runtime_llama_starting", std::move(payload));

  co_await _start_once(binary, env, requested_ngl, requested_ctx, profile.batch, profile.ubatch, profile.fit_off,
                       profile.no_warmup);
  gpu_layers = requested_ngl;
  context_window_tokens = requested_ctx;
}

asio::awaitable<void> SidecarClient::_start_once(const std::string& binary, const Environment& env, std::int64_t ngl,
                                                 std::int64_t ctx, std::int64_t batch, std::int64_t ubatch,
                                                 bool fit_off, bool no_warmup) {
  const auto& seams = detail::seams();
  const std::vector<std::string> cmd = _launch_command(binary, ngl, ctx, batch, ubatch, fit_off, no_warmup);
  const Json figures = launch_figures(ctx, ngl, batch, ubatch, fit_off, no_warmup);
  Json launch = {{"command", text::join(cmd, " ")}};
  merge(launch, figures);
  for (const char* var : {"CUDA_MODULE_LOADING", "GGML_CUDA_ENABLE_UNIFIED_MEMORY", "GGML_CUDA_VMM_CHUNK_MB",
                          "GGML_CUDA_VMM_RESERVE_MB"})
    launch[config::lower(var)] = env_value(env, var);
  _emit_diagnostic("runtime_llama_launch_command", std::move(launch));

  // Another process (say, another user's llama-server) answering on our
  // address would pass the health check while our child fails to bind.
  if (co_await http::is_listening(ex_, host, static_cast<std::uint16_t>(port), std::chrono::seconds(2)))
    throw RuntimeError("cannot start llama-server: " + host + ":" + std::to_string(port) +
                       " is already in use by another process");

  proc::SpawnOptions so;
  so.argv = cmd;
  so.env = env;
  so.in = proc::Stdio::inherit;
  so.out = proc::Stdio::null;
  so.err = proc::Stdio::pipe;
  // A group of its own: Ctrl-C in the host's terminal must not stop it.
  so.new_process_group = true;
  _proc = std::make_unique<proc::Child>(proc::Child::spawn(ex_, std::move(so)));

  _stderr = std::make_shared<StderrBuffer>();
  _reader = std::make_shared<ReaderState>();
  _reader->pipe = _proc->take_stderr();
  _reader->hook = _diagnostics_hook;
  _reader->finished_signal = std::make_unique<asio::steady_timer>(ex_, steady_clock::time_point::max());
  _reader->wake = std::make_unique<asio::steady_timer>(ex_);
  // Lines count as start-up lines until this launch ends, however it ends.
  struct EndStartup {
    std::shared_ptr<ReaderState> r;
    ~EndStartup() { r->startup = false; }
  } end_startup{_reader};
  asio::co_spawn(ex_, _capture_startup_stderr(_stderr), [state = _reader](std::exception_ptr) {
    state->finished = true;
    state->finished_signal->cancel();
  });

  const auto deadline = steady_clock::now() + seams.readiness_deadline;
  while (steady_clock::now() < deadline) {
    if (auto status = _proc->poll()) {
      co_await _finish_reader(seams.early_exit_stderr_wait);
      std::string err = config::trim(text::join({_stderr->lines.begin(), _stderr->lines.end()}, "\n"));
      const std::size_t len = text::length(err);
      if (len > 8000)
        err = text::prefix(err, 4000) + "\n... <" + std::to_string(len - 8000) + " chars omitted> ...\n" +
              text::suffix(err, 4000);
      const std::string detail = err.empty() ? "no stderr output" : err;
      Json payload = {{"error", detail}};
      merge(payload, figures);
      payload["returncode"] = *status;
      payload["stderr_line_count"] = _stderr->lines.size();
      payload["stderr_tail"] = strings(_stderr->tail(20));
      merge(payload, _memory_snapshot());
      _emit_diagnostic("runtime_llama_start_failed", std::move(payload));
      throw RuntimeError("llama-server exited with code " + std::to_string(*status) + ": " + detail);
    }
    try {
      auto r = co_await _http->get(base_url + "/health");
      if (r.status == 200) {
        end_startup.r->startup = false;
        _emit_diagnostic("runtime_llama_start_ready", Json{{"pid", _proc ? _proc->pid() : 0},
                                                            {"ctx", ctx},
                                                            {"ngl", ngl},
                                                            {"stderr_line_count", _stderr->lines.size()}});
        co_return;
      }
    } catch (const http::TransportError&) {
      // Not listening yet, reset, malformed or slow: keep polling.
    }
    co_await wait_for_next_check(*end_startup.r, seams.poll_interval);
  }
  end_startup.r->startup = false;
  Json payload = {{"ctx", ctx},
                  {"ngl", ngl},
                  {"stderr_line_count", _stderr->lines.size()},
                  {"stderr_tail", strings(_stderr->tail(20))}};
  merge(payload, _memory_snapshot());
  _emit_diagnostic("runtime_llama_start_timeout", std::move(payload));
  throw TimeoutError("llama-server did not become ready");
}

asio::awaitable<void> SidecarClient::_stop_server() {
  // Taken out of the client first: whatever happens below (even
  // cancellation), the handle's destructor kills and reaps the child.
  std::unique_ptr<proc::Child> child = std::move(_proc);
  auto reader = _reader;
  struct CloseReader {
    std::shared_ptr<ReaderState> r;
    ~CloseReader() {
      if (r && r->pipe) r->pipe->close();
    }
  } close_reader{reader};
  if (!child || child->poll()) co_return;
  // llama-server does not finish its shutdown while a request of ours is in
  // flight: end our own connections first so that SIGTERM works at once.
  if (_http) _http->close_connections();
  // A SIGTERM that lands just after the server reported ready can be lost
  // (see STOP_TERM_REPEAT_MS): one still running a short while later that
  // has not begun shutting down gets a second one. Then the rest of the
  // grace, SIGKILL and a bounded wait: a server stuck in the GPU driver is
  // left to a background reaper rather than hanging us.
  const auto& seams = detail::seams();
  auto left = seams.stop_grace;
  int sigterms = 0;
  std::optional<int> status;
  if (seams.stop_term_repeat < left) {
    child->signal(SIGTERM);
    // A server stopped by SIGSTOP (job control, a debugger) acts on the
    // SIGTERM only once it runs again.
    child->signal(SIGCONT);
    ++sigterms;
    status = co_await child->wait_for(seams.stop_term_repeat);
    left -= seams.stop_term_repeat;
    if (!status && reader && reader->shutting_down) {
      status = co_await child->wait_for(left);
      left = std::chrono::milliseconds(0);
    }
  }
  if (!status) {
    ++sigterms;
    child->signal(SIGCONT);
    status = co_await child->terminate(left);
  }
  _last_stop = StopOutcome{*status, sigterms};
}

asio::awaitable<void> SidecarClient::close() {
  co_await _stop_server();
  _http->close();
}

void SidecarClient::release_server() {
  if (_proc) _proc->release();
  _proc.reset();
}

asio::awaitable<bool> SidecarClient::_slot_request(const std::string& action, const std::filesystem::path& path,
                                                   const char* failure_event) {
  if (!slot_files) co_return false;
  const Json body = {{"filename", path.filename().string()}};
  auto answer = co_await async::attempt(
      _http->post_json(base_url + "/slots/0?action=" + action, body, detail::seams().slot_request_timeout));
  if (answer.error) {
    _emit_diagnostic(failure_event, Json{{"error", error_text(answer.error)}});
    co_return false;
  }
  co_return answer.value->status == 200;
}

asio::awaitable<bool> SidecarClient::save_kv_cache(std::filesystem::path path) {
  co_return co_await _slot_request("save", path, "runtime_llama_kv_save_failed");
}

asio::awaitable<bool> SidecarClient::restore_kv_cache(std::filesystem::path path) {
  co_return co_await _slot_request("restore", path, "runtime_llama_kv_restore_failed");
}

asio::awaitable<void> SidecarClient::reset_kv_cache() {
  co_await _stop_server();
  co_await start();
}

}  // namespace dravik::sidecar
