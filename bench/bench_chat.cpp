// dravik chat against the fake llama-server: time to the first token of a
// one-shot turn (server start included) against the same start and request
// made directly, and the memory of an idle interactive session.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <boost/asio.hpp>

#include "bench_util.hpp"
#include "fakes/test_http_server.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/http/http.hpp"
#include "support/process/process.hpp"

using namespace dravik;
namespace fs = std::filesystem;
namespace asio = boost::asio;
using testing::run_until_done;

using testing::free_port;

int main() {
  char tmpl[] = "/tmp/dravik-bench-chat-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  fs::create_directories(dir / "bin");
  fs::create_directories(dir / "work");
  fs::create_symlink(DRAVIK_FAKE_LLAMA_SERVER, dir / "bin/llama-server");
  std::ofstream(dir / "bin/sudo") << "#!/bin/sh\nexit 1\n";
  fs::permissions(dir / "bin/sudo", fs::perms::owner_all);
  std::ofstream(dir / "model.gguf") << "GGUF";
  std::ofstream(dir / "script.json") << R"([{"content": "Hello from the model."}])";
  ::setenv("FAKE_LLAMA_SCRIPT", (dir / "script.json").c_str(), 1);
  asio::io_context io;
  const int runs = 5;
  double direct = 0, through = 0;
  for (int i = 0; i < runs; ++i) {
    // Direct: spawn, poll /health, one streamed request, its first chunk.
    {
      const auto port = free_port();
      auto t0 = bench::Clock::now();
      proc::SpawnOptions o;
      o.argv = {DRAVIK_FAKE_LLAMA_SERVER, "--port", std::to_string(port)};
      auto child = proc::Child::spawn(io.get_executor(), o);
      http::Client client(io.get_executor(), std::chrono::seconds(5));
      const std::string base = "http://127.0.0.1:" + std::to_string(port);
      for (;;) {
        try {
          if (run_until_done(io, client.get(base + "/health")).status == 200) break;
        } catch (const http::TransportError&) {
        }
        ::usleep(2000);
      }
      run_until_done(io, [&]() -> asio::awaitable<void> {
        http::Request req;
        req.method = "POST";
        req.url = base + "/v1/chat/completions";
        req.body = R"({"messages":[{"role":"user","content":"hi"}],"stream":true})";
        auto resp = co_await client.send(std::move(req));
        co_await resp.read_some();
      }());
      direct += bench::ms_since(t0);
      run_until_done(io, child.terminate(std::chrono::seconds(2)));
    }
    // Through dravik chat -p: first byte of the reply on its stdout.
    {
      std::ofstream(dir / "home/.dravik/config.json") << "";
      fs::create_directories(dir / "home/.dravik");
      std::ofstream(dir / "home/.dravik/config.json")
          << "{\"llama_model\": \"" << (dir / "model.gguf").string() << "\", \"device\": \"cpu\", \"llama_port\": "
          << free_port() << "}";
      auto env = proc::current_environment();
      env["HOME"] = (dir / "home").string();
      env["PATH"] = (dir / "bin").string() + ":/usr/bin:/bin";
      auto t0 = bench::Clock::now();
      proc::SpawnOptions o;
      o.argv = {DRAVIK_BIN, "chat", "-p", "hi"};
      o.env = env;
      o.cwd = (dir / "work").string();
      o.out = proc::Stdio::pipe;
      auto child = proc::Child::spawn(io.get_executor(), o);
      auto out = child.take_stdout();
      run_until_done(io, [&]() -> asio::awaitable<void> { co_await out->read_some(); }());
      through += bench::ms_since(t0);
      run_until_done(io, [&]() -> asio::awaitable<void> {
        while (co_await out->read_some()) {
        }
        co_await child.wait();
      }());
    }
  }
  std::printf("time to the first token, server start included (%d runs)\n", runs);
  bench::ratio_line("  dravik chat -p vs the same request made directly", through / runs, direct / runs, "ms");

  // An idle interactive session: at its prompt, server running.
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::chdir((dir / "work").c_str());
    ::setenv("HOME", (dir / "home").c_str(), 1);
    ::setenv("PATH", ((dir / "bin").string() + ":/usr/bin:/bin").c_str(), 1);
    ::execl(DRAVIK_BIN, DRAVIK_BIN, "chat", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string screen;
  for (int i = 0; i < 400 && screen.find("you") == std::string::npos; ++i) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      char buf[4096];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) screen.append(buf, static_cast<std::size_t>(n));
    }
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  long rss = -1;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
  std::printf("idle dravik chat at its prompt: VmRSS %ld kB (this benchmark process: %ld kB)\n", rss,
              bench::status_kb("VmRSS"));
  [[maybe_unused]] auto n = ::write(master, "/exit\r", 6);
  int st = 0;
  ::waitpid(pid, &st, 0);
  ::close(master);
  fs::remove_all(dir);
  return 0;
}
