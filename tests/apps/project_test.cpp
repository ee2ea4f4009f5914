// dravik chat's project instructions (AGENTS.md), /init and /compact: the
// real program against the fake llama-server, one-shot and in a
// pseudo-terminal.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "apps/chat_fixture.hpp"
#include "apps/terminal.hpp"
#include "session/state_seal.hpp"

using namespace dravik;
using namespace dravik::testing;

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string content(const Json& message) {
  return message.contains("content") && message["content"].is_string() ? message["content"].get<std::string>() : "";
}

// A conversation saved for --resume as an earlier version saved it (no
// session's), of `turns` long turns.
void save_conversation(const fs::path& work, const fs::path& home, int turns) {
  fs::remove(work / ".dravik/state/swap/session");
  Json old = Json::array({{{"role", "system"}, {"content", "old system"}}});
  for (int i = 0; i < turns; ++i) {
    old.push_back({{"role", "user"}, {"content", "old question " + std::to_string(i) + " " + std::string(3000, 'q')}});
    old.push_back({{"role", "assistant"}, {"content", "old answer " + std::to_string(i)}});
  }
  write_text(work / ".dravik/state/swap/messages.json", old.dump());
  app::seal_state(work / ".dravik/state/swap", home / ".dravik");
}

// Waits (bounded) until the fake server has received `n` chat requests.
bool wait_requests(const fs::path& file, std::size_t n) {
  for (int i = 0; i < 400; ++i) {
    const std::string log = fs::exists(file) ? read_text(file) : "";
    if (static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')) >= n) return true;
    ::usleep(50000);
  }
  return false;
}

}  // namespace

