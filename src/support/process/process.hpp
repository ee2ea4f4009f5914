// Child processes on the host's event loop: posix_spawn + pidfd.
//
// A child inherits only descriptors 0, 1 and 2 (each /dev/null, a pipe or the
// host's own), default signal dispositions and an empty signal mask. Exit
// status convention: the exit code for a normal exit, the negative signal
// number for a child killed by a signal (-9, -15).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace dravik::proc {

using Duration = std::chrono::steady_clock::duration;
using Environment = std::map<std::string, std::string>;

enum class Stdio { null, pipe, inherit };

// Limits a program runs under, applied by its keeper (see
// SpawnOptions::keep_descendants) before the program starts, and so to
// everything it starts too. Prepared by the caller: only system calls run
// after the fork.
struct Confinement {
  // A session of its own, without a controlling terminal: nothing it runs
  // can push keystrokes into the host's terminal.
  bool new_session = false;
  // PR_SET_NO_NEW_PRIVS (set-user-ID programs gain nothing; needed by the
  // two below for an unprivileged user).
  bool no_new_privs = false;
  // A Landlock ruleset descriptor to restrict the program to (-1: none);
  // the caller keeps it open until the spawn returns.
  int landlock_ruleset = -1;
  // A seccomp filter program (struct sock_filter, 8 bytes an instruction);
  // empty: none.
  std::vector<std::uint64_t> seccomp_filter;
};

struct SpawnOptions {
  // argv[0] is searched on the host's PATH unless it contains a "/".
  std::vector<std::string> argv;
  // The child's whole environment; absent: the host's environment.
  std::optional<Environment> env;
  std::optional<std::string> cwd;
  Stdio in = Stdio::null;
  Stdio out = Stdio::null;
  Stdio err = Stdio::null;
  // Start the child as the leader of a new process group, so that a Ctrl-C
  // sent to the host's terminal group does not reach it.
  bool new_process_group = false;
  // Run the program under a keeper: a process of ours that adopts every
  // orphan the program's processes leave (PR_SET_CHILD_SUBREAPER), so that
  // `terminate` ends all of its descendants, also those that left its
  // process group or started a session of their own (setsid). The keeper
  // reports the program's exit status as its own; after a normal exit of
  // the program it leaves at once, and background processes the program
  // started keep running. The host's own reaping is not touched: only the
  // keeper is a subreaper. Then `pid` is the keeper's (and the group's).
  bool keep_descendants = false;
  // Applied by the keeper (implies keep_descendants). A keeper that cannot
  // apply all of it does not start the program (exit status 126).
  std::optional<Confinement> confinement;
};

// Reads one pipe end. Read errors end the stream (as end of file) instead of
// raising; cancellation of the awaiting coroutine propagates.
class PipeReader {
 public:
  PipeReader(boost::asio::any_io_executor ex, int fd);
  ~PipeReader();
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  // The next line without its line feed; nullopt at end of file. A line
  // longer than `max_line` bytes is cut there and the rest of it, up to the
  // next line feed, is dropped.
  boost::asio::awaitable<std::optional<std::string>> read_line(std::size_t max_line = 64 * 1024);
  // The next bytes as they arrive; nullopt at end of file.
  boost::asio::awaitable<std::optional<std::string>> read_some();
  // Closes the pipe end; a pending read completes with cancellation.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Writes to one pipe end (a child's standard input) without blocking the
// loop. A reader that is gone makes writes fail (false), never a SIGPIPE of
// the host; cancellation of the awaiting coroutine propagates.
class PipeWriter {
 public:
  PipeWriter(boost::asio::any_io_executor ex, int fd);
  ~PipeWriter();
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  // Writes all of `bytes`, waiting while the pipe is full; false once the
  // reader has closed its end (or the pipe was closed here).
  boost::asio::awaitable<bool> write(std::string bytes);
  // Closes the pipe end: the reader sees the end of its input.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class Child {
 public:
  // Spawns the program. Throws FileNotFoundError when the program does not
  // exist, OSError for other spawn failures.
  static Child spawn(boost::asio::any_io_executor ex, SpawnOptions opts);

  Child(Child&&) noexcept;
  Child& operator=(Child&&) noexcept;
  // A child still running is killed with SIGKILL and reaped; one that does
  // not exit within a few hundred milliseconds is reaped by a background
  // task on the loop instead of blocking it.
  ~Child();

  pid_t pid() const;
  // The exit status if the child has exited (reaping it), else nullopt.
  std::optional<int> poll();
  // Waits for the exit and returns the status.
  boost::asio::awaitable<int> wait();
  // Waits at most `d`; nullopt when the child is still running then.
  boost::asio::awaitable<std::optional<int>> wait_for(Duration d);
  // Sends a signal; false when the child is already gone.
  bool signal(int sig);
  // Sends a signal to the child's whole process group (the child must have
  // been spawned as a group leader); false when no process received it.
  bool signal_group(int sig);
  // SIGTERM, up to `grace` for the exit, then SIGKILL and a bounded wait for
  // the reap. A child with a keeper: SIGTERM to every descendant, after
  // `grace` SIGKILL to every one still there, found again and again until
  // none is left. Returns the exit status; a child that still has not exited
  // then (stuck in the kernel) is logged, left to a background task on the
  // loop that reaps it once it dies, and reported as killed (-9).
  // With `group`, the signals go to the child's whole process group.
  boost::asio::awaitable<int> terminate(Duration grace, bool group = false);
  // After SIGKILL: waits at most the kill bound for the exit. On time-out
  // the child is logged and handed to the background reaper as above.
  boost::asio::awaitable<int> wait_after_kill();

