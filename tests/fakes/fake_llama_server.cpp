// A stand-in for llama.cpp's llama-server, for tests. It accepts the real
// server's command line, listens where told and answers like the real one:
// "/health" 503 while "loading" then 200, the slot save/restore API writing
// real files into --slot-save-path, and a streamed chat completion. Faults
// are switched on through environment variables:
//   FAKE_LLAMA_RECORD=<file>        write {"argv": [...], "env": {...}} there
//   FAKE_LLAMA_READY_AFTER_MS=<n>   answer 503 for n ms first
//   FAKE_LLAMA_STDERR_LINES=<n>     write n lines to stderr at start
//   FAKE_LLAMA_STDERR_TEXT=<text>   write this text to stderr at start
//   FAKE_LLAMA_QUIET=1              leave out the start-up banner lines
//   FAKE_LLAMA_EXIT_CODE=<n>        exit with n after FAKE_LLAMA_EXIT_AFTER_MS
//   FAKE_LLAMA_KILL_SIGNAL=<n>      die by that signal instead of exiting
//   FAKE_LLAMA_GRANDCHILD=1         leave a process holding stderr open on exit
//   FAKE_LLAMA_IGNORE_SIGTERM=1     ignore SIGTERM
//   FAKE_LLAMA_CLEANUP_MS=<n>       take n ms to exit after SIGTERM
//   FAKE_LLAMA_LOSE_FIRST_SIGTERM=1 ignore the first SIGTERM after ready and
//                                   exit 1 on the next, as the real server
//                                   does when the first lands too early
//   FAKE_LLAMA_SILENT=1             never listen
//   FAKE_LLAMA_HEALTH=garbage       answer "/health" with something not HTTP
//   FAKE_LLAMA_FLOOD_BYTES=<n>      after ready, write n bytes of log to stderr
//   FAKE_LLAMA_CHUNKS=<n>           content events per chat reply (default 4)
//   FAKE_LLAMA_SLOT_DELAY_MS=<n>    delay slot answers
//   FAKE_LLAMA_SLOT_TRICKLE_MS=<n>  send slot answers one byte every n ms
//   FAKE_LLAMA_SCRIPT=<file>        answer chat requests from a JSON array of
//                                   replies, one per request (the last repeats):
//                                   {"reasoning": "...", "content": "...",
//                                    "tool_calls": [{"name": n, "arguments": {...}}],
//                                    "die": true (exit in the middle of the reply),
//                                    "hold_ms": n (pause after the first content
//                                    piece, until the client leaves),
//                                    "context_error": true (400 like a full context),
//                                    "fail": true (500, as when the server fails)}
//   FAKE_LLAMA_REQUESTS=<file>      append each chat request body there (JSON lines);
//                                   the script then counts requests across restarts
//   FAKE_LLAMA_READY_TEXT=<text>    write this line to stderr once ready
//   FAKE_LLAMA_EXIT_MARKER=<file>   write "graceful" there on a SIGTERM exit
//   FAKE_LLAMA_STREAM_HOLD_MS=<n>   hold each chat stream open n ms after its
//                                   first events (until the client leaves)
// Like the real server, a SIGTERM while a chat stream is open takes effect
// only once the stream has ended; once ready it prints the "listening on"
// line.
// Like the real server, SIGTERM before ready kills it by the signal's
// default action; after ready it exits 0.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "fakes/test_http_server.hpp"

extern char** environ;

namespace asio = boost::asio;
using dravik::testing::Conn;
using dravik::testing::RawRequest;
using dravik::testing::TestHttpServer;
using json = nlohmann::ordered_json;

namespace {

long env_long(const char* name, long dflt) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : dflt;
}

