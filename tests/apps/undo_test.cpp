// write_file and edit_file shown as a diff before approval and written as
// shown, and /undo: the real dravik against the fake llama-server, on pipes
// and in a pseudo-terminal.
#include <sys/stat.h>

#include <sstream>

#include <gtest/gtest.h>

#include "apps/chat_fixture.hpp"
#include "apps/terminal.hpp"
#include "text_tools.hpp"

using namespace dravik;
using namespace dravik::testing;

namespace {

mode_t mode_of(const fs::path& p) {
  struct stat st{};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

std::vector<Json> events(const std::string& out) {
  std::vector<Json> v;
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) v.push_back(Json::parse(l));
  return v;
}

}  // namespace

TEST_F(Chat, AnEditIsShownAsADiffWrittenAsShownAndUndone) {
  write_text(work / "a.txt", "one\ntwo\nthree\n");
  write_text(work / "c.txt", "c1\n");
  fs::permissions(work / "a.txt", static_cast<fs::perms>(0640));
  write_text(script, R"([
    {"tool_calls": [{"name": "edit_file", "arguments": {"path": "a.txt", "old_string": "two", "new_string": "TWO \u001b[31mred"}},
                    {"name": "write_file", "arguments": {"path": "sub/new.txt", "content": "fresh\n"}},
                    {"name": "write_file", "arguments": {"path": "c.txt", "content": "c2\n"}},
                    {"name": "shell", "arguments": {"command": "echo \u001b[2J hi"}}]},
    {"content": "Edited."},
    {"content": "Noted."}])");
  Terminal t(dravik, work, env());  // colour on
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("change it\r");
  ASSERT_TRUE(t.read_until("Allow edit_file")) << t.screen;
  // The diff came first: the removed and added lines, the model's escape
  // sequence shown as text.
  EXPECT_NE(t.screen.find("@@ -1,3 +1,3 @@"), std::string::npos) << t.screen;
  EXPECT_NE(t.screen.find("-two"), std::string::npos) << t.screen;
  EXPECT_NE(t.screen.find("+TWO \\x1b[31mred"), std::string::npos) << t.screen;
  t.type("y\r");
  ASSERT_TRUE(t.read_until("Allow write_file")) << t.screen;
  EXPECT_NE(t.screen.find("+fresh"), std::string::npos) << t.screen;
  t.type("y\r");
  // Changed by someone else while the user decides: not written.
  ASSERT_TRUE(t.read_until("Allow write_file")) << t.screen;
  write_text(work / "c.txt", "c by hand\n");
  t.type("y\r");
  ASSERT_TRUE(t.read_until("Allow shell")) << t.screen;
  t.type("y\r");
  ASSERT_TRUE(t.read_until("Edited.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  EXPECT_EQ(t.screen.find("\x1b[31m"), std::string::npos);
  EXPECT_EQ(t.screen.find("\x1b[2J"), std::string::npos);
  EXPECT_EQ(read_text(work / "a.txt"), "one\nTWO \x1b[31mred\nthree\n");  // exactly what the diff showed
  EXPECT_EQ(read_text(work / "sub/new.txt"), "fresh\n");
  EXPECT_EQ(read_text(work / "c.txt"), "c by hand\n");
  EXPECT_EQ(mode_of(work / ".dravik/undo"), 0700u);
  EXPECT_EQ(mode_of(work / ".dravik/undo/log"), 0600u);

  t.type("/undo\r");
  ASSERT_TRUE(t.read_until("removed sub/new.txt")) << t.screen;
  ASSERT_TRUE(t.read_until("restored a.txt")) << t.screen;
  ASSERT_TRUE(t.read_until("Shell commands cannot be undone")) << t.screen;
  ASSERT_TRUE(t.read_until("$ echo \\x1b[2J hi")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  EXPECT_EQ(read_text(work / "a.txt"), "one\ntwo\nthree\n");
  EXPECT_EQ(mode_of(work / "a.txt"), 0640u);
  EXPECT_FALSE(fs::exists(work / "sub/new.txt"));
  t.type("/undo\r");
  ASSERT_TRUE(t.read_until("Nothing to undo.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  // The model hears of it with the next message.
  t.type("thanks\r");
  ASSERT_TRUE(t.read_until("Noted.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/exit\r");
  EXPECT_EQ(t.wait_exit(), 0) << t.screen;
  const auto reqs = sent();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_NE(reqs[1]["messages"].dump().find("c.txt changed after the change was shown"), std::string::npos);
  const Json msgs = reqs.back()["messages"];
  const std::string last = msgs.back()["content"].get<std::string>();
  EXPECT_EQ(msgs.back()["role"], "user");
  EXPECT_EQ(last.rfind("[The user undid", 0), 0u) << last;
  EXPECT_NE(last.find("restored: a.txt"), std::string::npos) << last;
  EXPECT_NE(last.find("removed: sub/new.txt"), std::string::npos) << last;
  EXPECT_NE(last.find("thanks"), std::string::npos) << last;
}

// /undo goes back turn by turn across sessions, and never overwrites a file
// someone changed since without asking: off a terminal it is left, and "n"
// leaves it. A log the user's dravik did not write is not used.
TEST_F(Chat, UndoLeavesFilesChangedSinceAndTrustsOnlyItsOwnLog) {
  write_text(work / "a.txt", "v1\n");
  write_text(work / "b.txt", "b1\n");
  write_text(script, R"([{"tool_calls": [{"name": "write_file", "arguments": {"path": "a.txt", "content": "v2\n"}}]},
                         {"content": "One."}])");
  auto r = chat({"-p", "first", "--yes", "--json"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  bool diff_seen = false;
  for (const Json& e : events(r.out))
    if (e["event"] == "tool_call") diff_seen = e.value("diff", "").find("-v1\n+v2\n") != std::string::npos;
  EXPECT_TRUE(diff_seen) << r.out;
  write_text(script, R"([{"tool_calls": [{"name": "edit_file", "arguments": {"path": "a.txt", "old_string": "v2", "new_string": "v3"}},
                                         {"name": "write_file", "arguments": {"path": "b.txt", "content": "b2\n"}}]},
                         {"content": "Two."}])");
  fs::remove(requests);  // the fake server counts its replies by the requests it recorded
  r = chat({"-p", "second", "--yes"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("+b2"), std::string::npos) << r.out;  // the diff, printed without --json too
  EXPECT_EQ(read_text(work / "b.txt"), "b2\n");
  write_text(work / "a.txt", "mine\n");  // changed by hand since

  r = chat({"-p", "/undo"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("a.txt was changed since that turn; left as it is"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("kept for another /undo: 1 file"), std::string::npos) << r.err;
  EXPECT_EQ(read_text(work / "a.txt"), "mine\n");
  EXPECT_EQ(read_text(work / "b.txt"), "b1\n");

  // At a terminal the file left unasked is asked about, and "n" keeps it.
  Terminal t(dravik, work, env());
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/undo\r");
  ASSERT_TRUE(t.read_until("restore it anyway? [y/N]")) << t.screen;
  t.type("n\r");
  ASSERT_TRUE(t.read_until("left as it is")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/exit\r");
  EXPECT_EQ(t.wait_exit(), 0) << t.screen;
  EXPECT_EQ(read_text(work / "a.txt"), "mine\n");

  // The file tools do not write the undo store.
  write_text(script, R"([{"tool_calls": [{"name": "write_file", "arguments": {"path": ".dravik/undo/log", "content": "{}"}}]},
                         {"content": "Three."}])");
  fs::remove(requests);
  r = chat({"-p", "third", "--yes"});
  EXPECT_NE(sent().back()["messages"].dump().find("holds /undo's copies"), std::string::npos) << r.err;

  // A log planted in the directory (as a cloned repository could ship one).
  write_text(work / "x.txt", "x\n");
  const Json planted = {{"t", "file"}, {"id", 90}, {"path", "x.txt"}, {"existed", true}, {"mode", 420},
                        {"written", "x"}, {"before", "x"}, {"bytes", 8}};
  write_text(work / ".dravik/undo/log", Json{{"r", {{"t", "turn"}, {"id", 90}}}, {"mac", "00"}}.dump() + "\n" +
                                            Json{{"r", planted}, {"mac", "00"}}.dump() + "\nplanted\n\n");
  r = chat({"-p", "/undo"});
  EXPECT_NE(r.err.find("not written by your dravik"), std::string::npos) << r.err;
  EXPECT_EQ(read_text(work / "x.txt"), "x\n");
}

// The diff against GNU diff's, and applied back by edit_file's patcher.
TEST(UnifiedDiff, MatchesDiffAndAppliesBack) {
  char tmpl[] = "/tmp/dravik-diff-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  std::string many;
  for (int i = 1; i <= 40; ++i) many += "line " + std::to_string(i) + "\n";
  std::string changed = many;
  changed.replace(changed.find("line 3\n"), 7, "LINE three\n");
  changed.replace(changed.find("line 20\n"), 8, "");
  changed += "tail without newline";
  const std::pair<std::string, std::string> cases[] = {
      {many, changed}, {"", "new\n"}, {"gone\n", ""}, {"a\nb", "a\nb\n"}, {"x\ny\nz\n", "x\nz\n"}};
  for (const auto& [before, after] : cases) {
    write_text(dir / "a", before);
    write_text(dir / "b", after);
    asio::io_context io;
    proc::RunOptions o;
    o.cwd = dir.string();
    const auto r = run_until_done(io, proc::run({"diff", "-u", "--label", "a/f", "--label", "b/f", "a", "b"}, o));
    const std::string ours = hostlib::unified_diff(before, after, "f");
    EXPECT_EQ(ours, r.out) << before << "|" << after;
    const auto back = hostlib::apply_patch(before, ours, "f");
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(back->text, after);
  }
  EXPECT_EQ(hostlib::unified_diff("same\n", "same\n", "f"), "");
  // Changes among repeated lines near the start or end of a long file keep
  // their whole context: GNU patch puts them where they belong.
  std::string rep;
  for (int i = 0; i < 30; ++i) rep += i % 3 ? "l" + std::to_string(i % 2) + "\n" : "line " + std::to_string(i) + "\n";
  const std::pair<std::string, std::string> repeated[] = {
      {rep + "l0\nl0\nl0\n", rep + "l0\nl0\nl0\nl0\n"},
      {"l0\nl0\nl0\n" + rep, "l0\nl0\nl0\nl0\n" + rep},
      {rep + "l1\nl1\nend\n", rep + "l1\nnew\nl1\nend\n"},
      {"l1\nl0\nl3\nl0\nl1\nl3\nl0\nl1\nl1\nl0\nl1\nl1\nl2\nl0\nl1\nl0\nl2\n",
       "l1x\nl0\nl3\nl0\nl1\nl3\nl0\nl1\nl1\nl0\nlnew\n1\nl1\nl2\nl0\nl1\nl0\nl2\n"}};
  for (const auto& [before, after] : repeated) {
    write_text(dir / "a", before);
    write_text(dir / "p.diff", hostlib::unified_diff(before, after, "a"));
    asio::io_context io;
    proc::RunOptions o;
    o.cwd = dir.string();
    const auto r = run_until_done(io, proc::run({"patch", "-s", "-F0", "-o", "out", "a", "p.diff"}, o));
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(read_text(dir / "out"), after) << read_text(dir / "p.diff");
  }
  fs::remove_all(dir);
}
