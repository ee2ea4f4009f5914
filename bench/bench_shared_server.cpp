// The second session on a running server: a session that joins the board's
// server (reading and writing its record under the lock) and sends its first
// request, against the same request sent straight to the server, both timed
// to the first chunk of the reply. The goal: at most 50 ms more at the
// median, and no server start. Needs DRAVIK_TEST_LLAMA_SERVER and
// DRAVIK_TEST_MODEL.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "real_server_bench.hpp"
#include "dravik_host.hpp"
#include "sidecar/sidecar.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace dravik;

namespace {

constexpr int kRounds = 30;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

hostlib::LocalRuntimeOptions options(const std::string& model, std::uint16_t port, const fs::path& dir) {
  hostlib::LocalRuntimeOptions o;
  o.model = model;
  o.device = "cpu";
  o.port = port;
  o.context_window_tokens = 2048;
  o.max_reply_tokens = 4;
  hostlib::SharedServerOptions shared;
  shared.run_dir = dir / "run";
  shared.project = dir;
  o.shared = shared;
  return o;
}

// Until the first chunk of the reply.
void first_chunk(asio::io_context& io, host::ChunkStream& stream) {
  async::run_until_done(io, [&]() -> asio::awaitable<void> { (void)co_await stream.next(); }());
}

const Json kMessages = Json::array({{{"role", "user"}, {"content", "Hello there."}}});

}  // namespace

int main() {
  asio::io_context io;
  const auto real = bench::real_server_bench(io);
  if (!real) return 2;
  const std::string& model_path = real->model;
  const fs::path& dir = real->dir;
  const std::uint16_t port = testing::free_port();

  auto first = hostlib::local_runtime(io.get_executor(), options(model_path, port, dir));
  async::run_until_done(io, first->start());
  sidecar::SidecarClient direct(io.get_executor(), model_path, "127.0.0.1", port, 2048, "cpu");
  std::vector<double> straight, joined;
  int starts = 0;
  // "pid N" of the server a runtime uses.
  const auto server_of = [](const hostlib::ChatRuntime& rt) {
    const std::string line = rt.status().front().second;
    return line.substr(0, line.find(" at "));
  };
  const std::string holder = server_of(*first);
  for (int i = 0; i < kRounds; ++i) {
    // In turns, so that neither always meets the other's cache.
    for (int k = 0; k < 2; ++k) {
      const auto t0 = bench::Clock::now();
      if ((i + k) % 2 == 0) {
        auto s = direct.chat_stream(kMessages, false, Json{{"max_tokens", 4}});
        first_chunk(io, *s);
        straight.push_back(bench::ms_since(t0));
        continue;
      }
      auto second = hostlib::local_runtime(io.get_executor(), options(model_path, port, dir));
      async::run_until_done(io, second->start());
      auto stream = second->chat_stream(kMessages, false);
      first_chunk(io, *stream);
      joined.push_back(bench::ms_since(t0));
      if (server_of(*second) != holder) ++starts;
      stream.reset();
      async::run_until_done(io, second->close());
    }
  }
  async::run_until_done(io, first->close());
  std::printf("first chunk of a reply on a running server, median of %d; baseline: the request sent straight\n",
              kRounds);
  bench::ratio_line("second session: join, then the request", median(joined), median(straight), "ms");
  std::printf("%-44s %12.3f ms   (goal: at most 50)\n", "added by joining", median(joined) - median(straight));
  std::printf("%-44s %12d\n", "server starts by the second sessions", starts);
  fs::current_path("/");
  fs::remove_all(dir);
}
