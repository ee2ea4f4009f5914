// The coordinator's own cost per cycle (instant target and command, against
// the same operations called directly), and a full cycle against the fake
// llama-server broken down by stage.
#include <unistd.h>

#include <filesystem>

#include <boost/asio.hpp>

#include "bench_util.hpp"
#include "eviction_coordinator/eviction_coordinator.hpp"
#include "fakes/host_doubles.hpp"
#include "fakes/test_http_server.hpp"
#include "server_eviction/server_eviction.hpp"
#include "sidecar/detail/seams.hpp"

using namespace dravik;
namespace fs = std::filesystem;
namespace asio = boost::asio;
using testing::run_until_done;

namespace {

struct InstantTarget : eviction_target::EvictionTarget {
  asio::awaitable<bool> save_state(fs::path) override { co_return true; }
  asio::awaitable<void> unload() override { co_return; }
  asio::awaitable<void> reload() override { co_return; }
  asio::awaitable<bool> restore_state(fs::path) override { co_return true; }
  double available_memory_mb() override { return 0; }
  double model_memory_mb() override { return 1000; }
};

// Times each stage of a real target.
struct TimedTarget : eviction_target::EvictionTarget {
  server_eviction::LlamaEvictionTarget& inner;
  double save = 0, unload_ms = 0, reload_ms = 0, restore = 0;
  explicit TimedTarget(server_eviction::LlamaEvictionTarget& t) : inner(t) {}
  asio::awaitable<bool> save_state(fs::path d) override {
    auto t0 = bench::Clock::now();
    bool r = co_await inner.save_state(d);
    save += bench::ms_since(t0);
    co_return r;
  }
  asio::awaitable<void> unload() override {
    auto t0 = bench::Clock::now();
    co_await inner.unload();
    unload_ms += bench::ms_since(t0);
  }
  asio::awaitable<void> reload() override {
    auto t0 = bench::Clock::now();
    co_await inner.reload();
    reload_ms += bench::ms_since(t0);
  }
  asio::awaitable<bool> restore_state(fs::path d) override {
    auto t0 = bench::Clock::now();
    bool r = co_await inner.restore_state(d);
    restore += bench::ms_since(t0);
    co_return r;
  }
  double available_memory_mb() override { return 0; }
  double model_memory_mb() override { return 1000; }
};

}  // namespace

int main() {
  auto shell = std::make_shared<testing::ScriptedShellExecutor>();
  auto policy = std::make_shared<testing::RecordingIsolationPolicy>();
  host::HostServices hs;
  hs.shell_executor = shell;
  hs.isolation_policy = policy;
  host::install_host_services(hs);
  asio::io_context io;

  auto target = std::make_shared<InstantTarget>();
  eviction_coordinator::EvictionCoordinator coordinator(target, fs::path("/tmp/unused"),
                                                        [](const std::string&) {});
  const int cycles = 20000;
  auto t0 = bench::Clock::now();
  run_until_done(io, [&]() -> asio::awaitable<void> {
    for (int i = 0; i < cycles; ++i) {
      co_await target->save_state("/tmp/unused");
      co_await target->unload();
      co_await host::shell_executor().run_shell("true", 5);
      co_await target->reload();
      co_await target->restore_state("/tmp/unused");
      shell->calls.clear();
    }
  }());
  const double direct = bench::ms_since(t0) / cycles;
  t0 = bench::Clock::now();
  run_until_done(io, [&]() -> asio::awaitable<void> {
    for (int i = 0; i < cycles; ++i) {
      co_await coordinator.run_with_swap("make -j2 all", 5);
      shell->calls.clear();
    }
  }());
  const double swapped = bench::ms_since(t0) / cycles;
  std::printf("coordinator overhead per cycle: %.4f ms (goal: under 1 ms)\n", swapped - direct);
  bench::ratio_line("  cycle through the coordinator", swapped, direct, "ms");

  // A full cycle against the fake llama-server.
  const fs::path dir = bench::make_sidecar_sandbox(DRAVIK_FAKE_LLAMA_SERVER);
  sidecar::detail::seams().root = (dir / "root").string();
  sidecar::detail::seams().poll_interval = std::chrono::milliseconds(20);

  asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
  const auto port = probe.local_endpoint().port();
  probe.close();
  sidecar::SidecarClient client(io.get_executor(), (dir / "model.gguf").string(), "127.0.0.1", port, 2048, "cpu");
  run_until_done(io, client.start());
  auto messages = std::make_shared<Json>(Json::array());
  for (int i = 0; i < 200; ++i) messages->push_back({{"role", i % 2 ? "assistant" : "user"}, {"content", std::string(400, 'x')}});
  server_eviction::LlamaEvictionTarget real(client, messages);
  auto timed = std::make_shared<TimedTarget>(real);
  eviction_coordinator::EvictionCoordinator full(timed);
  const int rounds = 5;
  t0 = bench::Clock::now();
  for (int i = 0; i < rounds; ++i) run_until_done(io, full.run_with_swap("true", 5));
  const double total = bench::ms_since(t0) / rounds;
  std::printf("full cycle against the fake server (poll interval shortened to 20 ms, %d rounds):\n", rounds);
  std::printf("  save %.2f ms, unload %.2f ms, command ~0 ms, reload %.2f ms, restore %.2f ms, total %.2f ms\n",
              timed->save / rounds, timed->unload_ms / rounds, timed->reload_ms / rounds, timed->restore / rounds, total);
  bench::ratio_line("  total vs sum of the stages", total,
                    (timed->save + timed->unload_ms + timed->reload_ms + timed->restore) / rounds, "ms");
  run_until_done(io, client.close());
  fs::current_path("/");
  fs::remove_all(dir);
  return 0;
}
