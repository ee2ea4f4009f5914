// The shell executor and the file tools on real processes and real files.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "dravik_host.hpp"
#include "file_change.hpp"
#include "fakes/processes.hpp"
#include "fakes/test_http_server.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/process/process.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;

namespace {

class Shell : public ::testing::Test {
 protected:
  asio::io_context io;
  fs::path dir;
  std::unique_ptr<hostlib::LocalShellExecutor> sh;

  void SetUp() override {
    char tmpl[] = "/tmp/dravik-shell-XXXXXX";
    dir = fs::path(::mkdtemp(tmpl)) / "project";
    fs::create_directories(dir);
    hostlib::ShellOptions o;
    o.workdir = dir;
    o.output_cap = 4096;
    o.kill_grace = 200ms;
    sh = std::make_unique<hostlib::LocalShellExecutor>(o);
  }
  void TearDown() override { fs::remove_all(dir.parent_path()); }
  host::ExecResult run(const std::string& cmd, std::int64_t timeout = 10) {
    return run_until_done(io, sh->run_shell(cmd, timeout));
  }
  host::EditFileResult edit(const std::string& path, host::EditFileRequest r) { return sh->edit_file_now(path, r); }
  static host::EditFileRequest replace(std::string a, std::string b, bool all = false) {
    host::EditFileRequest r;
    r.old_string = std::move(a);
    r.new_string = std::move(b);
    r.replace_all = all;
    return r;
  }
};

}  // namespace

TEST_F(Shell, CommandsRunInTheWorkingDirectoryAndReportTheirOutcome) {
  auto r = run("pwd; echo oops >&2; exit 3");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.stdout_text, dir.string() + "\n");
  EXPECT_EQ(r.stderr_text, "oops\n");
  EXPECT_NE(r.summary.find("Exit code 3."), std::string::npos);
  EXPECT_TRUE(run("read x; echo got:$x").stdout_text == "got:\n");  // stdin is /dev/null
}

TEST_F(Shell, ATimeOutStopsTheWholeGroupEvenIfItIgnoresSigterm) {
  auto r = run("trap '' TERM; (sleep 30 &); sleep 30", 1);
  EXPECT_TRUE(r.timed_out);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.exit_code);
  EXPECT_NE(r.summary.find("Timed out after 1 s"), std::string::npos);
  // A grandchild holding the pipes does not hang a finished command either.
  auto g = run("(sleep 30 &); echo done");
  EXPECT_EQ(g.stdout_text, "done\n");
}

TEST_F(Shell, MegabytesOfOutputKeepTheirHeadAndTail) {
  auto r = run("echo FIRST; head -c 3000000 /dev/zero | tr '\\0' x; echo; echo LAST");
  EXPECT_LT(r.stdout_text.size(), 5000u);
  EXPECT_EQ(r.stdout_text.rfind("FIRST", 0), 0u);
  EXPECT_NE(r.stdout_text.find("LAST"), std::string::npos);
  EXPECT_NE(r.stdout_text.find("bytes cut ...]"), std::string::npos);
  EXPECT_NE(r.summary.find("are not shown"), std::string::npos);
}

TEST_F(Shell, ReadingFilesAndTheFailuresAModelCanActOn) {
  write_text(dir / "a.txt", "one\ntwo\n");
  EXPECT_EQ(sh->read_file_now("a.txt"), "     1\tone\n     2\ttwo\n");
  EXPECT_EQ(sh->read_file_now("missing.txt"), "Error: missing.txt does not exist");
  write_text(dir / "bin.dat", std::string("ab\0cd", 5));
  EXPECT_EQ(sh->read_file_now("bin.dat"), "Error: bin.dat is a binary file");
  write_text(dir / "latin1.txt", "caf\xe9\n");
  EXPECT_EQ(sh->read_file_now("latin1.txt"), "Error: latin1.txt is not UTF-8 text");
  write_text(dir.parent_path() / "secret.txt", "s3cret");
  EXPECT_NE(sh->read_file_now("../secret.txt").find("outside the working directory"), std::string::npos);
  EXPECT_NE(sh->read_file_now((dir.parent_path() / "secret.txt").string()).find("outside"), std::string::npos);
  fs::create_symlink(dir.parent_path() / "secret.txt", dir / "link.txt");
  EXPECT_NE(sh->read_file_now("link.txt").find("outside"), std::string::npos);
  write_text(dir / "big.txt", std::string(300 * 1024, 'y'));
  EXPECT_NE(sh->read_file_now("big.txt").find("use grep or load_file for the rest"), std::string::npos);
}