void log_line(const std::string& line) {
  // Blocking writes, as the real server's logger does: a pipe nobody reads
  // stalls the whole server.
  std::string l = line + "\n";
  const char* p = l.data();
  std::size_t left = l.size();
  while (left > 0) {
    ssize_t n = ::write(2, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

bool valid_filename(const std::string& f) {
  return !f.empty() && f.find('/') == std::string::npos && f.find('\\') == std::string::npos &&
         f.find("..") == std::string::npos && f != ".";
}

std::string error_body(int code, const std::string& message, const std::string& type) {
  return json{{"error", {{"code", code}, {"message", message}, {"type", type}}}}.dump();
}

struct Server {
  asio::io_context io;
  std::string slot_dir;
  bool ready = false;
  int open_streams = 0;
  bool terminating = false;

  // Keeps an open stream waiting up to `ms`. False when the client left:
  // the stream is then over (and a pending SIGTERM takes effect).
  asio::awaitable<bool> hold_stream(Conn& c, long ms) {
    for (long waited = 0; waited < ms && !c.peer_closed(); waited += 10)
      co_await c.sleep(std::chrono::milliseconds(10));
    if (!c.peer_closed()) co_return true;
    --open_streams;
    exit_if_terminating();
    co_return false;
  }

  void exit_if_terminating() {
    if (!terminating || open_streams > 0) return;
    log_line("I srv    operator(): operator(): cleaning up before exit...");
    if (long ms = env_long("FAKE_LLAMA_CLEANUP_MS", 0)) ::usleep(static_cast<useconds_t>(ms) * 1000);
    if (const char* m = std::getenv("FAKE_LLAMA_EXIT_MARKER")) std::ofstream(m) << "graceful";
    std::_Exit(0);
  }

  asio::awaitable<void> handle(const RawRequest& req, Conn& c) {
    if (ready) log_line("0.00.100.000 I srv  log_server_r: request: " + req.method + " " + req.target + " 127.0.0.1 200");
    const std::string path = req.path();
    if (path == "/health" || path == "/v1/health") {
      if (const char* h = std::getenv("FAKE_LLAMA_HEALTH"); h && std::string(h) == "garbage") {
        co_await c.write("NOT HTTP AT ALL\r\n\r\n");
        co_return;
      }
    }
    if (!ready) {
      co_await c.respond(503, R"({"error":{"message":"Loading model","type":"unavailable_error","code":503}})",
                         "application/json; charset=utf-8");
      co_return;
    }
    if (path == "/health" || path == "/v1/health") {
      co_await c.respond(200, R"({"status":"ok"})", "application/json; charset=utf-8");
    } else if (path == "/slots/0") {
      co_await slot(req, c);
    } else if (path == "/v1/chat/completions" && req.method == "POST") {
      co_await chat(req, c);
    } else {
      co_await c.respond(404, R"({"error":{"message":"File Not Found","type":"not_found_error","code":404}})");
    }
  }

  asio::awaitable<void> slot(const RawRequest& req, Conn& c) {
    if (long d = env_long("FAKE_LLAMA_SLOT_DELAY_MS", 0)) co_await c.sleep(std::chrono::milliseconds(d));
    const std::string action = req.target.substr(req.target.find("action=") + 7);
    if (slot_dir.empty()) {
      co_await c.respond(501, error_body(501, "This server does not support slots action. Start it with `--slot-save-path`",
                                         "not_supported_error"));
      co_return;
    }
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("filename")) {
      co_await c.respond(500, error_body(500, "[json.exception.out_of_range.403] key 'filename' not found", "server_error"));
      co_return;
    }
    const std::string filename = body["filename"].is_string() ? body["filename"].get<std::string>() : "";
    if (!valid_filename(filename)) {
      co_await c.respond(400, error_body(400, "Invalid filename", "invalid_request_error"));
      co_return;
    }
    const std::string file = slot_dir + "/" + filename;
    if (action == "save") {
      std::ofstream(file, std::ios::binary) << "FAKE-KV-CACHE\n";
      const std::string answer = json{{"id_slot", 0}, {"filename", filename}, {"n_saved", 32}, {"n_written", 14},
                                      {"timings", {{"save_ms", 0.2}}}}.dump();
      co_await respond_slot(c, answer);
    } else if (action == "restore") {
      std::ifstream in(file, std::ios::binary);
      std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (!in.good() && content.empty()) {
        co_await c.respond(400, error_body(400, "Unable to restore slot, no available space in KV cache or invalid slot save file",
                                           "invalid_request_error"));
        co_return;
      }
      const std::string answer = json{{"id_slot", 0}, {"filename", filename}, {"n_restored", 32},
                                      {"n_read", content.size()}, {"timings", {{"restore_ms", 0.1}}}}.dump();
      co_await respond_slot(c, answer);
    } else {
      co_await c.respond(400, error_body(400, "Invalid action", "invalid_request_error"));
    }
  }

  asio::awaitable<void> respond_slot(Conn& c, const std::string& answer) {
    long trickle = env_long("FAKE_LLAMA_SLOT_TRICKLE_MS", 0);
    if (trickle <= 0) {
      co_await c.respond(200, answer);
      co_return;
    }
    const std::string all = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                            std::to_string(answer.size()) + "\r\nConnection: close\r\n\r\n" + answer;
    for (char ch : all) {
      if (c.peer_closed()) co_return;
      co_await c.write(std::string(1, ch));
      co_await c.sleep(std::chrono::milliseconds(trickle));
    }
  }

  int chat_requests = 0;

  // One scripted reply, streamed the way llama-server streams: a role
  // event, reasoning and content in pieces, tool calls as deltas (name
  // first, arguments in two fragments), the finish reason, usage, [DONE].
  // The events of one scripted reply, built before anything is awaited
  // (g++ 12 cannot await inside a braced initializer).
  static std::vector<std::string> script_events(const json& reply, const json& body, int request, bool& die_after_first) {
    auto event = [](json delta, const char* finish) {
      json choice = json::object();
      choice["finish_reason"] = finish ? json(finish) : json();
      choice["index"] = 0;
      choice["delta"] = std::move(delta);
      json e = json::object();
      e["choices"] = json::array({choice});
      e["object"] = "chat.completion.chunk";
      return Conn::chunk("data: " + e.dump() + "\n\n");
    };
    auto halves = [](const std::string& s) {
      const std::size_t mid = s.size() / 2;
      return std::vector<std::string>{s.substr(0, mid), s.substr(mid)};
    };
    std::vector<std::string> out;
    json role = json::object();
    role["role"] = "assistant";
    role["content"] = nullptr;
    out.push_back(event(role, nullptr));
    if (reply.contains("reasoning"))
      for (const auto& piece : halves(reply["reasoning"].get<std::string>())) {
        json d = json::object();
        d["reasoning_content"] = piece;
        out.push_back(event(d, nullptr));
      }
    die_after_first = false;
    if (reply.contains("content")) {
      for (const auto& piece : halves(reply["content"].get<std::string>())) {
        json d = json::object();
        d["content"] = piece;
        out.push_back(event(d, nullptr));
      }
      die_after_first = reply.value("die", false);
    }
    int index = 0;
    if (reply.contains("tool_calls"))
      for (const auto& call : reply["tool_calls"]) {
        const std::string args =
            call["arguments"].is_string() ? call["arguments"].get<std::string>() : call["arguments"].dump();
        json fn = json::object();
        fn["name"] = call["name"];
        fn["arguments"] = "";
        json first = json::object();
        first["index"] = index;
        first["id"] = "call_" + std::to_string(request) + "_" + std::to_string(index);
        first["type"] = "function";
        first["function"] = fn;
        json d = json::object();
        d["tool_calls"] = json::array({first});
        out.push_back(event(d, nullptr));
        for (const auto& piece : halves(args)) {
          json more = json::object();
          more["index"] = index;
          more["function"] = json{{"arguments", piece}};
          json d2 = json::object();
          d2["tool_calls"] = json::array({more});
          out.push_back(event(d2, nullptr));
        }
        ++index;
      }
    out.push_back(event(json::object(), index > 0 ? "tool_calls" : "stop"));
    json usage = json::object();
    usage["choices"] = json::array();
    const int prompt_tokens = static_cast<int>(body.dump().size() / 4);
    usage["usage"] = json{{"prompt_tokens", prompt_tokens},
                          {"completion_tokens", 8},
                          {"prompt_tokens_details", {{"cached_tokens", 0}}}};
    usage["timings"] = json{{"cache_n", 0}, {"prompt_n", prompt_tokens}, {"predicted_n", 8}, {"predicted_per_second", 100.0}};
    out.push_back(Conn::chunk("data: " + usage.dump() + "\n\n") + Conn::chunk("data: [DONE]\n\n") + "0\r\n\r\n");
    return out;
  }

  asio::awaitable<void> scripted(const json& reply, const json& body, Conn& c) {
    if (reply.value("fail", false)) {
      co_await c.respond(500, error_body(500, "scripted failure", "server_error"), "application/json; charset=utf-8");
      co_return;
    }
    if (reply.value("context_error", false)) {
      json answer_json = json::parse(error_body(
          400, "request (3016 tokens) exceeds the available context size (2048 tokens), try increasing it",
          "exceed_context_size_error"));
      answer_json["error"]["n_prompt_tokens"] = 3016;
      answer_json["error"]["n_ctx"] = 2048;
      const std::string answer = answer_json.dump();
      co_await c.respond(400, answer, "application/json; charset=utf-8");
      co_return;
    }
    bool die = false;
    const std::vector<std::string> events = script_events(reply, body, chat_requests, die);
    co_await c.write(
        "HTTP/1.1 200 OK\r\nServer: llama.cpp\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"
        "Connection: close\r\n\r\n");
    ++open_streams;
    for (std::size_t i = 0; i < events.size(); ++i) {
      co_await c.write(events[i]);
      const bool first_content =
          events[i].find("\"content\"") != std::string::npos && events[i].find("role") == std::string::npos;
      // "die": the server crashes after the first piece of the content.
      if (die && first_content) {
        co_await c.sleep(std::chrono::milliseconds(50));
        std::_Exit(3);
      }
      if (const long hold = reply.value("hold_ms", 0L); hold > 0 && first_content && !co_await hold_stream(c, hold))
        co_return;
    }
    --open_streams;
    exit_if_terminating();
  }

  asio::awaitable<void> chat(const RawRequest& req, Conn& c) {
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded()) {
      co_await c.respond(500, error_body(500, "[json.exception.parse_error.101] parse error", "server_error"));
      co_return;
    }
    ++chat_requests;
    if (const char* log = std::getenv("FAKE_LLAMA_REQUESTS")) {
      std::ofstream(log, std::ios::app) << body.dump() << "\n";
      // The log outlives a restarted server: the script goes on where the
      // last server stopped.
      std::ifstream in(log);
      chat_requests = static_cast<int>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
    }
    if (const char* script = std::getenv("FAKE_LLAMA_SCRIPT")) {
      std::ifstream in(script);
      json replies = json::parse(in, nullptr, false);
      if (replies.is_array() && !replies.empty()) {
        const std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(chat_requests - 1), replies.size() - 1);
        co_await scripted(replies[i], body, c);
        co_return;
      }
    }
    // Report back what arrived, so that tests can see the extras.
    std::string thinking = "unset";
    if (body.contains("chat_template_kwargs") && body["chat_template_kwargs"].contains("enable_thinking"))
      thinking = body["chat_template_kwargs"]["enable_thinking"].dump();
    std::string format = body.contains("reasoning_format") ? body["reasoning_format"].get<std::string>() : "unset";
    co_await c.write(
        "HTTP/1.1 200 OK\r\nServer: llama.cpp\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"
        "Connection: close\r\n\r\n");
    auto event = [](const json& delta, const json& finish) {
      json e = {{"choices", {{{"finish_reason", finish}, {"index", 0}, {"delta", delta}}}},
                {"object", "chat.completion.chunk"}};
      return "data: " + e.dump() + "\n\n";
    };
    const json role = {{"role", "assistant"}, {"content", nullptr}};
    const json first = {{"content", "thinking=" + thinking + " format=" + format}};
    std::string head = Conn::chunk(event(role, nullptr)) + Conn::chunk(event(first, nullptr));
    ++open_streams;
    co_await c.write(std::move(head));
    if (long hold = env_long("FAKE_LLAMA_STREAM_HOLD_MS", 0); hold > 0 && !co_await hold_stream(c, hold)) co_return;
    long n = env_long("FAKE_LLAMA_CHUNKS", 4);
    std::string batch;
    for (long i = 0; i < n; ++i) {
      const json delta = {{"content", " tok" + std::to_string(i)}};
      batch += Conn::chunk(event(delta, nullptr));
      if (batch.size() > 32768) {
        co_await c.write(std::move(batch));
        batch.clear();
      }
    }
    batch += Conn::chunk(event(json::object(), "length"));
    batch += Conn::chunk("data: [DONE]\n\n");
    batch += "0\r\n\r\n";
    co_await c.write(std::move(batch));
    --open_streams;
    exit_if_terminating();
  }
};

