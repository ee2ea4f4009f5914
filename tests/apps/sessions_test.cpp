// Sessions: journaled as they go, listed, resumed and forked; a kill loses
// at most the reply in flight; a full disk is said and fails the exit.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "chat_fixture.hpp"
#include "session/journal.hpp"
#include "session/state_seal.hpp"
#include "session/undo.hpp"

namespace dravik::testing {
namespace {

using namespace std::chrono_literals;
using app::Journal;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The ids `dravik sessions` lists, in its order.
std::vector<std::string> listed_ids(const std::string& listing) {
  std::vector<std::string> ids;
  std::istringstream in(listing);
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) ids.push_back(line.substr(0, line.find(' ')));
  return ids;
}

TEST_F(Chat, SessionsAreJournaledListedResumedAndForked) {
  write_text(script, R"([{"content": "One."}, {"content": "Two."}, {"content": "Three."}, {"content": "Four."}])");
  ASSERT_EQ(chat({"-p", "first question"}).exit_status, 0);
  ASSERT_EQ(chat({"-p", "second question"}).exit_status, 0);
  EXPECT_EQ(read_text(work / ".dravik/.gitignore"), "*\n");

  auto run_sessions = [&] {
    proc::RunOptions o;
    o.env = env();
    o.cwd = work.string();
    return run_until_done(io, proc::run({dravik, "sessions"}, o));
  };
  // A journal shipped in the repository is none of this user's sessions.
  write_text(work / ".dravik/sessions/20991231-000000-zzzz/journal.jsonl",
             Json{{"type", "session"}, {"id", "20991231-000000-zzzz"}}.dump() + "\n" +
                 Json{{"type", "message"}, {"message", {{"role", "user"}, {"content", "PLANTED"}}}}.dump() + "\n");
  auto listing = run_sessions();
  ASSERT_EQ(listing.exit_status, 0) << listing.err;
  const auto ids = listed_ids(listing.out);
  ASSERT_EQ(ids.size(), 2u) << listing.out;
  EXPECT_TRUE(has(listing.out, "first question")) << listing.out;
  EXPECT_FALSE(has(listing.out, "PLANTED")) << listing.out;
  EXPECT_LT(listing.out.find("first question"), listing.out.find("second question")) << listing.out;

  // A named session continues with its own conversation only.
  auto r = chat({"-p", "more", "--resume", ids[0]});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::string resumed = sent().back()["messages"].dump();
  EXPECT_TRUE(has(resumed, "first question") && has(resumed, "One.")) << resumed;
  EXPECT_FALSE(has(resumed, "second question")) << resumed;
  EXPECT_TRUE(has(r.err, "of session " + ids[0])) << r.err;

  // A fork copies the conversation into a new session; the original stays.
  r = chat({"-p", "branch", "--fork", ids[1].substr(0, 19)});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(sent().back()["messages"].dump(), "second question"));
  const auto after = listed_ids(run_sessions().out);
  EXPECT_EQ(after.size(), 3u);
  const auto original = Journal::read(work / ".dravik/sessions" / ids[1] / "journal.jsonl");
  EXPECT_EQ(original.turns, 1u);

  for (const char* bad : {"--resume", "--fork"}) {
    r = chat({"-p", "x", bad, "nosuch"});
    EXPECT_EQ(r.exit_status, 1) << bad;
    EXPECT_TRUE(has(r.err, "no session nosuch")) << r.err;
  }
}

// What an earlier version saved is kept as a session of its own, also when
// the new session does not resume it.
TEST_F(Chat, TheEarlierSavedConversationBecomesASession) {
  write_text(script, R"([{"content": "Fine."}])");
  const Json old = Json::array({{{"role", "system"}, {"content", "s"}}, {{"role", "user"}, {"content", "earlier words"}},
                                {{"role", "assistant"}, {"content", "earlier answer"}}});
  write_text(work / ".dravik/state/swap/messages.json", old.dump());
  app::seal_state(work / ".dravik/state/swap", home / ".dravik");
  auto r = chat({"-p", "something new"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "kept as session")) << r.err;
  EXPECT_FALSE(has(sent().back()["messages"].dump(), "earlier words"));
  const std::string id = r.err.substr(r.err.find("kept as session ") + 16, 20);
  r = chat({"-p", "go on", "--resume", id});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(sent().back()["messages"].dump(), "earlier answer")) << sent().back().dump();
}

