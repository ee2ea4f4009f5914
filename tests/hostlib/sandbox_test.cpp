// Shell commands in the sandbox, with the real mechanisms: bubblewrap (the
// project's script installs it) and Landlock + seccomp where the kernel has
// them. A level this machine lacks is skipped with its reason printed.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdlib>

#include "shell_tools.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/process/process.hpp"
#include "support/run.hpp"

using namespace dravik;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace asio = boost::asio;

namespace {

// A home with keys and a project inside it (a git repository with .dravik),
// and a directory beside them. Under the build tree, not /tmp: the Landlock
// level leaves /tmp writable.
struct Tree {
  fs::path root, home, project, outside;
  Tree() {
    root = fs::current_path() / ("sandbox-tree-" + std::to_string(::getpid()));
    fs::remove_all(root);
    home = root / "home";
    project = home / "proj";
    outside = root / "outside";
    for (const auto& d : {home / ".ssh", project / "src", project / ".dravik", outside}) fs::create_directories(d);
    dravik::testing::write_text(home / ".ssh/id_ed25519", "PRIVATE KEY\n");
    dravik::testing::write_text(home / ".gitconfig", "[user]\n\tname = Test\n\temail = t@example.org\n");
    dravik::testing::write_text(project / "src/a.c", "int answer(void) { return 42; }\n");
    EXPECT_EQ(std::system(("git -C '" + project.string() + "' init -q").c_str()), 0);
  }
  ~Tree() { fs::remove_all(root); }
};

struct Ran {
  bool ok;
  std::string text;
};

Ran run(hostlib::LocalShellExecutor& shell, const std::string& command) {
  asio::io_context io;
  const auto r = async::run_until_done(io, shell.run_shell(command, 60));
  return {r.ok, r.summary};
}

// A TCP listener on the host's loopback, and a process of the test's own.
struct Outside {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::uint16_t port = 0;
  asio::io_context io;
  proc::Child sleeper = [this] {
    proc::SpawnOptions o;
    o.argv = {"sleep", "600"};
    return proc::Child::spawn(io.get_executor(), o);
  }();
  Outside() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), len), 0);
    EXPECT_EQ(::listen(listener, 4), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Outside() { ::close(listener); }
};

}  // namespace

