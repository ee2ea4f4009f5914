// The server's host-RAM prompt cache (--cache-ram) with two conversations
// alternating on one server, as two sessions sharing it do: 50 prompts, each
// conversation growing by a question and a short reply. For the server's
// default (8192 MiB), the budget dravik gives this board, and no cache (the
// baseline): the server's resident memory at the end and the share of
// prompt tokens served from its caches. Needs DRAVIK_TEST_LLAMA_SERVER and
// DRAVIK_TEST_MODEL.
#include <cstdio>
#include <fstream>
#include <string>

#include "bench_util.hpp"
#include "real_server_bench.hpp"
#include "dravik_host.hpp"
#include "provisioning/provisioning.hpp"
#include "support/run.hpp"
#include "sidecar/sidecar_env.hpp"

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace dravik;

namespace {

constexpr std::int64_t kContext = 8192;

long rss_kb(std::int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

struct Figures {
  std::int64_t prompt = 0, cached = 0;
  long rss = 0;
};

Figures run(const std::string& model, std::optional<std::int64_t> cache_ram) {
  asio::io_context io;
  hostlib::LocalRuntimeOptions o;
  o.model = model;
  o.device = "cpu";
  o.context_window_tokens = kContext;
  o.port = testing::free_port();
  o.max_reply_tokens = 16;
  o.cache_ram_mib = cache_ram;
  auto rt = hostlib::local_runtime(io.get_executor(), std::move(o));
  async::run_until_done(io, rt->start());
  Figures f;
  Json conversations[2];
  for (int c = 0; c < 2; ++c)
    conversations[c] = Json::array({{{"role", "system"},
                                     {"content", "Conversation " + std::to_string(c) + ". " +
                                                     std::string(2000, c ? 'b' : 'a')}}});
  for (int i = 0; i < 50; ++i) {
    Json& m = conversations[i % 2];
    m.push_back({{"role", "user"}, {"content", "Question " + std::to_string(i) + " about the parser."}});
    std::string reply;
    auto stream = rt->chat_stream(m, false);
    async::run_until_done(io, [&]() -> asio::awaitable<void> {
      while (auto chunk = co_await stream->next()) {
        const Json& d = chunk->data;
        if (d.contains("usage") && d["usage"].is_object()) {
          f.prompt += d["usage"].value("prompt_tokens", std::int64_t{0});
          if (d["usage"].contains("prompt_tokens_details"))
            f.cached += d["usage"]["prompt_tokens_details"].value("cached_tokens", std::int64_t{0});
        }
        if (d.contains("choices") && d["choices"].is_array() && !d["choices"].empty()) {
          const Json& delta = d["choices"][0].value("delta", Json::object());
          if (delta.contains("content") && delta["content"].is_string()) reply += delta["content"].get<std::string>();
        }
      }
    }());
    m.push_back({{"role", "assistant"}, {"content", reply}});
  }
  for (const auto& [what, value] : rt->status())
    if (what == "server" && value.rfind("pid ", 0) == 0) f.rss = rss_kb(std::stoll(value.substr(4)));
  async::run_until_done(io, rt->close());
  return f;
}

}  // namespace

int main() {
  asio::io_context services_io;
  const auto real = bench::real_server_bench(services_io);
  if (!real) return 2;
  const std::string& model_path = real->model;
  const fs::path& dir = real->dir;
  const std::int64_t budget = provisioning::choose_cache_ram_mib(model_path, kContext);
  const Figures none = run(model_path, 0);
  const Figures fallback = run(model_path, std::nullopt);
  const Figures ours = run(model_path, budget);
  std::printf("two conversations alternating, 50 prompts, one slot; baseline: --cache-ram 0\n");
  auto share = [](const Figures& f) { return f.prompt ? 100.0 * static_cast<double>(f.cached) / f.prompt : 0.0; };
  bench::ratio_line("cached share of prompt tokens, default 8192 MiB", share(fallback), share(none), "%");
  bench::ratio_line(("cached share, budget " + std::to_string(budget) + " MiB").c_str(), share(ours), share(none), "%");
  bench::ratio_line("server resident memory, default", fallback.rss / 1024.0, none.rss / 1024.0, "MiB");
  bench::ratio_line("server resident memory, budget", ours.rss / 1024.0, none.rss / 1024.0, "MiB");
  fs::current_path("/");
  fs::remove_all(dir);
}
