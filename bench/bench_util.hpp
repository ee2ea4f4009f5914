// Shared helpers of the benchmark programs.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <string>

namespace dravik::bench {

using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM").
inline long status_kb(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

inline void ratio_line(const char* what, double value, double baseline, const char* unit) {
  std::printf("%-44s %12.3f %s   baseline %12.3f %s   ratio %.3f\n", what, value, unit, baseline, unit,
              baseline > 0 ? value / baseline : 0.0);
}

// A temporary working directory for a SidecarClient against the fake
// llama-server: a fake system root (sudoers rule present, empty /proc), the
// fake on PATH as "llama-server" and a sudo that always fails.
inline std::filesystem::path make_sidecar_sandbox(const std::string& fake_server) {
  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/dravik-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  fs::create_directories(dir / "root/proc");
  fs::create_directories(dir / "root/etc/sudoers.d");
  std::ofstream(dir / "root/etc/sudoers.d/dravik-clocks") << "x";
  fs::create_directories(dir / "bin");
  fs::create_symlink(fake_server, dir / "bin/llama-server");
  std::ofstream(dir / "bin/sudo") << "#!/bin/sh\nexit 1\n";
  fs::permissions(dir / "bin/sudo", fs::perms::owner_all);
  ::setenv("PATH", (dir.string() + "/bin:" + std::getenv("PATH")).c_str(), 1);
  fs::current_path(dir);
  return dir;
}

}  // namespace dravik::bench