// With every command approved: writes stay in the project and out of .git
// and .dravik, the keys are not readable, the loopback listener and the
// test's own process are out of reach, secrets are not in the environment,
// a setsid daemon does not outlive its command, and git, a compiler, cmake
// and /tmp work.
TEST(Sandbox, CommandsStayInsideAndToolsStillWork) {
  const char* levels[] = {"bubblewrap", "landlock"};
  for (const std::string level : levels) {
    SCOPED_TRACE(level);
    Tree t;
    Outside out;
    auto sandbox = hostlib::Sandbox::probe(t.project, t.home, {}, level);
    if (sandbox->level() != (level == "bubblewrap" ? hostlib::SandboxLevel::bubblewrap : hostlib::SandboxLevel::landlock)) {
      std::cout << "[ SKIPPED  ] " << level << " is not available here: " << sandbox->why_not_stronger() << "\n";
      continue;
    }
    if (sandbox->describe().find("scratch directory") != std::string::npos) {
      std::cout << "[ SKIPPED  ] " << level << ": the build tree lies in /tmp, which this level leaves writable\n";
      continue;
    }
    const std::string user_home = std::getenv("HOME") ? std::getenv("HOME") : "/";
    ::setenv("HOME", t.home.c_str(), 1);
    ::setenv("DRAVIK_TEST_SECRET_TOKEN", "hunter2", 1);
    ::setenv("DRAVIK_TEST_DATABASE", "postgres://u:hunter2@db/x", 1);
    hostlib::ShellOptions so;
    so.workdir = t.project;
    so.sandbox = sandbox;
    hostlib::LocalShellExecutor shell(so);
    const std::string key = (t.home / ".ssh/id_ed25519").string();
    const std::string marker = "sleep 317.25";
    struct Case {
      std::string command;
      bool ok;
    };
    const Case cases[] = {
        {"echo made > src/made.txt && cat src/made.txt", true},
        {"echo x > '" + (t.outside / "f").string() + "'", false},
        {"echo x >> .git/config", false},
        {"touch .git/hooks/post-checkout", false},
        {"touch .dravik/planted", false},
        {"cat '" + key + "'", false},
        {"cat ~/.gitconfig", true},
        {"python3 -c \"import socket; socket.create_connection(('127.0.0.1', " + std::to_string(out.port) +
             "), timeout=5)\"",
         false},
        {"test -z \"$DRAVIK_TEST_SECRET_TOKEN$DRAVIK_TEST_DATABASE\"", true},
        {"git status --short", true},
        {"cc -c src/a.c -o src/a.o", true},
        {"cmake --version", true},
        {"echo scratch > /tmp/dravik-sandbox-test && cat /tmp/dravik-sandbox-test && rm /tmp/dravik-sandbox-test", true},
    };
    for (const auto& c : cases) {
      const Ran r = run(shell, c.command);
      EXPECT_EQ(r.ok, c.ok) << c.command << "\n" << r.text;
      // Refused by the sandbox, not failed for another reason.
      if (!c.ok) {
        // (Connection refused: the loopback of the command's own network.)
        EXPECT_TRUE(hostlib::Sandbox::looks_refused(r.text) || r.text.find("No such file") != std::string::npos ||
                    r.text.find("Connection refused") != std::string::npos)
            << c.command << "\n" << r.text;
      }
      if (!c.ok && c.command.find(".git/config") != std::string::npos) {
        EXPECT_NE(r.text.find("outside_sandbox"), std::string::npos) << r.text;
      }
    }
    EXPECT_EQ(dravik::testing::read_text(t.project / "src/made.txt"), "made\n");
    EXPECT_FALSE(fs::exists(t.outside / "f"));
    EXPECT_FALSE(fs::exists(t.project / ".dravik/planted"));
    // Signals: refused by the PID namespace, or by Landlock's scope (ABI 6).
    if (level == "bubblewrap" || hostlib::landlock_abi() >= 6) {
      EXPECT_FALSE(run(shell, "kill " + std::to_string(out.sleeper.pid())).ok);
      EXPECT_FALSE(out.sleeper.poll());
    }
    // A daemon of its own session dies with the command's PID namespace.
    if (level == "bubblewrap") {
      EXPECT_TRUE(run(shell, "setsid " + marker + " >/dev/null 2>&1 < /dev/null &").ok);
      bool left = false;
      for (const auto& p : fs::directory_iterator("/proc"))
        if (dravik::testing::read_text(p.path() / "cmdline") == std::string("sleep\0" "317.25\0", 13)) left = true;
      EXPECT_FALSE(left);
    }
    // What the user agreed to at a terminal runs outside, once.
    const std::string outside_write = "echo x > '" + (t.outside / "agreed").string() + "'";
    sandbox->allow_outside_once(outside_write);
    EXPECT_TRUE(run(shell, outside_write).ok);
    EXPECT_FALSE(run(shell, outside_write).ok);
    out.sleeper.signal(SIGKILL);
    ::unsetenv("DRAVIK_TEST_SECRET_TOKEN");
    ::unsetenv("DRAVIK_TEST_DATABASE");
    ::setenv("HOME", user_home.c_str(), 1);
  }
}

// What a sandbox cannot protect is not run in one: a project holding the
// home, or (bubblewrap) a .git that is a link a mount would follow.
TEST(Sandbox, WhatCannotBeProtectedIsRefused) {
  Tree t;
  EXPECT_EQ(hostlib::Sandbox::probe(t.home, t.home, {})->level(), hostlib::SandboxLevel::none);
  EXPECT_EQ(hostlib::Sandbox::probe(t.root, t.home, {})->level(), hostlib::SandboxLevel::none);
  auto sandbox = hostlib::Sandbox::probe(t.project, t.home, {}, "bubblewrap");
  if (sandbox->level() != hostlib::SandboxLevel::bubblewrap) GTEST_SKIP() << sandbox->why_not_stronger();
  fs::remove_all(t.project / ".git");
  fs::create_directory_symlink("..", t.project / ".git");
  hostlib::ShellOptions so;
  so.workdir = t.project;
  so.sandbox = sandbox;
  hostlib::LocalShellExecutor shell(so);
  const Ran r = run(shell, "cat ../.ssh/id_ed25519 .git/.ssh/id_ed25519");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.text.find("is a symbolic link"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("PRIVATE KEY"), std::string::npos) << r.text;
}

// Without bwrap on PATH the next level is chosen; "none" says what to install.
TEST(Sandbox, TheLevelFallsBackWhenAMechanismIsMissing) {
  Tree t;
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", "/nonexistent", 1);
  auto sandbox = hostlib::Sandbox::probe(t.project, t.home, {});
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_NE(sandbox->level(), hostlib::SandboxLevel::bubblewrap);
  EXPECT_NE(sandbox->why_not_stronger().find("bwrap not found on PATH"), std::string::npos);
  if (hostlib::landlock_abi() > 0) {
    EXPECT_EQ(sandbox->level(), hostlib::SandboxLevel::landlock);
  }
  auto none = hostlib::Sandbox::probe(t.project, t.home, {}, "none");
  EXPECT_EQ(none->level(), hostlib::SandboxLevel::none);
  EXPECT_NE(none->describe().find("apt install bubblewrap"), std::string::npos);
}
