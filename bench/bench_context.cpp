// How much of each prompt a real llama-server serves from its KV cache over
// a scripted 30-turn conversation in a 4096-token context, replies capped at
// 64 tokens: the context policy of `dravik chat` (fixed part counted, one
// larger shrink to two thirds of the budget) against the policy it replaced
// (the whole request estimated at a rate learned over all of it, the oldest
// turn dropped whenever the estimate is over, a refit to two thirds of the
// last prompt after a refusal), measured in the same run on the same server.
// Also prints the fixed part of every request: characters and tokens.
//
//   DRAVIK_TEST_LLAMA_SERVER=path/to/llama-server DRAVIK_TEST_MODEL=model.gguf bench_context
#include <cstdio>
#include <cstdlib>
#include <string>

#include <boost/asio/io_context.hpp>

#include "backend_catalog/backend_catalog.hpp"
#include "bench_util.hpp"
#include "real_server_bench.hpp"
#include "turn/context_budget.hpp"
#include "dravik_host.hpp"
#include "sidecar/sidecar.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/errors.hpp"
#include "support/run.hpp"

using namespace dravik;
namespace fs = std::filesystem;
namespace asio = boost::asio;

namespace {

constexpr std::int64_t kContext = 4096;
constexpr std::int64_t kReplyCap = 64;
constexpr int kTurns = 30;

struct Totals {
  std::int64_t prompt = 0, cached = 0, refused = 0, shrinks = 0, restarts = 0;
};

// A user message of a few hundred characters, different every turn.
std::string user_message(int turn) {
  static const char* topics[] = {"the parser", "the build script", "the HTTP client", "the cache", "the tests",
                                 "the logger", "the configuration", "the command line"};
  std::string m = "Turn " + std::to_string(turn) + ": look at " + topics[turn % 8] +
                  " and tell me what could go wrong when the input is empty, very long, or not valid UTF-8. ";
  for (int i = 0; i < turn % 4; ++i)
    m += "Also consider what happens when two requests arrive at the same time and one of them is cancelled. ";
  return m;
}

struct Reply {
  bool refused = false;
  std::optional<std::int64_t> prompt_tokens, cached_tokens, n_ctx;
  std::string content;
};

Reply send_once(asio::io_context& io, hostlib::ChatRuntime& rt, const Json& messages) {
  Reply r;
  try {
    auto stream = rt.chat_stream(messages, true);
    async::run_until_done(io, [&]() -> asio::awaitable<void> {
      while (auto chunk = co_await stream->next()) {
        const Json& c = chunk->data;
        if (c.contains("usage") && c["usage"].is_object()) {
          r.prompt_tokens = c["usage"].value("prompt_tokens", std::int64_t{0});
          if (c["usage"].contains("prompt_tokens_details"))
            r.cached_tokens = c["usage"]["prompt_tokens_details"].value("cached_tokens", std::int64_t{0});
        }
        if (c.contains("choices") && c["choices"].is_array() && !c["choices"].empty()) {
          const Json& d = c["choices"][0].value("delta", Json::object());
          if (d.contains("content") && d["content"].is_string()) r.content += d["content"].get<std::string>();
        }
      }
    }());
  } catch (const hostlib::ChatRequestError& e) {
    if (!e.context_exceeded()) throw;
    r.refused = true;
    r.prompt_tokens = e.n_prompt_tokens;
    r.n_ctx = e.n_ctx;
  }
  return r;
}

// Tests elsewhere on the machine may stop every llama-server of the user: a
// request cut off that way is sent again to a restarted server (and the
// restart counted, since its cache starts empty).
Reply send(asio::io_context& io, hostlib::ChatRuntime& rt, const Json& messages, Totals& t) {
  for (int attempt = 0;; ++attempt) {
    try {
      return send_once(io, rt, messages);
    } catch (const hostlib::ChatRequestError&) {
      throw;
    } catch (const std::exception& e) {
      if (attempt >= 3) throw;
      std::fprintf(stderr, "request failed (%s); restarting the server\n", e.what());
      ++t.restarts;
      async::run_until_done(io, rt.start());
    }
  }
}

void count(Totals& t, const Reply& r) {
  t.prompt += r.prompt_tokens.value_or(0);
  t.cached += r.cached_tokens.value_or(0);
}

// The policy `dravik chat` follows now.
Totals run_current(asio::io_context& io, hostlib::ChatRuntime& rt, const std::string& system) {
  app::ContextBudget b;
  b.context = kContext;
  b.reserve = std::min<std::int64_t>(512, kReplyCap);
  Json probe = Json::array({Json{{"role", "system"}, {"content", system}}, Json{{"role", "user"}, {"content", ""}}});
  b.fixed = async::run_until_done(io, rt.count_prompt_tokens(probe, true));
  Totals t;
  Json messages = Json::array({Json{{"role", "system"}, {"content", system}}});
  for (int turn = 0; turn < kTurns; ++turn) {
    messages.push_back({{"role", "user"}, {"content", user_message(turn)}});
    if (b.shrink(messages, 0)) ++t.shrinks;
    std::size_t chars = app::ContextBudget::conversation_chars(messages);
    Reply r = send(io, rt, messages, t);
    if (r.refused) {
      ++t.refused;
      b.learn_overflow(r.prompt_tokens, r.n_ctx, chars);
      if (b.shrink(messages, 0)) ++t.shrinks;
      chars = app::ContextBudget::conversation_chars(messages);
      r = send(io, rt, messages, t);
      if (r.refused) throw RuntimeError("the current policy did not fit after one refit");
    }
    count(t, r);
    if (r.prompt_tokens) b.learn(*r.prompt_tokens, chars);
    messages.push_back({{"role", "assistant"}, {"content", r.content}});
  }
  return t;
}

// The policy it replaced, as it was.
Totals run_previous(asio::io_context& io, hostlib::ChatRuntime& rt, const std::string& system) {
  double rate = 1.0 / 3.0;
  std::optional<std::int64_t> last_prompt;
  Totals t;
  Json messages = Json::array({Json{{"role", "system"}, {"content", system}}});
  auto whole_fit = [&](std::int64_t budget, double r) {
    // Its estimate counted every message, the system prompt included, and
    // dropped the oldest turn until under the budget.
    const auto system_chars = static_cast<std::int64_t>(dump_json(messages[0]).size());
    return app::ContextBudget::fit(messages, budget - static_cast<std::int64_t>(static_cast<double>(system_chars) * r),
                                   budget - static_cast<std::int64_t>(static_cast<double>(system_chars) * r), r);
  };
  for (int turn = 0; turn < kTurns; ++turn) {
    messages.push_back({{"role", "user"}, {"content", user_message(turn)}});
    if (whole_fit(std::max<std::int64_t>(256, kContext - 512), rate)) ++t.shrinks;
    std::size_t chars = dump_json(messages).size();
    Reply r = send(io, rt, messages, t);
    if (r.refused) {
      ++t.refused;
      const std::int64_t budget = std::max<std::int64_t>(128, (last_prompt.value_or(kContext) * 2) / 3);
      if (whole_fit(budget, rate * 1.5)) ++t.shrinks;
      rate *= 1.5;
      chars = dump_json(messages).size();
      r = send(io, rt, messages, t);
      if (r.refused) {
        ++t.refused;
        continue;  // the turn failed for the user; its message stayed, as it did
      }
    }
    count(t, r);
    if (r.prompt_tokens) {
      last_prompt = r.prompt_tokens;
      rate = std::max(0.05, static_cast<double>(*r.prompt_tokens) / static_cast<double>(chars));
    }
    messages.push_back({{"role", "assistant"}, {"content", r.content}});
  }
  return t;
}

}  // namespace

