// Shared helpers of the benchmark programs.
#pragma once

#include <chrono>
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

}  // namespace dravik::bench