TEST_F(Shell, WritingIsAtomicCreatesParentsAndKeepsTheMode) {
  EXPECT_EQ(sh->write_file_now("deep/er/new.txt", "hello"), "Wrote 5 bytes to deep/er/new.txt");
  EXPECT_EQ(read_text(dir / "deep/er/new.txt"), "hello");
  write_text(dir / "run.sh", "#!/bin/sh\n");
  ::chmod((dir / "run.sh").c_str(), 0755);
  sh->write_file_now("run.sh", "#!/bin/sh\necho hi\n");
  struct stat sb{};
  ::stat((dir / "run.sh").c_str(), &sb);
  EXPECT_EQ(sb.st_mode & 0777, 0755u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);  // no temporary left
  EXPECT_NE(sh->write_file_now("../escape.txt", "x").find("outside"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.parent_path() / "escape.txt"));
}

TEST_F(Shell, EditingReplacesExactlyOnceOrAppliesAPatchOrChangesNothing) {
  write_text(dir / "m.cpp", "int a = 1;\nint b = 1;\nint c = 2;\n");
  auto r = edit("m.cpp", replace("= 1;", "= 5;"));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.output.find("matches 2 places"), std::string::npos);
  EXPECT_EQ(read_text(dir / "m.cpp"), "int a = 1;\nint b = 1;\nint c = 2;\n");
  r = edit("m.cpp", replace("int b = 1;", "int b = 7;"));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.replacements, 1);
  EXPECT_EQ(r.match_strategy, "exact");
  r = edit("m.cpp", replace("int", "long", true));
  EXPECT_EQ(r.replacements, 3);
  EXPECT_EQ(read_text(dir / "m.cpp"), "long a = 1;\nlong b = 7;\nlong c = 2;\n");
  EXPECT_FALSE(edit("m.cpp", replace("nowhere", "x")).ok);

  host::EditFileRequest patch;
  patch.patch = "--- a/m.cpp\n+++ b/m.cpp\n@@ -2,2 +2,3 @@\n long b = 7;\n-long c = 2;\n+long c = 3;\n+long d = 4;\n";
  r = edit("m.cpp", patch);
  EXPECT_TRUE(r.ok) << r.output;
  EXPECT_EQ(r.match_strategy, "patch");
  EXPECT_EQ(read_text(dir / "m.cpp"), "long a = 1;\nlong b = 7;\nlong c = 3;\nlong d = 4;\n");
  patch.patch = "@@ -1,2 +1,2 @@\n long a = 1;\n-long b = 99;\n+long b = 0;\n";
  r = edit("m.cpp", patch);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.validation_error.get<std::string>().find("does not match"), std::string::npos);
  EXPECT_EQ(read_text(dir / "m.cpp"), "long a = 1;\nlong b = 7;\nlong c = 3;\nlong d = 4;\n");
}

