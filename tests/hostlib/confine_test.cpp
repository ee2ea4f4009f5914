// The file tools confined to the working directory against paths and links a
// hostile model or a cloned repository chooses: links out, "missing/..",
// a directory swapped for a link while the tools run, FIFOs and sockets,
// hard links, owners, long names, procfs files.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include <gtest/gtest.h>

#include "dravik_host.hpp"
#include "resolver.hpp"
#include "sidecar/sidecar_env.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

namespace {

class Confine : public ::testing::Test {
 protected:
  fs::path top, dir, outside;
  std::unique_ptr<hostlib::LocalShellExecutor> sh;

  void SetUp() override {
    char tmpl[] = "/tmp/dravik-confine-XXXXXX";
    top = ::mkdtemp(tmpl);
    dir = top / "project";
    outside = top / "outside";
    fs::create_directories(dir);
    write_text(outside / "secret.txt", "s3cret\n");
    hostlib::ShellOptions o;
    o.workdir = dir;
    sh = std::make_unique<hostlib::LocalShellExecutor>(o);
  }
  void TearDown() override {
    hostlib::detail::use_openat2(true);
    fs::remove_all(top);
  }
  host::EditFileResult edit(const std::string& path, std::string a, std::string b) {
    host::EditFileRequest r;
    r.old_string = std::move(a);
    r.new_string = std::move(b);
    return sh->edit_file_now(path, r);
  }
  // Every entry under `outside`, with its content: what must never change.
  std::string outside_state() const {
    std::string s;
    for (const auto& e : fs::recursive_directory_iterator(outside))
      s += e.path().string() + (e.is_regular_file() ? "=" + read_text(e.path()) : "") + "\n";
    return s;
  }
};

// Runs `body` in a child process and returns what it returned, or nullopt
// when it did not finish within `bound` (the child is then killed).
std::optional<std::string> run_bounded(const std::function<std::string()>& body, std::chrono::seconds bound) {
  int p[2];
  if (::pipe(p) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    const std::string out = body();
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::write(p[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(p[1]);
  std::string out;
  bool finished = false;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{p[0], POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(p[0], buf, sizeof buf);
    if (n <= 0) {
      finished = true;
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(p[0]);
  if (!finished) ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  if (!finished) return std::nullopt;
  return out;
}

bool starts_with_error(const std::string& s) { return s.rfind("Error: ", 0) == 0; }

}  // namespace

TEST_F(Confine, NoToolReachesThroughALinkOutWhateverThePathAndLinksInsideWork) {
  fs::create_directory_symlink("../outside", dir / "out");
  fs::create_symlink("../outside/secret.txt", dir / "notes.txt");
  write_text(dir / "src/a.txt", "alpha\n");
  fs::create_directory_symlink("src", dir / "in");
  fs::create_symlink("src/a.txt", dir / "alias.txt");
  fs::create_directory_symlink(dir / "src", dir / "abs");  // absolute, and inside
  const std::string before = outside_state();
  for (const bool openat2 : {true, false}) {
    SCOPED_TRACE(openat2 ? "openat2" : "component walk");
    hostlib::detail::use_openat2(openat2);
    for (const std::string& path : std::vector<std::string>{"out/secret.txt", "nope/../out/secret.txt", "src/../out/secret.txt", "notes.txt",
                                   "in/../../outside/secret.txt", (outside / "secret.txt").string()}) {
      SCOPED_TRACE(path);
      EXPECT_TRUE(starts_with_error(sh->read_file_now(path)));
      EXPECT_FALSE(sh->load_now(path, std::nullopt).ok);
      EXPECT_FALSE(edit(path, "s3cret", "changed").ok);
      EXPECT_TRUE(starts_with_error(sh->write_file_now(path, "changed")));
      EXPECT_EQ(sh->grep_now("s3cret", path, nullptr, false).find("s3cret\n"), std::string::npos);
      const std::string parent = path.substr(0, path.rfind('/') + 1) + ".";
      EXPECT_TRUE(starts_with_error(sh->list_now(parent)) || sh->list_now(parent).find("secret") == std::string::npos);
      EXPECT_EQ(sh->glob_now("*", parent).find("secret"), std::string::npos);
    }
    EXPECT_EQ(sh->grep_now(".", nullptr, nullptr, false).find("s3cret"), std::string::npos);
    EXPECT_EQ(sh->glob_now("**", nullptr).find("secret"), std::string::npos);
    EXPECT_EQ(sh->list_now(nullptr), "abs@\nalias.txt@\nin@\nnotes.txt@\nout@\nsrc/\n");

    // Links that stay inside keep working, and report where they lead.
    EXPECT_EQ(sh->read_file_now("in/a.txt"), "     1\talpha\n");
    EXPECT_EQ(sh->read_file_now("abs/a.txt"), "     1\talpha\n");
    EXPECT_EQ(sh->read_file_now((dir / "in/../alias.txt").string()), "     1\talpha\n");
    EXPECT_EQ(sh->list_now("in"), "a.txt\n");
    EXPECT_EQ(sh->glob_now("*.txt", "in"), "src/a.txt\n");
    EXPECT_EQ(sh->grep_now("alpha", "abs", nullptr, false), "src/a.txt:1: alpha\n");
    EXPECT_EQ(sh->write_file_now("alias.txt", "beta\n"), "Wrote 5 bytes to alias.txt");
    EXPECT_TRUE(edit("in/a.txt", "beta", "alpha").ok);
    EXPECT_EQ(read_text(dir / "src/a.txt"), "alpha\n");
    EXPECT_TRUE(fs::is_symlink(dir / "alias.txt"));
  }
  EXPECT_EQ(outside_state(), before);
}

TEST_F(Confine, SwappingADirectoryForALinkOutNeverReadsOrWritesOutside) {
  // project/d is, in turn, a real directory and a link to ../outside: a
  // second process exchanges the two names as fast as it can while the
  // tools read and write through d.
  write_text(dir / "d/secret.txt", "inside\n");
  fs::create_directory_symlink("../outside", dir / "swap");
  const std::string before = outside_state();
  const pid_t swapper = ::fork();
  if (swapper == 0) {
    for (int i = 0; i < 5'000'000; ++i)
      ::renameat2(AT_FDCWD, (dir / "d").c_str(), AT_FDCWD, (dir / "swap").c_str(), RENAME_EXCHANGE);
    ::_exit(0);
  }
  int outside_reads = 0, inside_reads = 0;
  for (const bool openat2 : {true, false}) {
    hostlib::detail::use_openat2(openat2);
    for (int i = 0; i < 10000; ++i) {
      const std::string r = sh->read_file_now("d/secret.txt");
      outside_reads += r.find("s3cret") != std::string::npos;
      inside_reads += r.find("inside") != std::string::npos;
    }
    for (int i = 0; i < 1000; ++i) {
      sh->write_file_now("d/secret.txt", "inside\n");
      edit("d/secret.txt", "inside", "inside");
    }
  }
  ::kill(swapper, SIGKILL);
  ::waitpid(swapper, nullptr, 0);
  EXPECT_EQ(outside_reads, 0);
  EXPECT_GT(inside_reads, 0);
  EXPECT_EQ(outside_state(), before);
}

TEST_F(Confine, FifosAndSocketsAreRefusedAtOnceAndProcfsFilesReadToTheirEnd) {
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (dir / "sock").c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  write_text(dir / "plain.txt", "needle\n");
  // A tool blocking in open() would hang the child, never the test.
  const auto out = run_bounded(
      [&] {
        std::string s;
        for (const std::string path : {"pipe", "sock"}) {
          s += sh->read_file_now(path) + "\n";
          s += sh->load_now(path, std::nullopt).detail + "\n";
          s += edit(path, "a", "b").output + "\n";
          s += sh->write_file_now(path, "x") + "\n";
          s += sh->grep_now("needle", path, nullptr, false) + "\n";
        }
        return s + sh->grep_now("needle", nullptr, nullptr, false);
      },
      60s);
  ::close(sock);
  ASSERT_TRUE(out) << "a file tool blocked";
  EXPECT_EQ(*out,
            "Error: pipe is a FIFO (named pipe), not a regular file\n"
            "Error: pipe is a FIFO (named pipe), not a regular file\n"
            "Error: pipe is a FIFO (named pipe), not a regular file; pipe was not changed\n"
            "Error: cannot write pipe: it is a FIFO (named pipe), not a regular file\n"
            "Error: pipe is a FIFO (named pipe), not a regular file\n"
            "Error: sock is a socket, not a regular file\n"
            "Error: sock is a socket, not a regular file\n"
            "Error: sock is a socket, not a regular file; sock was not changed\n"
            "Error: cannot write sock: it is a socket, not a regular file\n"
            "Error: sock is a socket, not a regular file\n"
            "plain.txt:1: needle\n");

  // procfs says 0 bytes; the file is read to its end all the same.
  hostlib::ShellOptions o;
  o.workdir = "/proc/self";
  hostlib::LocalShellExecutor proc(o);
  EXPECT_NE(proc.read_file_now("status").find("Name:"), std::string::npos);
  EXPECT_NE(proc.load_now("status", std::nullopt).content.get<std::string>().find("Name:"), std::string::npos);
}

TEST_F(Confine, WritesKeepOwnerModeAndHardLinksAndTakeLongNames) {
  write_text(dir / "owned.txt", "one\n");
  ::chmod((dir / "owned.txt").c_str(), 0640);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((dir / "owned.txt").c_str(), 12345, 12345), 0);
  }
  EXPECT_EQ(sh->write_file_now("owned.txt", "two\n"), "Wrote 4 bytes to owned.txt");
  EXPECT_TRUE(edit("owned.txt", "two", "three").ok);
  struct stat st{};
  ASSERT_EQ(::stat((dir / "owned.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 12345u);
    EXPECT_EQ(st.st_gid, 12345u);
  }
  EXPECT_EQ(read_text(dir / "owned.txt"), "three\n");

  // Both names of a hard-linked file see every change.
  write_text(dir / "first.txt", "one\n");
  fs::create_hard_link(dir / "first.txt", dir / "second.txt");
  EXPECT_EQ(sh->write_file_now("first.txt", "two\n"), "Wrote 4 bytes to first.txt");
  EXPECT_TRUE(edit("second.txt", "two", "three").ok);
  EXPECT_EQ(read_text(dir / "first.txt"), "three\n");
  EXPECT_EQ(read_text(dir / "second.txt"), "three\n");
  EXPECT_EQ(fs::hard_link_count(dir / "first.txt"), 2u);

  // A name at the file system's limit: the temporary stays short.
  const std::string longest(255, 'n');
  EXPECT_EQ(sh->write_file_now(longest, "x\n"), "Wrote 2 bytes to " + longest);
  EXPECT_TRUE(edit(longest, "x", "y").ok);
  EXPECT_EQ(read_text(dir / longest), "y\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);  // no temporary left
}

TEST_F(Confine, AListingCutAtTheWalkCapSaysItsCountIsALowerBound) {
  for (int i = 0; i < 120; ++i) write_text(dir / "many" / ("f" + std::to_string(1000 + i)), "");
  hostlib::ShellOptions o;
  o.workdir = dir;
  o.list_cap = 10;
  o.walk_cap = 50;
  hostlib::LocalShellExecutor capped(o);
  const std::string out = capped.list_now("many");
  EXPECT_NE(out.find("(at least 40 more not shown: counting stopped after 50 entries)"), std::string::npos) << out;
  o.walk_cap = 1000;
  EXPECT_NE(hostlib::LocalShellExecutor(o).list_now("many").find("\n(110 more not shown)\n"), std::string::npos);
}

// Every cap that stops a grep says so and where, also when nothing matched.
TEST_F(Confine, AGrepStoppedByACapSaysWhereItStopped) {
  for (int i = 0; i < 20; ++i) write_text(dir / "logs" / ("f" + std::to_string(10 + i)), "nothing here\n");
  write_text(dir / "big.bin", std::string((4 << 20) + 1, 'x'));
  struct Case {
    std::size_t walk_cap;
    std::uint64_t read_cap;
    std::vector<std::string> said;
  };
  const std::vector<Case> cases = {
      {100000, 512ull << 20, {"No matches for 'needle' in the part searched", "1 file over 4 MiB not searched: big.bin"}},
      {100000, 100, {"in the part searched", "(stopped after reading 100 bytes, before logs/f"}},
      {5, 512ull << 20, {"in the part searched", "(stopped after 5 entries, before "}},
  };
  for (const auto& c : cases) {
    hostlib::ShellOptions o;
    o.workdir = dir;
    o.walk_cap = c.walk_cap;
    o.grep_read_cap = c.read_cap;
    const std::string out = hostlib::LocalShellExecutor(o).grep_now("needle", nullptr, nullptr, false);
    for (const auto& s : c.said) EXPECT_NE(out.find(s), std::string::npos) << s << " in " << out;
  }
  fs::remove(dir / "big.bin");
  EXPECT_EQ(sh->grep_now("needle", nullptr, nullptr, false), "No matches for 'needle'");
}
