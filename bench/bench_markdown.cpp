// The Markdown renderer on 1 MB replies of the shapes cmark-gfm or a
// recursive walk cannot take (nested quotes and lists, runs of stars,
// "![[]()" repeated), in one line and in lines of a few KB, streamed in
// 64-byte pieces as a reply comes; against 1 MB of plain prose through the
// same renderer. The goal: each rendered or degraded in under a second.
#include <cstdio>
#include <string>

#include "bench_util.hpp"
#include "output/markdown.hpp"

namespace {

std::string repeat(std::string_view s, std::size_t bytes, std::size_t line = 0) {
  std::string out;
  while (out.size() < bytes) {
    out += s;
    if (line && out.size() % line < s.size()) out += "\n";
  }
  return out;
}

double render_ms(const std::string& reply) {
  dravik::app::MarkdownRenderer md([](std::string_view) { return std::string("\x1b[1m"); }, 120, 40);
  const auto t0 = dravik::bench::Clock::now();
  std::size_t written = 0;
  for (std::size_t at = 0; at < reply.size(); at += 64) written += md.feed(std::string_view(reply).substr(at, 64)).size();
  written += md.finish().size();
  const double ms = dravik::bench::ms_since(t0);
  if (written == 0) std::printf("(nothing written)\n");
  return ms;
}

}  // namespace

int main() {
  constexpr std::size_t MB = 1 << 20;
  const double plain = render_ms(repeat("The parser drops the last character of a quoted string. ", MB, 400));
  std::printf("1 MB of each shape, streamed in 64-byte pieces; baseline: 1 MB of prose in 400-byte lines\n");
  struct Shape {
    const char* name;
    std::string reply;
  };
  const Shape shapes[] = {
      {"nested quotes, one line", repeat(">", MB)},
      {"nested lists, one line", repeat("- ", MB)},
      {"stars, one line", repeat("*", MB)},
      {"![[]() repeated, one line", repeat("![[]()", MB)},
      {"![[]() repeated, 6 KB lines", repeat("![[]()", MB, 6000)},
      {"nested quotes, 3 KB lines", repeat(">", MB, 3000)},
      {"[ repeated, 8 KB lines", repeat("[", MB, 8000)},
      {"emphasis *a **b, 8 KB lines", repeat("*a **b ", MB, 8000)},
  };
  double worst = 0;
  for (const auto& s : shapes) {
    const double ms = render_ms(s.reply);
    worst = std::max(worst, ms);
    dravik::bench::ratio_line(s.name, ms, plain, "ms");
  }
  std::printf("slowest shape: %.0f ms (goal: under 1000 ms)\n", worst);
  return worst < 1000 ? 0 : 1;
}
