// The one model server of a board, shared by every dravik session on it.
//
// The model fits into memory once, so the server a dravik starts is
// recorded in "~/.dravik/run/server.json" (its pid and start time, address,
// model, context and the sessions using it), guarded by "~/.dravik/run/lock".
// A session that needs the same model uses the running server; the last
// session to leave stops it; a session that is killed leaves it to the
// others. A start that would stop a server someone still uses, or one that
// dravik did not start, asks first.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "support/errors.hpp"
#include "support/json.hpp"

namespace dravik::proc {
class ProcessHandle;
}
namespace dravik::sidecar {
class SidecarClient;
}

namespace dravik::hostlib {

// A process named by its pid and its start time (clock ticks after boot):
// a pid that the kernel has given to another process since no longer
// matches.
struct ProcessId {
  pid_t pid = 0;
  std::uint64_t start = 0;
  bool operator==(const ProcessId&) const = default;
};

// The identity of the running process `pid` (a zombie counts as gone),
// read from `proc_root`/PID/stat.
std::optional<ProcessId> process_id(pid_t pid, const std::string& proc_root = "/proc");
bool still_running(const ProcessId& id, const std::string& proc_root = "/proc");

struct ServerRecord {
  struct Session {
    ProcessId process;
    // Tells the sessions of one process apart.
    std::string token;
    std::string project;
  };
  ProcessId server;
  std::string host = "127.0.0.1";
  std::int64_t port = 0;
  // Absolute paths.
  std::string model;
  std::string slot_dir;
  std::int64_t context = 0;
  // Its "--cache-ram" (absent: the server's default).
  std::optional<std::int64_t> cache_ram_mib;
  std::vector<Session> sessions;

  // The sessions whose process still runs.
  std::vector<Session> live_sessions(const std::string& proc_root = "/proc") const;
  Json to_json() const;
  // Absent when `j` is not a record this version wrote.
  static std::optional<ServerRecord> from_json(const Json& j);
};

// The record and its lock, in one directory (owner-only).
class ServerRegistry {
 public:
  explicit ServerRegistry(std::filesystem::path dir) : dir_(std::move(dir)) {}

  // Held while a session reads and changes the record; released when it
  // is destroyed (and by the kernel when its process dies).
  class Lock {
   public:
    explicit Lock(int fd) : fd_(fd) {}
    Lock(Lock&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Lock& operator=(Lock&& o) noexcept;
    ~Lock();

   private:
    int fd_;
  };
  // Waits at most `bound` for the lock; absent when another dravik held it
  // all that time. `waiting` is called once when the wait begins.
  boost::asio::awaitable<std::optional<Lock>> lock(std::chrono::milliseconds bound,
                                                   std::function<void()> waiting) const;
  // Held by the session whose request the server is serving: the server
  // serves one at a time, and a request waiting in its queue would run
  // into the client's read time-out behind a long reply of another.
  boost::asio::awaitable<std::optional<Lock>> turn(std::chrono::milliseconds bound,
                                                   std::function<void()> waiting) const;
  // The record, when there is one this version can read.
  std::optional<ServerRecord> read() const;
  void write(const ServerRecord& record, const Lock& held) const;
  void remove(const Lock& held) const;
  const std::filesystem::path& dir() const { return dir_; }