  // Forgets the child without stopping it: it runs on after this handle
  // (and this process) are gone. While this process lives, a task on the
  // loop reaps it when it ends; after, whoever is its parent then does.
  // The handle is empty afterwards.
  void release();

  // The pipe ends the caller asked for (each can be taken once).
  std::shared_ptr<PipeReader> take_stdout();
  std::shared_ptr<PipeReader> take_stderr();
  // The standard input pipe, for a conversation with the child (can be
  // taken once; write_stdin_and_close does nothing afterwards).
  std::shared_ptr<PipeWriter> take_stdin();
  // Writes `bytes` (at most 64 KiB, what an empty pipe holds) to the
  // child's standard input without blocking, then closes it. A child that
  // is already gone simply does not get them: no SIGPIPE reaches the host.
  void write_stdin_and_close(std::string_view bytes);

 private:
  struct Impl;
  explicit Child(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// A handle on a process that is not our child, through a pidfd: a signal
// sent through it reaches that process or nothing, never a later process
// that reused its number.
class ProcessHandle {
 public:
  // Nullopt when no process has that pid (or it cannot be opened).
  static std::optional<ProcessHandle> open(pid_t pid);
  ProcessHandle(ProcessHandle&& o) noexcept;
  ProcessHandle& operator=(ProcessHandle&& o) noexcept;
  ~ProcessHandle();
  pid_t pid() const { return pid_; }
  // False when the process is gone or may not be signalled; signal 0 only
  // checks that it is still there.
  bool signal(int sig) const;
  // True once the process has ended (also while it waits, a zombie, for its
  // parent to reap it).
  bool exited() const;
  // Waits at most `d` for the process to end; true when it has.
  boost::asio::awaitable<bool> wait_for_exit(Duration d) const;

 private:
  ProcessHandle(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
  pid_t pid_ = -1;
  int fd_ = -1;
};

struct RunOptions {
  std::optional<std::string> stdin_bytes;  // absent: /dev/null; at most 64 KiB
  std::optional<Duration> timeout;         // absent: no limit
  Duration kill_grace = std::chrono::seconds(2);  // SIGTERM to SIGKILL
  // How long output pipes are still read after the child has exited (a
  // grandchild may hold them open).
  Duration drain_grace = std::chrono::seconds(2);
  std::optional<std::string> cwd;
  std::optional<Environment> env;
  // Run the program in a process group of its own, so that a time-out or a
  // cancellation ends everything it started (compilers under a build
  // tool), not only the program itself. Off for programs that must read the
  // user's terminal (sudo asking for a password).
  bool new_process_group = true;
  // At a time-out or a cancellation, end every descendant of the program,
  // also those that started a session of their own (a keeper, see
  // SpawnOptions::keep_descendants). After a normal exit, background
  // processes it started are left alone (unless they hold its output pipes
  // past `drain_grace`, which ends its process group as above).
  bool end_descendants = false;
  // Called with each piece of output as it arrives (either stream), for
  // progress displays; the result still holds all of it.
  std::function<void(std::string_view piece)> on_output;
  // See SpawnOptions::confinement.
  std::optional<Confinement> confinement;
  // Bytes kept of each stream: past it the first and last halves are kept,
  // joined by a "[... N bytes cut ...]" line, and the bytes in between only
  // counted (a command printing gigabytes must not fill the host's memory).
  std::size_t capture_limit = static_cast<std::size_t>(-1);
};

struct RunResult {
  int exit_status = 0;
  std::string out;
  std::string err;
  bool timed_out = false;
  // Bytes cut from the middle of each stream by the capture limit.
  std::uint64_t out_cut = 0;
  std::uint64_t err_cut = 0;
};

// Runs a program to completion with both output streams captured. A program
// that outlives `timeout` gets SIGTERM, `kill_grace`, then SIGKILL (its
// whole process group with `new_process_group`), and the result has
// timed_out set. Descendants still holding the output pipes `drain_grace`
// after the program exited are killed with their group. When the awaiting
// coroutine is cancelled, the group gets SIGTERM at once and SIGKILL after
// `kill_grace` from a background task, and the cancellation propagates.
// Spawn failures throw as Child::spawn does.
boost::asio::awaitable<RunResult> run(std::vector<std::string> argv, RunOptions opts = {});

// `run` on a private event loop: blocks the calling thread until the program
// has finished (or was killed after its time-out).
RunResult run_sync(std::vector<std::string> argv, RunOptions opts = {});

namespace detail {
// Fixed waits of the child handling; tests shorten them.
struct Seams {
  // How long a child that got SIGKILL is awaited before it is left to the
  // background reaper.
  Duration after_kill_wait = std::chrono::seconds(3);
  // The same bound inside the handle's destructor, which blocks the loop.
  Duration destructor_wait = std::chrono::milliseconds(200);
  // The signal used to kill: tests substitute a harmless one to stand in
  // for a child stuck in uninterruptible sleep.
  int kill_signal = 9;
};
Seams& seams();
}  // namespace detail

// Full path of `name` on PATH (regular executable file), or nullopt. With
// `accept`, the first hit it accepts.
std::optional<std::string> which(const std::string& name,
                                 const std::function<bool(const std::string& path)>& accept = {});

// The host's environment as a map.
Environment current_environment();

}  // namespace dravik::proc
