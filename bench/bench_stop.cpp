// SidecarClient start -> stop cycles against the real llama-server: how long
// `_stop_server` takes right after the server reported ready, and how many
// stops end in SIGKILL, with the second SIGTERM and without it (baseline:
// one SIGTERM, then SIGKILL when the grace ends). The two kinds of stop
// alternate, so both see the same load.
//
//   bench_stop [cycles per kind, default 1000]
//   DRAVIK_TEST_LLAMA_SERVER, DRAVIK_TEST_MODEL: the server and the model
//   (default: the project's shared ones).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <boost/asio.hpp>

#include "bench_util.hpp"
#include "fakes/host_doubles.hpp"
#include "sidecar/detail/seams.hpp"
#include "sidecar/sidecar.hpp"
#include "sidecar/sidecar_env.hpp"

using namespace dravik;
namespace fs = std::filesystem;
namespace asio = boost::asio;
using testing::free_port;
using testing::run_until_done;

namespace {

std::string from_env(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback;
}

struct Kind {
  Kind(const char* n, std::chrono::milliseconds r) : name(n), repeat(r) {}
  const char* name;
  std::chrono::milliseconds repeat;
  std::vector<double> stop_ms, start_ms;
  int killed = 0, repeated = 0;
  std::map<int, int> statuses;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  const std::string server =
      fs::absolute(from_env("DRAVIK_TEST_LLAMA_SERVER", DRAVIK_SHARED_DIR "/tools/llama-server/llama-server"));
  const std::string model = fs::absolute(from_env("DRAVIK_TEST_MODEL", DRAVIK_SHARED_DIR "/fixtures/tiny-chat.gguf"));
  if (!fs::exists(server) || !fs::exists(model)) {
    std::fprintf(stderr, "bench_stop: no llama-server at %s or no model at %s\n", server.c_str(), model.c_str());
    return 1;
  }
  const fs::path dir = bench::make_sidecar_sandbox(server);
  auto& seams = sidecar::detail::seams();
  seams.root = (dir / "root").string();

  host::HostServices hs;
  hs.isolation_policy = std::make_shared<testing::RecordingIsolationPolicy>();
  hs.chat_protocol = std::make_shared<testing::SseChatProtocol>();
  host::install_host_services(hs);

  asio::io_context io;
  sidecar::SidecarClient client(io.get_executor(), model, "127.0.0.1", free_port(), 2048, "cpu");
  const std::string with = "second SIGTERM after " + std::to_string(sidecar::detail::STOP_TERM_REPEAT_MS) + " ms";
  Kind kinds[] = {{with.c_str(), std::chrono::milliseconds(sidecar::detail::STOP_TERM_REPEAT_MS)},
                  {"baseline: one SIGTERM, SIGKILL after 5 s", seams.stop_grace}};
  // Another program that stops every llama-server of the user (a test run
  // elsewhere on the machine) can end our server first: such a cycle is
  // counted apart and run again.
  int disturbed = 0;
  for (int i = 0; i < cycles; ++i) {
    for (Kind& k : kinds) {
      seams.stop_term_repeat = k.repeat;
      for (;;) {
        auto t0 = bench::Clock::now();
        try {
          run_until_done(io, client.start());
        } catch (const std::exception&) {
          ++disturbed;
          continue;
        }
        const double start_ms = bench::ms_since(t0);
        client._last_stop.reset();
        t0 = bench::Clock::now();
        run_until_done(io, client._stop_server());
        const double stop_ms = bench::ms_since(t0);
        if (!client._last_stop) {  // it was gone before the stop
          ++disturbed;
          continue;
        }
        k.start_ms.push_back(start_ms);
        k.stop_ms.push_back(stop_ms);
        ++k.statuses[client._last_stop->exit_status];
        if (client._last_stop->exit_status == -9) ++k.killed;
        if (client._last_stop->sigterms > 1) ++k.repeated;
        break;
      }
    }
    if ((i + 1) % 50 == 0) std::fprintf(stderr, "bench_stop: %d of %d cycles\n", i + 1, cycles);
  }
  run_until_done(io, client.close());

  std::printf("start -> stop right after ready, real llama-server, %d cycles of each kind\n", cycles);
  for (const Kind& k : kinds) {
    std::printf("%s\n", k.name);
    std::printf("  stop   p50 %8.1f ms   p95 %8.1f ms   p99 %8.1f ms   max %8.1f ms\n", percentile(k.stop_ms, 50),
                percentile(k.stop_ms, 95), percentile(k.stop_ms, 99), percentile(k.stop_ms, 100));
    std::printf("  start  p50 %8.1f ms   SIGKILLs %d   second SIGTERMs %d   exit statuses", percentile(k.start_ms, 50),
                k.killed, k.repeated);
    for (const auto& [status, n] : k.statuses) std::printf(" %d: %d", status, n);
    std::printf("\n");
  }
  std::printf("cycles run again because another program ended the server: %d\n", disturbed);
  bench::ratio_line("stop p99 (second SIGTERM vs baseline)", percentile(kinds[0].stop_ms, 99),
                    percentile(kinds[1].stop_ms, 99), "ms");
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