 private:
  boost::asio::awaitable<std::optional<Lock>> lock_named(const char* name, std::chrono::milliseconds bound,
                                                         std::function<void()> waiting) const;
  std::filesystem::path dir_;
};

// A model server process a start would stop, as the user is told of it.
struct ServerProcess {
  pid_t pid = 0;
  std::string program;
  std::int64_t resident_kib = 0;
  // "llama-server (pid 4242, 1.2 GiB resident)".
  std::string shown() const;
};
std::vector<ServerProcess> describe_processes(const std::vector<pid_t>& pids, const std::string& proc_root = "/proc");

// What a start must be allowed to stop.
struct StartQuestion {
  enum class Kind {
    // llama-server or ollama processes that no dravik recorded.
    foreign,
    // The board's server, with another model, in use by other sessions.
    holder,
  };
  Kind kind;
  // What would be stopped, in a sentence ("llama-server (pid 4242, ...)").
  std::string what;
  // What the user can do instead.
  std::string advice;
};

// The user declined (or could not be asked): nothing was stopped.
class StartDeclined : public RuntimeError {
 public:
  StartDeclined(const std::string& what, StartQuestion::Kind kind) : RuntimeError(what), kind(kind) {}
  StartQuestion::Kind kind;
};

struct SharedServerOptions {
  // "~/.dravik/run".
  std::filesystem::path run_dir;
  // This session's project directory.
  std::filesystem::path project;
  // Asked before a start stops something other than an orphan a dravik
  // left behind; true: stop it. Absent: never.
  std::function<bool(const StartQuestion&)> confirm;
  // Progress lines ("waiting for ...").
  std::function<void(const std::string&)> notify;
  // Test seams: how long a session waits for the lock to join (a start by
  // another dravik takes up to two minutes) and to leave.
  std::chrono::milliseconds join_wait = std::chrono::seconds(150);
  std::chrono::milliseconds leave_wait = std::chrono::seconds(3);
  // How long a request waits for the other sessions' replies.
  std::chrono::milliseconds turn_wait = std::chrono::minutes(30);
};

// One session's share of the board's server, through its sidecar client.
class SharedServer {
 public:
  SharedServer(sidecar::SidecarClient& client, SharedServerOptions options);
  ~SharedServer();

  // Uses the board's running server when it serves this model, else starts
  // one (after asking, see SharedServerOptions::confirm): the client's
  // address and context are then the server's. Throws StartDeclined when
  // the user declined.
  boost::asio::awaitable<void> join();
  // Leaves the server: the last session stops it, otherwise it runs on for
  // the others. The client's HTTP side stays open.
  boost::asio::awaitable<void> leave();
  // True while the server this session joined runs.
  bool running();
  // True when another live session uses the server.
  bool shared_with_others() const;
  // The server was started by another dravik.
  bool attached() const { return handle_ != nullptr; }
  std::optional<pid_t> pid() const;
  // Waits until no other session's request is being served, and holds the
  // server for this session's until the guard is gone; nothing for a server
  // no record names.
  boost::asio::awaitable<std::optional<ServerRegistry::Lock>> take_turn();
  // This session's reply has ended (its turn is given back).
  void turn_ended();
  // The other live sessions, for a status display.
  std::size_t other_sessions() const;

 private:
  boost::asio::awaitable<bool> try_join(std::vector<pid_t>& agreed_foreign, std::optional<ProcessId>& agreed_holder);
  // Asks about the other servers a start would stop; StartDeclined when the
  // user does not agree, else they are `agreed`.
  void ask_about_foreign(const std::vector<ServerProcess>& foreign, std::vector<pid_t>& agreed);
  void attach(ServerRecord record, std::unique_ptr<proc::ProcessHandle> handle, const ServerRegistry::Lock& lock);
  ServerRecord::Session me() const;
  std::string own_slot_dir() const;
  boost::asio::awaitable<void> leave_recorded();
  // The client's address, context and cache as this session configured
  // them, before a join took the server's.
  struct Own {
    std::string host;
    std::int64_t port = 0;
    std::string base_url;
    std::int64_t context = 0;
    std::optional<std::int64_t> cache_ram_mib;
  };
  std::optional<Own> own_;
  void restore_own_settings();
  // Lets go of our child without stopping it (reaping it when it has
  // ended).
  boost::asio::awaitable<void> forget_child();

  sidecar::SidecarClient& client_;
  SharedServerOptions options_;
  ServerRegistry registry_;
  std::string token_;
  // The server joined, and for one another dravik started, a handle on it.
  std::optional<ProcessId> server_;
  std::unique_ptr<proc::ProcessHandle> handle_;
  // The record names this session.
  bool recorded_ = false;
  std::chrono::steady_clock::time_point last_turn_end_{};
};

// Stops a process that is not our child: SIGTERM (and SIGCONT, for one
// that is stopped), up to `grace` for it to end, then SIGKILL.
boost::asio::awaitable<void> stop_process(const proc::ProcessHandle& handle, std::chrono::milliseconds grace);

}  // namespace dravik::hostlib
