// Whether a process the test started (or had started) has died.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

namespace dravik::testing {

// Waits (bounded) until `pid` has died (a zombie waiting for its parent or
// init counts as dead).
inline bool eventually_gone(pid_t pid) {
  for (int i = 0; i < 300; ++i) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto paren = stat.rfind(')');
    if (stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0)) return true;
    ::usleep(10000);
  }
  return false;
}

}  // namespace dravik::testing
