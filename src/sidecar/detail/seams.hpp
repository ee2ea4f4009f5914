// Internal seams of the sidecar: the root under which fixed system paths are
// resolved, and the fixed waits. Production code never changes them; tests
// point the root at a temporary tree and shorten the waits.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace dravik::sidecar::detail {

// llama-server loses a SIGTERM that arrives between the installation of its
// handler (it already answers "/health" then) and the start of its main
// loop, and exits at once on a second one. A stop normally takes a few
// milliseconds; one that takes longer but has begun ("cleaning up before
// exit" on the error stream) is left to finish. On a loaded machine a third
// of the stops right after ready lose the first SIGTERM, so this wait is
// what such a stop costs.
inline constexpr int STOP_TERM_REPEAT_MS = 50;

struct Seams {
  // Prefix of "/proc", "/sys", "/etc", "/dev", "/usr/local/cuda".
  std::string root;
  std::chrono::milliseconds readiness_deadline{120000};
  std::chrono::milliseconds poll_interval{1000};
  std::chrono::milliseconds stop_grace{5000};
  // A server still running this long after SIGTERM, and not shutting down,
  // gets a second one (within the grace); at or beyond `stop_grace` only one
  // is sent.
  std::chrono::milliseconds stop_term_repeat{STOP_TERM_REPEAT_MS};
  std::chrono::milliseconds cleanup_term_wait{800};
  std::chrono::milliseconds cleanup_kill_wait{600};
  std::chrono::milliseconds compaction_wait{400};
  // How long an early exit waits for the error stream to end.
  std::chrono::milliseconds early_exit_stderr_wait{3000};
  std::chrono::milliseconds slot_request_timeout{60000};
  // Kill and output grace of the synchronous system actions (sudo, sync).
  std::chrono::milliseconds system_action_grace{200};
  // Overrides the system page size (bytes).
  std::optional<long> page_size_bytes;
};

Seams& seams();

// `path` (absolute) under the seams' root.
std::string sys_path(const std::string& path);

}  // namespace dravik::sidecar::detail