// A change computed before it is shown, then written as computed: each way
// it can end is a typed outcome beside the text the model reads.
TEST_F(Shell, AComputedChangeEndsInATypedOutcomeAndTheToolsText) {
  struct Case {
    const char* what;
    std::function<hostlib::ChangeOutcome()> run;
    bool ok;
    ErrorKind kind;  // when not ok
    std::string reason, text;
  };
  write_text(dir / "m.txt", "one\ntwo\n");
  fs::create_directories(dir / "d");
  auto compute_and_apply = [&](Result<hostlib::FileChange> c, const std::string& path, bool edit) {
    return c ? hostlib::apply_change(dir, *c) : hostlib::refused_change(path, edit, c.error());
  };
  const Case cases[] = {
      {"a new file", [&] { return compute_and_apply(hostlib::compute_write_file(dir, "n/new.txt", "new"), "n/new.txt", false); },
       true, {}, "", "Wrote 3 bytes to n/new.txt"},
      {"an edit that applies",
       [&] { return compute_and_apply(hostlib::compute_edit_file(dir, "m.txt", replace("two", "2")), "m.txt", true); },
       true, {}, "", "Replaced 1 occurrence(s) in m.txt"},
      {"an edit that does not apply",
       [&] { return compute_and_apply(hostlib::compute_edit_file(dir, "m.txt", replace("three", "3")), "m.txt", true); },
       false, ErrorKind::invalid, "old_string was not found", "Error: old_string was not found; m.txt was not changed"},
      {"a write onto a directory", [&] { return compute_and_apply(hostlib::compute_write_file(dir, "d", "x"), "d", false); },
       false, ErrorKind::is_directory, "d is a directory", "Error: d is a directory"},
      {"an edit of a missing file",
       [&] { return compute_and_apply(hostlib::compute_edit_file(dir, "gone.txt", replace("a", "b")), "gone.txt", true); },
       false, ErrorKind::not_found, "gone.txt does not exist", "Error: gone.txt does not exist; gone.txt was not changed"},
      {"a file changed after the change was computed",
       [&] {
         const auto c = hostlib::compute_write_file(dir, "m.txt", "mine\n");
         write_text(dir / "m.txt", "theirs\n");
         return hostlib::apply_change(dir, *c);
       },
       false, ErrorKind::changed, "the file changed after the change was computed",
       "Error: m.txt changed after the change was shown (by another program?); it was not written"},
      {"a write the caller vetoes",
       [&] {
         const auto c = hostlib::compute_write_file(dir, "v.txt", "x");
         return hostlib::apply_change(dir, *c, [](const std::string& rel) -> Result<> {
           return Failure{ErrorKind::refused, "no undo for " + rel};
         });
       },
       false, ErrorKind::refused, "cannot write the file: no undo for v.txt", "Error: cannot write v.txt: no undo for v.txt"},
  };
  for (const Case& c : cases) {
    const hostlib::ChangeOutcome o = c.run();
    EXPECT_EQ(o.ok(), c.ok) << c.what;
    EXPECT_EQ(o.text, c.text) << c.what;
    if (!c.ok && !o.ok()) {
      EXPECT_EQ(o.result.error(), (Failure{c.kind, c.reason})) << c.what;
    }
  }
  EXPECT_EQ(read_text(dir / "m.txt"), "theirs\n");  // not overwritten
  EXPECT_FALSE(fs::exists(dir / "v.txt"));

  // Confined reads and writes: a missing file is no failure, a changed one is.
  const auto missing = hostlib::read_confined(dir, "none.txt", 1 << 20);
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing->exists);
  const std::optional<std::string> expect = "mine\n";
  hostlib::WriteBeneath o;
  o.expect = &expect;
  const auto w = hostlib::write_confined(dir, "m.txt", "x", o);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error(), (Failure{ErrorKind::changed, "m.txt changed since"}));
  EXPECT_EQ(hostlib::read_confined(dir, "../outside", 10).error().kind, ErrorKind::refused);
}

TEST(Patch, HunksFoundAwayFromTheirStatedLine) {
  const std::string text = "a\nb\nc\nd\ne\n";
  auto r = hostlib::apply_patch(text, "@@ -2,2 +2,2 @@\n d\n-e\n+E\n");
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->text, "a\nb\nc\nd\nE\n");
  // A stated line past the end of the file is a mistake, not a hint.
  r = hostlib::apply_patch(text, "@@ -10,2 +10,2 @@\n d\n-e\n+E\n");
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message.find("past the end of the file (5 lines)"), std::string::npos) << r.error().message;
  EXPECT_FALSE(hostlib::apply_patch(text, "no hunks here").ok());
}

TEST_F(Shell, GlobGrepAndListStayBoundedSortedAndOutOfGit) {
  write_text(dir / "src/b.cpp", "int main() { return 0; }\n");
  write_text(dir / "src/a.cpp", "// TODO: fix\nint x;\n");
  write_text(dir / "src/deep/c.hpp", "#pragma once\n// todo later\n");
  write_text(dir / ".git/objects/x.cpp", "TODO in git\n");
  write_text(dir / "blob.bin", std::string("TODO\0\0", 6));
  EXPECT_EQ(sh->glob_now("src/**/*.cpp", nullptr), "src/a.cpp\nsrc/b.cpp\n");
  EXPECT_EQ(sh->glob_now("*.hpp", nullptr), "src/deep/c.hpp\n");
  EXPECT_EQ(sh->glob_now("**/*.cpp", "src"), "src/a.cpp\nsrc/b.cpp\n");
  EXPECT_EQ(sh->glob_now("*.rs", nullptr), "No files match '*.rs'");
  EXPECT_NE(sh->glob_now("*", "/etc").find("outside"), std::string::npos);

  const std::string todo = sh->grep_now("TODO", nullptr, nullptr, false);
  EXPECT_EQ(todo, "src/a.cpp:1: // TODO: fix\n");
  const std::string folded = sh->grep_now("t[o]do", nullptr, "*.hpp", true);
  EXPECT_EQ(folded, "src/deep/c.hpp:2: // todo later\n");
  EXPECT_NE(sh->grep_now("(", nullptr, nullptr, false).find("Error: invalid regular expression"), std::string::npos);

  EXPECT_EQ(sh->list_now(nullptr), ".git/\nblob.bin\nsrc/\n");
  EXPECT_EQ(sh->list_now("src"), "a.cpp\nb.cpp\ndeep/\n");
  EXPECT_EQ(sh->list_now("nope"), "Error: nope does not exist");
}