// The user's AGENTS.md, then the project's, follow the fixed system prompt;
// invalid UTF-8 is replaced, a long file is cut at a line with a note, and
// a FIFO in its place is not opened.
TEST_F(Chat, ProjectInstructionsFollowTheFixedPromptAndALongFileIsCut) {
  write_text(script, R"([{"content": "Hi."}])");
  write_text(home / ".dravik/AGENTS.md", "GLOBAL-RULE: tabs \xff\n");
  write_text(work / "AGENTS.md", "PROJECT-RULE: run make test\n");
  auto r = chat({"-p", "hi"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  std::string system = content(sent().at(0)["messages"][0]);
  const auto fixed_end = system.find("Keep answers short.");
  ASSERT_NE(fixed_end, std::string::npos) << system;
  EXPECT_TRUE(system.starts_with("You are Dravik"));
  EXPECT_GT(system.find("GLOBAL-RULE"), fixed_end);
  EXPECT_GT(system.find("PROJECT-RULE"), system.find("GLOBAL-RULE")) << system;
  EXPECT_TRUE(has(system, "tabs \xEF\xBF\xBD\n")) << system;
  // Resumed, the conversation goes on under the same system message, byte for byte.
  fs::remove(requests);
  r = chat({"-p", "again", "--resume"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(content(sent().at(0)["messages"][0]), system);
  EXPECT_EQ(content(sent().at(0)["messages"][1]), "hi");

  // The chosen context is 4,096 tokens: a file may take 512 of them.
  std::string lines;
  for (int i = 0; i < 3000; ++i) lines += "line " + std::to_string(i) + ": keep it short\n";
  write_text(work / "AGENTS.md", lines);
  fs::remove(requests);
  r = chat({"-p", "hi"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  system = content(sent().at(0)["messages"][0]);
  EXPECT_TRUE(has(system, "line 0: keep it short\n")) << system;
  EXPECT_FALSE(has(system, "line 2999:")) << system;
  EXPECT_TRUE(has(system, "keep it short\n[... the rest of this file was not read")) << system;
  EXPECT_LT(system.size(), 512u * 3 + 2000);
  EXPECT_TRUE(has(r.err, "AGENTS.md is about ")) << r.err;
  EXPECT_TRUE(has(r.err, "; only the first ")) << r.err;

  fs::remove(work / "AGENTS.md");
  ASSERT_EQ(::mkfifo((work / "AGENTS.md").c_str(), 0600), 0);
  fs::remove(requests);
  r = chat({"-p", "hi"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "AGENTS.md is not a regular file")) << r.err;
  EXPECT_FALSE(has(content(sent().at(0)["messages"][0]), "PROJECT-RULE"));

  // A link a repository ships in its place is not followed out of it.
  write_text(dir / "secret.txt", "SECRET-KEY\n");
  fs::remove(work / "AGENTS.md");
  fs::create_symlink(dir / "secret.txt", work / "AGENTS.md");
  fs::remove(requests);
  r = chat({"-p", "hi"});
  EXPECT_TRUE(has(r.err, "AGENTS.md leads outside the project")) << r.err;
  EXPECT_FALSE(has(content(sent().at(0)["messages"][0]), "SECRET-KEY"));
}

// Started in a subdirectory: the project's AGENTS.md files from its root
// down, root first; one that is not text is not read, and a cut file's
// figures agree (the whole is more than the part read).
TEST_F(Chat, InstructionsComeFromTheProjectRootDownAndOnlyAsText) {
  write_text(script, R"([{"content": "Hi."}, {"content": "Hi."}, {"content": "Hi."}])");
  fs::create_directories(work / ".git");
  fs::create_directories(work / "lib/sub");
  write_text(work / "AGENTS.md", "ROOT-RULE\n");
  write_text(work / "lib/AGENTS.md", "LIB-RULE\n");
  auto r = chat({"-p", "hi"}, std::nullopt, work / "lib/sub");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const std::string system = content(sent().at(0)["messages"][0]);
  ASSERT_TRUE(has(system, "ROOT-RULE")) << system;
  EXPECT_GT(system.find("LIB-RULE"), system.find("ROOT-RULE")) << system;

  std::string binary;
  for (int i = 0; i < 40; ++i)
    for (int b = 0; b < 256; ++b) binary += static_cast<char>(b);
  write_text(work / "lib/AGENTS.md", binary);
  std::string odd;  // text with an invalid byte on every line, too long to read whole
  for (int i = 0; i < 3000; ++i) odd += "line " + std::to_string(i) + ": \xff keep\n";
  write_text(work / "AGENTS.md", odd);
  fs::remove(requests);
  r = chat({"-p", "hi"}, std::nullopt, work / "lib/sub");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "../AGENTS.md is not a text file: not read")) << r.err;
  EXPECT_FALSE(has(content(sent().at(0)["messages"][0]), "\x01\x02\x03"));
  const auto about = r.err.find("../../AGENTS.md is about ");
  ASSERT_NE(about, std::string::npos) << r.err;
  auto number = [&](std::size_t at) {
    std::string digits;
    for (; at < r.err.size() && (std::isdigit(static_cast<unsigned char>(r.err[at])) || r.err[at] == ','); ++at)
      if (r.err[at] != ',') digits += r.err[at];
    return std::stol(digits);
  };
  const long whole = number(about + std::string("../../AGENTS.md is about ").size());
  const auto first = r.err.find("only the first ", about);
  ASSERT_NE(first, std::string::npos) << r.err;
  EXPECT_GT(whole, number(first + std::string("only the first ").size())) << r.err;
}

// /compact: one request without tools for a summary of the older turns,
// which then stand in for them while the last turn stays whole; /help and
// /status know of it all.
TEST_F(Chat, CompactReplacesTheOlderTurnsWithASummary) {
  // The first reply is long enough for its summary to be shorter.
  write_text(script, R"([{"content": "One.)" + std::string(1500, '.') + R"("}, {"content": "Two."},
                         {"content": "SUMMARY-OF-ONE"}, {"content": "Three."}])");
  auto e = env();
  e["NO_COLOR"] = "1";
  Terminal t(dravik, work, e);
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/compact\r");
  ASSERT_TRUE(t.read_until("nothing to compact")) << t.screen;
  t.type("/help\r");
  ASSERT_TRUE(t.read_until("/init")) << t.screen;
  ASSERT_TRUE(t.read_until("/compact")) << t.screen;
  t.type("first question\r");
  ASSERT_TRUE(t.read_until("One.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("second question\r");
  ASSERT_TRUE(t.read_until("Two.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/compact\r");
  ASSERT_TRUE(t.read_until("1 older turn summarized: the prompt is now about ")) << t.screen;
  ASSERT_TRUE(t.read_until(" tokens, was about ")) << t.screen;
  t.type("third\r");
  ASSERT_TRUE(t.read_until("Three.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/status\r");
  ASSERT_TRUE(t.read_until("instructions: none")) << t.screen;
  t.type("/exit\r");
  EXPECT_EQ(t.wait_exit(), 0) << t.screen;

  const auto reqs = sent();
  ASSERT_EQ(reqs.size(), 4u);
  const Json& summary_request = reqs[2];
  EXPECT_FALSE(summary_request.contains("tools"));
  ASSERT_EQ(summary_request["messages"].size(), 2u);
  const std::string transcript = content(summary_request["messages"][1]);
  EXPECT_TRUE(has(transcript, "first question") && has(transcript, "One.")) << transcript;
  EXPECT_FALSE(has(transcript, "second question")) << transcript;

  const Json& next = reqs[3]["messages"];
  ASSERT_EQ(next.size(), 6u) << next.dump();
  EXPECT_EQ(next[0], reqs[0]["messages"][0]);
  EXPECT_EQ(content(next[1]), "[Summary of the earlier conversation]\nSUMMARY-OF-ONE");
  EXPECT_EQ(next[2]["role"], "assistant");
  EXPECT_EQ(next[3], reqs[1]["messages"][3]);  // the last turn, whole
  EXPECT_EQ(content(next[4]), "Two.");
  EXPECT_EQ(content(next[5]), "third");
  EXPECT_FALSE(has(next.dump(), "first question"));
}

// A summary request that fails, or that Ctrl-C cancels, leaves the
// conversation as it was.
TEST_F(Chat, AFailedOrCancelledCompactChangesNothing) {
  write_text(script, R"([{"content": "One."}, {"content": "Two."}, {"fail": true},
                         {"content": "Partial", "hold_ms": 30000}, {"content": "Three."}])");
  auto e = env();
  e["NO_COLOR"] = "1";
  Terminal t(dravik, work, e);
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("first question\r");
  ASSERT_TRUE(t.read_until("One.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("second question\r");
  ASSERT_TRUE(t.read_until("Two.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/compact\r");
  ASSERT_TRUE(t.read_until("could not compact: ")) << t.screen;
  ASSERT_TRUE(t.read_until("the conversation is unchanged")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/compact\r");
  ASSERT_TRUE(wait_requests(requests, 4)) << t.screen;
  t.type("\x03");
  ASSERT_TRUE(t.read_until("(cancelled: the conversation is unchanged)")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("third\r");
  ASSERT_TRUE(t.read_until("Three.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/exit\r");
  EXPECT_EQ(t.wait_exit(), 0) << t.screen;

  const auto reqs = sent();
  ASSERT_EQ(reqs.size(), 5u);
  EXPECT_FALSE(reqs[2].contains("tools"));
  EXPECT_FALSE(reqs[3].contains("tools"));
  const Json& before = reqs[1]["messages"];
  const Json& after = reqs[4]["messages"];
  ASSERT_EQ(after.size(), before.size() + 2) << after.dump();
  for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i].dump(), before[i].dump()) << i;
  EXPECT_EQ(content(after[before.size()]), "Two.");
  EXPECT_EQ(content(after.back()), "third");
}

// /init is an ordinary turn: the model looks around and proposes AGENTS.md
// through write_file, written only once approved; with the file there it is
// asked for an improved version.
TEST_F(Chat, InitProposesAnAgentsFileThroughTheApproval) {
  write_text(script, R"([{"tool_calls": [{"name": "write_file", "arguments": {"path": "AGENTS.md", "content": "# Build\nmake\n"}}]},
                         {"content": "Proposed."}, {"content": "Looks fine."}])");
  auto e = env();
  e["NO_COLOR"] = "1";
  Terminal t(dravik, work, e);
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/init\r");
  ASSERT_TRUE(t.read_until("Allow write_file")) << t.screen;
  EXPECT_FALSE(fs::exists(work / "AGENTS.md"));
  t.type("y\r");
  ASSERT_TRUE(t.read_until("Proposed.")) << t.screen;
  ASSERT_TRUE(t.read_until("the next one follows it")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/init\r");
  ASSERT_TRUE(t.read_until("Looks fine.")) << t.screen;
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("/exit\r");
  EXPECT_EQ(t.wait_exit(), 0) << t.screen;
  EXPECT_EQ(read_text(work / "AGENTS.md"), "# Build\nmake\n");

  const auto reqs = sent();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_TRUE(reqs[0].contains("tools"));
  EXPECT_TRUE(has(content(reqs[0]["messages"].back()), "propose an AGENTS.md")) << reqs[0].dump();
  EXPECT_TRUE(has(content(reqs[2]["messages"].back()), "already has an AGENTS.md")) << reqs[2].dump();
}

// Over the budget, the fit drops older turns and says how to keep them;
// with "auto_compact" they are summarized instead.
TEST_F(Chat, AutoCompactSummarizesWhereTheFitWouldDropTurns) {
  write_text(script, R"([{"content": "Answer."}])");
  save_conversation(work, home, 6);
  auto r = chat({"-p", "new question", "--resume"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "older turns dropped; \"auto_compact\": true in the configuration keeps a summary")) << r.err;
  ASSERT_EQ(sent().size(), 1u);

  write_text(home / ".dravik/config.json", Json{{"llama_model", (dir / "model.gguf").string()},
                                                {"device", "cpu"},
                                                {"llama_port", port},
                                                {"auto_compact", true}}
                                               .dump());
  write_text(script, R"([{"content": "OLD-SUMMARY"}, {"content": "Answer."}])");
  save_conversation(work, home, 6);
  fs::remove(requests);
  r = chat({"-p", "new question", "--resume"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "older turns summarized")) << r.err;
  const auto reqs = sent();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_FALSE(reqs[0].contains("tools"));
  EXPECT_TRUE(has(content(reqs[0]["messages"][1]), "old question 5")) << reqs[0].dump();
  const Json& next = reqs[1]["messages"];
  EXPECT_EQ(content(next[1]), "[Summary of the earlier conversation]\nOLD-SUMMARY");
  EXPECT_EQ(content(next.back()), "new question");
  EXPECT_FALSE(has(next.dump(), "old question")) << next.dump();

  // A summary that fails: the older turns are dropped after all.
  write_text(script, R"([{"fail": true}, {"content": "Answer."}])");
  save_conversation(work, home, 6);
  fs::remove(requests);
  r = chat({"-p", "new question", "--resume"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "could not summarize: ")) << r.err;
  EXPECT_TRUE(has(r.err, "older turns dropped")) << r.err;
  ASSERT_EQ(sent().size(), 2u);
  EXPECT_FALSE(has(sent()[1]["messages"].dump(), "old question 0"));
}