int main() {
  asio::io_context io;
  const auto real = bench::real_server_bench(io);
  if (!real) return 2;
  const std::string& model_path = real->model;
  const fs::path& dir = real->dir;
  hostlib::LocalRuntimeOptions local;
  local.model = model_path;
  local.device = "cpu";
  local.context_window_tokens = kContext;
  local.port = testing::free_port();
  local.max_reply_tokens = kReplyCap;
  auto rt = hostlib::local_runtime(io.get_executor(), std::move(local));
  async::run_until_done(io, rt->start());

  // The system prompt of `dravik chat`, with this directory in it.
  const std::string system =
      "You are Dravik, a coding assistant on the user's machine, working in " + dir.string() +
      ". Use the tools to read, search and change files and run commands there (paths relative to it). "
      "shell, write_file and edit_file need the user's approval; a refusal comes back as the tool's result: "
      "do not retry it. Keep answers short.";
  const Json probe =
      Json::array({Json{{"role", "system"}, {"content", system}}, Json{{"role", "user"}, {"content", ""}}});
  const auto fixed_tokens = async::run_until_done(io, rt->count_prompt_tokens(probe, true));
  std::printf("fixed part: %zu characters (system prompt %zu + tool schemas %zu), %lld tokens\n",
              system.size() + dump_json(hostlib::tool_definitions()).size(), system.size(),
              dump_json(hostlib::tool_definitions()).size(), static_cast<long long>(fixed_tokens.value_or(-1)));

  const auto t0 = bench::Clock::now();
  const Totals previous = run_previous(io, *rt, system);
  const double previous_ms = bench::ms_since(t0);
  async::run_until_done(io, rt->reset());  // the same empty cache for both
  const auto t1 = bench::Clock::now();
  const Totals current = run_current(io, *rt, system);
  const double current_ms = bench::ms_since(t1);
  async::run_until_done(io, rt->close());

  // What a prompt carried beyond the fixed part: the conversation the model
  // still sees.
  auto report = [&](const char* name, const Totals& t, double ms) {
    std::printf("%-9s %d turns: %lld prompt tokens, %lld from the cache (%.1f%%), %lld refused requests, "
                "%lld shrinks, %.0f conversation tokens per prompt, %lld server restarts, %.0f ms\n",
                name, kTurns, static_cast<long long>(t.prompt), static_cast<long long>(t.cached),
                t.prompt ? 100.0 * static_cast<double>(t.cached) / static_cast<double>(t.prompt) : 0.0,
                static_cast<long long>(t.refused), static_cast<long long>(t.shrinks),
                static_cast<double>(t.prompt) / kTurns - static_cast<double>(fixed_tokens.value_or(0)),
                static_cast<long long>(t.restarts), ms);
  };
  report("previous", previous, previous_ms);
  report("current", current, current_ms);
  auto share = [](const Totals& t) {
    return t.prompt ? 100.0 * static_cast<double>(t.cached) / static_cast<double>(t.prompt) : 0.0;
  };
  bench::ratio_line("cache share (current vs previous)", share(current), share(previous), "%");
  bench::ratio_line("prompt tokens computed (current vs previous)",
                    static_cast<double>(current.prompt - current.cached),
                    static_cast<double>(previous.prompt - previous.cached), "tok");
  std::error_code ec;
  fs::current_path("/", ec);
  fs::remove_all(dir, ec);
  return 0;
}