TEST_F(Shell, LoadFileKeepsToItsTokenBudget) {
  write_text(dir / "long.txt", std::string(40000, 'z'));
  auto r = sh->load_now("long.txt", 1000);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.token_budget, 1000);
  EXPECT_EQ(r.estimated_tokens, 10000);
  EXPECT_EQ(r.content.get<std::string>().size(), 4000u);
  EXPECT_FALSE(sh->load_now("missing", std::nullopt).ok);
}

// ------------------------------------ the shell tool: offline and contained

namespace {

// Sets an environment variable for one scope.
struct ScopedEnv {
  std::string name;
  std::optional<std::string> old;
  ScopedEnv(std::string n, const std::string& value) : name(std::move(n)) {
    if (const char* v = std::getenv(name.c_str())) old = v;
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old) ::setenv(name.c_str(), old->c_str(), 1);
    else ::unsetenv(name.c_str());
  }
};

std::string env_of(asio::io_context& io, bool airgapped) {
  hostlib::ServiceOptions so;
  so.workdir = fs::temp_directory_path();
  so.airgapped = airgapped;
  hostlib::install_services(io.get_executor(), so);
  auto r = run_until_done(io, host::shell_executor().run_shell("env", 10));
  host::install_host_services({});
  return "\n" + r.stdout_text;
}

}  // namespace

TEST(ShellContainment, AirGappedCommandsGetTheOfflineEnvironmentOfLlamaServer) {
  asio::io_context io;
  ScopedEnv proxy("HTTPS_PROXY", "http://proxy.example:3128");
  ScopedEnv lower("all_proxy", "socks5://proxy.example:1080");
  const std::string offline = env_of(io, true);
  EXPECT_EQ(offline.find("\nHTTPS_PROXY="), std::string::npos) << offline;
  EXPECT_EQ(offline.find("\nall_proxy="), std::string::npos) << offline;
  EXPECT_NE(offline.find("\nHF_HUB_OFFLINE=1\n"), std::string::npos) << offline;
  EXPECT_NE(offline.find("\nPATH="), std::string::npos);
  // The very variables the isolation policy gives llama-server.
  const host::Environment host_env = proc::current_environment();
  host::Environment expected = host_env;
  hostlib::LoopbackIsolationPolicy(true).apply_airgap_env(expected, true);
  for (const auto& [k, v] : expected) {
    if (host_env.count(k) && host_env.at(k) == v) continue;
    EXPECT_NE(offline.find("\n" + k + "=" + v + "\n"), std::string::npos) << k;
  }
  for (const auto& [k, v] : host_env) {
    if (!expected.count(k)) {
      EXPECT_EQ(offline.find("\n" + k + "="), std::string::npos) << k;
    }
  }
  // Outside air-gapped mode commands get the host's environment.
  const std::string open = env_of(io, false);
  EXPECT_NE(open.find("\nHTTPS_PROXY=http://proxy.example:3128\n"), std::string::npos);
  EXPECT_EQ(open.find("\nHF_HUB_OFFLINE="), std::string::npos);
}

TEST_F(Shell, ATimeOutEndsDescendantsThatStartedASessionOfTheirOwn) {
  auto r = run("setsid sh -c 'trap \"\" TERM; echo $$ > escaped.tmp; mv escaped.tmp escaped; exec sleep 120' "
               "> /dev/null 2>&1 &\n"
               "while [ ! -s escaped ]; do sleep 0.02; done; sleep 120",
               5);
  EXPECT_TRUE(r.timed_out);
  const std::string text = read_text(dir / "escaped");
  ASSERT_FALSE(text.empty());
  const pid_t escaped = static_cast<pid_t>(std::stol(text));
  const bool gone = eventually_gone(escaped);
  EXPECT_TRUE(gone) << "pid " << escaped << " survived the time-out";
  if (!gone) ::kill(escaped, SIGKILL);
  // After a normal exit a background job started on purpose keeps running.
  auto kept = run("setsid sleep 120 > /dev/null 2>&1 & echo $!");
  const pid_t pid = static_cast<pid_t>(std::stol(kept.stdout_text));
  EXPECT_EQ(::kill(pid, 0), 0);
  ::kill(pid, SIGKILL);
}
