// The host library's hot paths against baselines measured in the same run:
// the chat protocol relaying 10,000 streamed chunks against reading the
// same bytes directly, grep_files over 10,000 files against `grep -rn`, and
// grep and glob on patterns that would backtrack without end.
#include <filesystem>
#include <functional>
#include <fstream>

#include <boost/asio.hpp>

#include "bench_util.hpp"
#include "dravik_host.hpp"
#include "fakes/test_http_server.hpp"
#include "support/http/http.hpp"
#include "support/process/process.hpp"

using namespace dravik;
namespace fs = std::filesystem;
namespace asio = boost::asio;
using testing::Conn;
using testing::RawRequest;
using testing::run_until_done;

int main() {
  // ----------------------------------------------------------- SSE relay
  std::string body;
  for (int i = 0; i < 10000; ++i)
    body += "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\" tok" + std::to_string(i) +
            "\"},\"finish_reason\":null}],\"object\":\"chat.completion.chunk\"}\n\n";
  body += "data: [DONE]\n\n";
  asio::io_context io;
  testing::TestHttpServer server(io.get_executor(), [&](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
    for (std::size_t at = 0; at < body.size(); at += 4096) co_await c.write(body.substr(at, 4096));
  });
  http::Client client(io.get_executor(), std::chrono::seconds(30));
  const int rounds = 20;
  double direct = 0, relayed = 0;
  std::size_t chunks = 0;
  for (int i = 0; i < rounds; ++i) {
    for (int k = 0; k < 2; ++k) {
      auto t0 = bench::Clock::now();
      if ((i + k) % 2 == 0) {
        run_until_done(io, [&]() -> asio::awaitable<void> {
          http::Request req;
          req.method = "POST";
          req.url = server.url("/v1/chat/completions");
          req.body = "{}";
          auto resp = co_await client.send(std::move(req));
          while (co_await resp.read_some()) {
          }
        }());
        direct += bench::ms_since(t0);
      } else {
        auto s = hostlib::open_chat_stream(client, server.url(""), Json::object());
        chunks = run_until_done(io, [&]() -> asio::awaitable<std::size_t> {
          std::size_t n = 0;
          while (co_await s->next()) ++n;
          co_return n;
        }());
        relayed += bench::ms_since(t0);
      }
    }
  }
  std::printf("chat stream of %zu chunks (%d rounds, interleaved)\n", chunks, rounds);
  bench::ratio_line("  parsed and relayed vs bytes read", relayed / rounds, direct / rounds, "ms");

  // ---------------------------------------------------------------- grep
  char tmpl[] = "/tmp/dravik-bench-grep-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  for (int i = 0; i < 10000; ++i) {
    const fs::path f = dir / ("d" + std::to_string(i % 100)) / ("f" + std::to_string(i) + ".cpp");
    fs::create_directories(f.parent_path());
    std::ofstream out(f);
    for (int l = 0; l < 30; ++l)
      out << "int value_" << l << " = compute(" << i << ", " << l << ");" << (i % 1000 == 0 && l == 7 ? " // NEEDLE" : "")
          << "\n";
  }
  hostlib::ShellOptions so;
  so.workdir = dir;
  hostlib::LocalShellExecutor sh(so);
  double ours = 0, theirs = 0;
  const int grep_rounds = 5;
  std::size_t found = 0;
  for (int i = 0; i < grep_rounds; ++i) {
    auto t0 = bench::Clock::now();
    const std::string out = sh.grep_now("NEEDLE", nullptr, nullptr, false);
    ours += bench::ms_since(t0);
    found = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    t0 = bench::Clock::now();
    proc::RunOptions o;
    o.cwd = dir.string();
    proc::run_sync({"grep", "-rn", "NEEDLE", "."}, o);
    theirs += bench::ms_since(t0);
  }
  std::printf("grep over 10,000 files (%zu matches, %d rounds)\n", found, grep_rounds);
  bench::ratio_line("  grep_files vs grep -rn", ours / grep_rounds, theirs / grep_rounds, "ms");

  // A regular expression, a pattern that backtracking engines take forever
  // on, and a glob of 16 "**": each against the same work done plainly.
  auto versus = [&](const char* what, const std::function<void()>& mine, const std::function<void()>& baseline) {
    double a = 0, b = 0;
    for (int i = 0; i < grep_rounds; ++i) {
      auto t0 = bench::Clock::now();
      mine();
      a += bench::ms_since(t0);
      t0 = bench::Clock::now();
      baseline();
      b += bench::ms_since(t0);
    }
    bench::ratio_line(what, a / grep_rounds, b / grep_rounds, "ms");
  };
  auto grep_e = [&](const std::string& pattern, const std::string& where) {
    proc::RunOptions o;
    o.cwd = dir.string();
    proc::run_sync({"grep", "-rnE", pattern, where}, o);
  };
  const std::string regex = "compute\\([0-9]+, 7\\).*NEEDLE";
  const std::string regex_hits = sh.grep_now(regex, nullptr, nullptr, false);
  std::printf("grep '%s' over 10,000 files (%zu matches)\n", regex.c_str(),
              static_cast<std::size_t>(std::count(regex_hits.begin(), regex_hits.end(), '\n')));
  versus("  grep_files vs grep -rnE", [&] { sh.grep_now(regex, nullptr, nullptr, false); }, [&] { grep_e(regex, "."); });
  fs::create_directories(dir / "patho");
  std::ofstream(dir / "patho" / "as.txt") << std::string(40, 'a') << "!\n" << std::string(4000, 'a') << "!\n";
  std::printf("grep '(a+)+$' over lines of 40 and 4,000 a's ending in '!'\n");
  versus("  grep_files vs grep -rnE", [&] { sh.grep_now("(a+)+$", "patho", nullptr, false); },
         [&] { grep_e("(a+)+$", "patho"); });
  std::string stars;
  for (int i = 0; i < 16; ++i) stars += "**/";
  std::printf("glob of 16 '**' segments over 10,000 files\n");
  versus("  glob_files '**/ x16 *.rs' vs '**/*.rs'", [&] { sh.glob_now(stars + "*.rs", nullptr); },
         [&] { sh.glob_now("**/*.rs", nullptr); });
  fs::remove_all(dir);
  return 0;
}
