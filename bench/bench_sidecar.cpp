// SidecarClient against the fake llama-server: time from `start` to ready,
// and chat_stream relaying a long stream.
#include <unistd.h>

#include <filesystem>

#include <boost/asio.hpp>

#include "bench_util.hpp"
#include "fakes/host_doubles.hpp"
#include "fakes/test_http_server.hpp"
#include "sidecar/sidecar_env.hpp"
#include "sidecar/detail/seams.hpp"
#include "sidecar/sidecar.hpp"
#include "support/process/process.hpp"

using namespace dravik;
namespace fs = std::filesystem;
namespace asio = boost::asio;
using testing::run_until_done;

using testing::free_port;

int main() {

  const fs::path dir = bench::make_sidecar_sandbox(DRAVIK_FAKE_LLAMA_SERVER);
  sidecar::detail::seams().root = (dir / "root").string();

  auto policy = std::make_shared<testing::RecordingIsolationPolicy>();
  auto chat = std::make_shared<testing::SseChatProtocol>();
  host::HostServices hs;
  hs.isolation_policy = policy;
  hs.chat_protocol = chat;
  host::install_host_services(hs);

  asio::io_context io;
  // Baseline: spawn the fake server and poll its health every 2 ms.
  const int runs = 5;
  double baseline = 0;
  for (int i = 0; i < runs; ++i) {
    const auto port = free_port();
    auto t0 = bench::Clock::now();
    proc::SpawnOptions o;
    o.argv = {DRAVIK_FAKE_LLAMA_SERVER, "--port", std::to_string(port)};
    o.err = proc::Stdio::null;
    auto child = proc::Child::spawn(io.get_executor(), o);
    http::Client client(io.get_executor(), std::chrono::seconds(5));
    for (;;) {
      try {
        if (run_until_done(io, client.get("http://127.0.0.1:" + std::to_string(port) + "/health")).status == 200) break;
      } catch (const http::TransportError&) {
      }
      ::usleep(2000);
    }
    baseline += bench::ms_since(t0);
    run_until_done(io, child.terminate(std::chrono::seconds(2)));
  }
  baseline /= runs;

  double total = 0;
  int slept_polls = 0;
  sidecar::SidecarClient client(io.get_executor(), (dir / "model.gguf").string(), "127.0.0.1", free_port(), 2048,
                                "cpu");
  for (int i = 0; i < runs; ++i) {
    auto t0 = bench::Clock::now();
    run_until_done(io, client.start());
    const double t = bench::ms_since(t0);
    total += t;
    slept_polls += static_cast<int>(t / 1000.0);
    run_until_done(io, client._stop_server());
  }
  std::printf("start() on device cpu, fake server ready at once (%d runs)\n", runs);
  bench::ratio_line("  start -> ready", total / runs, baseline, "ms");
  std::printf("  of which first-poll interval (1.0 s sleeps): %.0f ms per start\n", slept_polls * 1000.0 / runs);

  // _stop_server with a chat stream open (the server holds it), against
  // stopping the same server idle.
  ::setenv("FAKE_LLAMA_STREAM_HOLD_MS", "60000", 1);
  double idle_stop = 0, open_stop = 0;
  const Json hello = Json::array({{{"role", "user"}, {"content", "hi"}}});
  for (int i = 0; i < runs; ++i) {
    run_until_done(io, client.start());
    auto t0 = bench::Clock::now();
    run_until_done(io, client._stop_server());
    idle_stop += bench::ms_since(t0);

    run_until_done(io, client.start());
    auto stream = client.chat_stream(hello);
    run_until_done(io, [&]() -> asio::awaitable<void> { co_await stream->next(); }());
    bool stream_done = false;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
      while (co_await stream->next()) {
      }
    }, [&](std::exception_ptr) { stream_done = true; });
    t0 = bench::Clock::now();
    run_until_done(io, client._stop_server());
    open_stop += bench::ms_since(t0);
    while (!stream_done) io.run_one();
  }
  ::unsetenv("FAKE_LLAMA_STREAM_HOLD_MS");
  std::printf("_stop_server (%d runs)\n", runs);
  bench::ratio_line("  with a chat stream open vs idle", open_stop / runs, idle_stop / runs, "ms");

  // chat_stream relaying 10,000 chunks, against the protocol read directly.
  ::setenv("FAKE_LLAMA_CHUNKS", "10000", 1);
  run_until_done(io, client.start());
  const Json messages = Json::array({{{"role", "user"}, {"content", "hi"}}});
  auto consume = [&](host::ChunkStream& s, double& first_ms) {
    return run_until_done(io, [&]() -> asio::awaitable<std::size_t> {
      auto t0 = bench::Clock::now();
      std::size_t n = 0;
      while (auto c = co_await s.next()) {
        if (n++ == 0) first_ms = bench::ms_since(t0);
      }
      co_return n;
    }());
  };
  double direct_first = 0, direct_total = 0, relay_first = 0, relay_total = 0;
  const int rounds = 20;
  for (int i = 0; i < rounds; ++i) {
    // Alternate which one goes first, so that neither always follows the other.
    for (int k = 0; k < 2; ++k) {
      double first = 0;
      auto t0 = bench::Clock::now();
      if ((i + k) % 2 == 0) {
        auto direct = chat->stream_openai_chat(*client._http, client.base_url, "local", messages, true, std::nullopt);
        consume(*direct, first);
        direct_total += bench::ms_since(t0);
        direct_first += first;
      } else {
        auto relayed = client.chat_stream(messages);
        consume(*relayed, first);
        relay_total += bench::ms_since(t0);
        relay_first += first;
      }
    }
  }
  std::printf("chat_stream relaying 10,000 chunks (%d rounds, interleaved)\n", rounds);
  bench::ratio_line("  time to first chunk", relay_first / rounds, direct_first / rounds, "ms");
  bench::ratio_line("  total", relay_total / rounds, direct_total / rounds, "ms");
  run_until_done(io, client.close());
  fs::current_path("/");
  fs::remove_all(dir);
  return 0;
}