void record(const std::string& file, int argc, char** argv) {
  json out = {{"argv", json::array()}, {"env", json::object()}, {"cwd", ""}};
  for (int i = 0; i < argc; ++i) out["argv"].push_back(argv[i]);
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    auto eq = kv.find('=');
    if (eq != std::string::npos) out["env"][kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd)) out["cwd"] = cwd;
  out["pgid"] = ::getpgid(0);
  out["pid"] = ::getpid();
  std::ofstream(file + ".tmp") << out.dump();
  std::rename((file + ".tmp").c_str(), file.c_str());
}

[[noreturn]] void exit_early() {
  if (std::getenv("FAKE_LLAMA_GRANDCHILD")) {
    // Like a helper process the server started: it keeps the error pipe
    // (descriptor 2) open after the server is gone, and nothing else.
    pid_t pid;
    const char* args[] = {"sleep", "30", nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    ::posix_spawnp(&pid, "sleep", &fa, nullptr, const_cast<char* const*>(args), environ);
    posix_spawn_file_actions_destroy(&fa);
  }
  if (long sig = env_long("FAKE_LLAMA_KILL_SIGNAL", 0)) {
    ::signal(static_cast<int>(sig), SIG_DFL);
    ::raise(static_cast<int>(sig));
  }
  std::_Exit(static_cast<int>(env_long("FAKE_LLAMA_EXIT_CODE", 1)));
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  long port = 8080;
  Server server;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--host" && i + 1 < argc) host = argv[++i];
    else if (a == "--port" && i + 1 < argc) port = std::strtol(argv[++i], nullptr, 10);
    else if (a == "--slot-save-path" && i + 1 < argc) {
      server.slot_dir = argv[++i];
      struct stat sb;
      if (::stat(server.slot_dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        log_line("error while handling argument \"--slot-save-path\": not a directory: " + server.slot_dir);
        return 1;
      }
    }
  }
  if (const char* r = std::getenv("FAKE_LLAMA_RECORD")) record(r, argc, argv);
  if (std::getenv("FAKE_LLAMA_IGNORE_SIGTERM")) ::signal(SIGTERM, SIG_IGN);

  if (!std::getenv("FAKE_LLAMA_QUIET")) {
    log_line("warning: no usable GPU found, --gpu-layers option will be ignored");
    log_line("0.00.004.180 W srv  llama_server: more info: https://github.com/ggml-org/llama.cpp/pull/25655");
  }
  for (long i = 0, n = env_long("FAKE_LLAMA_STDERR_LINES", 0); i < n; ++i)
    log_line("fake stderr line " + std::to_string(i));
  if (const char* t = std::getenv("FAKE_LLAMA_STDERR_TEXT")) {
    std::string s = t;
    ::write(2, s.data(), s.size());
  }

  if (std::getenv("FAKE_LLAMA_EXIT_CODE") || std::getenv("FAKE_LLAMA_KILL_SIGNAL")) {
    long after = env_long("FAKE_LLAMA_EXIT_AFTER_MS", 0);
    if (after <= 0) exit_early();
    asio::steady_timer* t = new asio::steady_timer(server.io, std::chrono::milliseconds(after));
    t->async_wait([](auto) { exit_early(); });
  }

  std::unique_ptr<TestHttpServer> http;
  if (!std::getenv("FAKE_LLAMA_SILENT")) {
    try {
      http = std::make_unique<TestHttpServer>(
          server.io.get_executor(), [&](const RawRequest& r, Conn& c) { return server.handle(r, c); },
          static_cast<std::uint16_t>(port));
    } catch (const std::exception&) {
      log_line("0.00.013.082 E srv         start: couldn't bind HTTP server socket, hostname: " + host +
               ", port: " + std::to_string(port));
      log_line("0.00.013.149 E srv  llama_server: exiting due to HTTP server error");
      return 1;
    }
  }

  asio::signal_set* term = nullptr;
  asio::steady_timer ready_timer(server.io, std::chrono::milliseconds(env_long("FAKE_LLAMA_READY_AFTER_MS", 0)));
  ready_timer.async_wait([&](auto) {
    server.ready = true;
    log_line("0.00.034.165 I srv  llama_server: model loaded");
    log_line("0.00.034.185 I srv  llama_server: listening on http://" + host + ":" + std::to_string(port));
    if (const char* t = std::getenv("FAKE_LLAMA_READY_TEXT")) log_line(t);
    if (!std::getenv("FAKE_LLAMA_IGNORE_SIGTERM")) {
      term = new asio::signal_set(server.io, SIGTERM);
      if (std::getenv("FAKE_LLAMA_LOSE_FIRST_SIGTERM")) {
        term->async_wait([&](auto, int) {
          term->async_wait([](auto, int) {
            log_line("Received second interrupt, terminating immediately.");
            std::_Exit(1);
          });
        });
      } else {
        term->async_wait([&](auto, int) {
          server.terminating = true;
          server.exit_if_terminating();
        });
      }
    }
    if (long flood = env_long("FAKE_LLAMA_FLOOD_BYTES", 0)) {
      asio::post(server.io, [flood] {
        std::string line(99, 'x');
        for (long written = 0; written < flood; written += 100) log_line(line);
      });
    }
  });
  server.io.run();
  return 0;
}