// kill -9 while a reply streams, or while a tool call runs: every earlier
// message is in the journal, the question in flight too; --resume continues
// from there, a call the kill cut off given a result saying so.
TEST_F(Chat, AKillMidTurnLosesOnlyWhatWasInFlight) {
  struct Point {
    const char* second;  // the reply the kill cuts off
    const char* waits_for;  // in the journal, before the kill
  };
  const Point points[] = {
      {R"({"content": "Partial", "hold_ms": 60000})", "second"},
      {R"({"tool_calls": [{"name": "shell", "arguments": {"command": "sleep 5"}}]})", "tool_calls"},
  };
  for (const Point& p : points) {
    fs::remove_all(work / ".dravik");
    fs::remove(requests);
    write_text(script, std::string(R"([{"content": "One."}, )") + p.second + R"(, {"content": "Three."}])");
    ASSERT_EQ(chat({"-p", "first"}).exit_status, 0);
    {
      proc::SpawnOptions o;
      o.argv = {dravik, "chat", "--resume", "--yes", "-p", "second"};
      o.env = env();
      o.cwd = work.string();
      auto child = proc::Child::spawn(io.get_executor(), o);
      auto journaled = [&] {
        for (const auto& d : fs::directory_iterator(work / ".dravik/sessions"))
          if (read_text(d.path() / "journal.jsonl").find(p.waits_for) != std::string::npos) return true;
        return false;
      };
      for (int i = 0; i < 500 && !(sent().size() >= 2 && journaled()); ++i) std::this_thread::sleep_for(20ms);
      ASSERT_TRUE(journaled()) << p.second;
      child.signal(SIGKILL);
      run_until_done(io, child.wait());
    }
    auto r = chat({"-p", "third", "--resume"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const Json messages = sent().back()["messages"];
    const std::string all = messages.dump();
    EXPECT_TRUE(has(all, "first") && has(all, "One.") && has(all, "second")) << all;
    EXPECT_EQ(messages.back()["content"], "third");
    if (has(p.second, "tool_calls")) {
      EXPECT_TRUE(has(all, "the session ended before this call finished")) << all;
    }
  }
}

// A journal a crash or a full disk left damaged: the good records are read,
// the damaged end is cut off before anything is appended.
TEST(Journal, ATornOrNulPaddedEndIsSkippedAndCutOff) {
  char tmpl[] = "/tmp/dravik-journal-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const std::string tails[] = {"{\"type\": \"message\", \"mess", std::string(4096, '\0'),
                               std::string(10, '\0') + "{\"type\":", "not json at all\n{\"type\":\"message\"}\n"};
  for (const std::string& tail : tails) {
    const fs::path file = dir / "journal.jsonl";
    fs::remove(file);
    {
      auto j = Journal::open(file, {"id1", "2026-01-01T00:00:00Z", "llama_cpp", "m"});
      j.message({{"role", "user"}, {"content", "q"}});
      j.message({{"role", "assistant"}, {"content", "a"}});
    }
    write_text(file, read_text(file) + tail);
    auto c = Journal::read(file);
    EXPECT_EQ(c.messages.size(), 2u);
    EXPECT_TRUE(c.damaged);
    {
      auto j = Journal::open(file, {"id1", "", "", ""});
      j.message({{"role", "user"}, {"content", "q2"}});
    }
    {
      // One writer a session.
      auto j = Journal::open(file, {"id1", "", "", ""});
      try {
        Journal::open(file, {"id1", "", "", ""});
        ADD_FAILURE() << "a second writer";
      } catch (const OSError& e) {
        EXPECT_EQ(e.code(), EWOULDBLOCK);
      }
    }
    c = Journal::read(file);
    EXPECT_FALSE(c.damaged);
    ASSERT_EQ(c.messages.size(), 3u);
    EXPECT_EQ(c.messages[2]["content"], "q2");
    EXPECT_EQ(c.turns, 2u);
  }
  fs::remove_all(dir);
}

// The project or the dravik home on a full file system: the conversation
// cannot be saved, which is said, and the exit status says it too.
TEST_F(Chat, AFullDiskIsSaidAndFailsTheExit) {
  if (std::system("unshare -rm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no user namespaces here";
  write_text(script, R"([{"content": "Fine."}])");
  for (const fs::path& full : {home, work}) {
    // A small tmpfs over the directory, filled up, in a mount namespace of
    // the run's own.
    const std::string sh = "cp -a " + full.string() + "/. " + (dir / "keep").string() + " 2>/dev/null; mount -t tmpfs -o size=64k none " +
                           full.string() + " && cp -a " + (dir / "keep").string() + "/. " + full.string() +
                           " && (dd if=/dev/zero of=" + full.string() + "/fill bs=1k 2>/dev/null; true) && cd " +
                           work.string() + " && exec " + dravik + " chat -p hi";
    fs::create_directories(dir / "keep");
    proc::RunOptions o;
    o.env = env();
    o.cwd = work.string();
    o.timeout = 60s;
    auto r = run_until_done(io, proc::run({"unshare", "-rm", "sh", "-c", sh}, o));
    EXPECT_EQ(r.exit_status, 1) << full << r.err;
    EXPECT_TRUE(has(r.err, "could not save the conversation to ")) << full << r.err;
    EXPECT_TRUE(has(r.err, "No space left on device")) << full << r.err;
    fs::remove_all(dir / "keep");
  }
}

// The undo store's bound is applied as it grows, with a line saying so; a
// turn's created file that someone changed since is kept; a store file
// linked elsewhere is never written through.
TEST(UndoStore, BoundCreatedFilesAndLinks) {
  char tmpl[] = "/tmp/dravik-undo-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path work = dir / "work", home = dir / "home";
  fs::create_directories(work);
  {
    app::UndoLog undo(work, home);
    for (std::size_t t = 0; t <= app::UndoLog::kMaxTurns; ++t) {
      undo.begin_turn();
      write_text(work / "a.txt", "v" + std::to_string(t + 1));
      EXPECT_EQ(undo.remember_file("a.txt", "v" + std::to_string(t), 0644, "v" + std::to_string(t + 1)), "");
    }
    EXPECT_EQ(undo.take_notices().size(), 1u);
    undo.begin_turn();
    write_text(work / "new.txt", "made");
    EXPECT_EQ(undo.remember_file("new.txt", std::nullopt, 0644, "made"), "");
    write_text(work / "new.txt", "made, then the user's own words");
    const auto u = undo.undo_last(nullptr);
    EXPECT_TRUE(has(u.lines.at(0), "created by that turn and changed since; kept")) << u.lines.at(0);
    EXPECT_EQ(read_text(work / "new.txt"), "made, then the user's own words");
  }
  {
    // Another session: every kept turn undone in order, down to the bound
    // (the turn of new.txt pushed out one more).
    app::UndoLog undo(work, home);
    for (std::size_t t = app::UndoLog::kMaxTurns + 1; t > 2; --t) {
      const auto u = undo.undo_last(nullptr);
      ASSERT_FALSE(u.lines.empty());
      EXPECT_EQ(u.lines[0], "restored a.txt") << t;
      EXPECT_EQ(read_text(work / "a.txt"), "v" + std::to_string(t - 1));
    }
    EXPECT_EQ(undo.undo_last(nullptr).lines.at(0), "Nothing to undo.");
  }
  // The log a hard link to a file outside: that file is never written.
  write_text(dir / "outside", "precious");
  fs::remove(work / ".dravik/undo/log");
  fs::create_hard_link(dir / "outside", work / ".dravik/undo/log");
  {
    app::UndoLog undo(work, home);
    EXPECT_EQ(undo.remember_file("a.txt", "v1", 0644, "v2"), "");
  }
  EXPECT_EQ(read_text(dir / "outside"), "precious");
  fs::remove_all(dir);
}

// What an earlier version kept is taken over (its log vouched for in the
// home), and temporaries a killed write left are removed.
TEST(UndoStore, TheEarlierLogIsTakenOverAndLeftoversRemoved) {
  char tmpl[] = "/tmp/dravik-undo-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path work = dir / "work", home = dir / "home";
  write_text(work / "a.txt", "new");
  write_text(work / ".dravik/undo/b1-0", "old");
  const std::string log =
      Json{{"version", 1}, {"next", 2}, {"turns", Json::array({Json{{"id", 1}, {"shell", Json::array({"make"})},
           {"files", Json::array({Json{{"path", "a.txt"}, {"existed", true}, {"mode", 420}, {"blob", "b1-0"},
                                       {"size", 3}, {"written", app::sha256_of("new")}, {"before", app::sha256_of("old")}}})}}})}}
          .dump();
  write_text(work / ".dravik/undo/log.json", log);
  write_text(home / "undo-seals" / (app::sha256_of(work.lexically_normal().string()) + ".json"),
             Json{{"log", app::sha256_of(log)}}.dump());
  write_text(work / ".dravik-k3x9q2", "a killed write's copy");
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(work / ".dravik-k3x9q2", old);
  write_text(work / ".dravik-fresh1", "being written");
  app::UndoLog undo(work, home);
  const auto u = undo.undo_last(nullptr);
  ASSERT_FALSE(u.lines.empty());
  EXPECT_EQ(u.lines[0], "restored a.txt");
  EXPECT_EQ(read_text(work / "a.txt"), "old");
  EXPECT_FALSE(fs::exists(work / ".dravik/undo/log.json"));
  EXPECT_FALSE(fs::exists(work / ".dravik/undo/b1-0"));
  EXPECT_FALSE(fs::exists(work / ".dravik-k3x9q2"));
  EXPECT_TRUE(fs::exists(work / ".dravik-fresh1"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace dravik::testing
