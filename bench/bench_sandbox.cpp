// The sandbox's cost per command: `true` and compiling one C file, inside
// each sandbox level this machine has and outside (the baseline), through
// the shell executor; the medians as ratios, and the time added (goal:
// under 10 ms at the median).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "shell_tools.hpp"
#include "support/run.hpp"

namespace fs = std::filesystem;
using namespace dravik;

namespace {

constexpr int kRounds = 40;

double median_ms(hostlib::LocalShellExecutor& shell, const std::string& command) {
  std::vector<double> t;
  boost::asio::io_context io;
  for (int i = 0; i < kRounds; ++i) {
    const auto t0 = bench::Clock::now();
    const auto r = async::run_until_done(io, shell.run_shell(command, 60));
    t.push_back(bench::ms_since(t0));
    if (!r.ok) std::fprintf(stderr, "failed: %s\n%s\n", command.c_str(), r.summary.c_str());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main() {
  char tmpl[] = "/var/tmp/dravik-bench-sandbox-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path project = dir / "home/proj";
  fs::create_directories(project);
  std::ofstream(project / "a.c") << "int answer(void) { return 42; }\n";
  hostlib::ShellOptions plain;
  plain.workdir = project;
  hostlib::LocalShellExecutor outside(plain);
  const char* commands[] = {"true", "cc -c a.c -o a.o"};
  double base[2];
  for (int c = 0; c < 2; ++c) base[c] = median_ms(outside, commands[c]);
  std::printf("shell commands, median of %d; baseline: the same command without a sandbox\n", kRounds);
  for (const char* level : {"bubblewrap", "landlock"}) {
    auto sandbox = hostlib::Sandbox::probe(project, dir / "home", {}, level);
    if (sandbox->describe().rfind(level[0] == 'b' ? "bubblewrap" : "Landlock", 0) != 0) {
      std::printf("%-12s not available here: %s\n", level, sandbox->why_not_stronger().c_str());
      continue;
    }
    hostlib::ShellOptions so = plain;
    so.sandbox = sandbox;
    hostlib::LocalShellExecutor inside(so);
    for (int c = 0; c < 2; ++c) {
      const double ms = median_ms(inside, commands[c]);
      bench::ratio_line((std::string(level) + ": " + commands[c]).c_str(), ms, base[c], "ms");
      std::printf("%-44s %12.3f ms   (goal: under 10)\n", "  added", ms - base[c]);
    }
  }
  fs::remove_all(dir);
}
