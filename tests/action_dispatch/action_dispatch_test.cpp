#include "action_dispatch/action_dispatch.hpp"

#include <random>

#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include "fakes/host_doubles.hpp"
#include "fakes/test_http_server.hpp"
#include "support/errors.hpp"

using namespace dravik;
using namespace dravik::testing;
using action_dispatch::execute_tool;
using action_dispatch::format_tool_args;
using action_dispatch::ToolExecutionResult;

namespace {

class Dispatch : public ::testing::Test {
 protected:
  asio::io_context io;
  std::shared_ptr<ScriptedShellExecutor> shell = std::make_shared<ScriptedShellExecutor>();
  std::shared_ptr<FakeNotesStore> notes = std::make_shared<FakeNotesStore>();

  void SetUp() override {
    host::HostServices s;
    s.shell_executor = shell;
    s.memory_notes_store = notes;
    host::install_host_services(s);
  }
  void TearDown() override {
    action_dispatch::set_eviction_coordinator(nullptr);
    host::install_host_services({});
  }
  ToolExecutionResult call(const Json& name, const Json& args) {
    return run_until_done(io, execute_tool(host::ToolCall{name, args}));
  }
  std::string output(const Json& name, const Json& args) { return call(name, args).output; }
};

const Json kFalse = Json{{"ok", false}};

// A scripted eviction target for the coordinator the dispatcher uses.
struct Target : eviction_target::EvictionTarget {
  double available = 0, model = 5000;
  std::vector<std::string> calls;
  asio::awaitable<bool> save_state(std::filesystem::path) override {
    calls.push_back("save");
    co_return true;
  }
  asio::awaitable<void> unload() override {
    calls.push_back("unload");
    co_return;
  }
  asio::awaitable<void> reload() override {
    calls.push_back("reload");
    throw RuntimeError("server did not come back");
    co_return;
  }
  asio::awaitable<bool> restore_state(std::filesystem::path) override { co_return true; }
  double available_memory_mb() override { return available; }
  double model_memory_mb() override { return model; }
};

}  // namespace

TEST(ToolResult, OkIsTheTruthOfMetaOk) {
  EXPECT_TRUE((ToolExecutionResult{"", {{"ok", true}}}.ok()));
  EXPECT_FALSE((ToolExecutionResult{"", {{"ok", 0}}}.ok()));
  EXPECT_FALSE((ToolExecutionResult{"", Json::object()}.ok()));
  EXPECT_TRUE((ToolExecutionResult{"", {{"ok", "yes"}}}.ok()));
  EXPECT_EQ((ToolExecutionResult{"a", {{"ok", true}}}), (ToolExecutionResult{"a", {{"ok", true}}}));
}

TEST_F(Dispatch, ArgumentsThatAreNotAMapAreInvalidForAnyName) {
  EXPECT_EQ(call("shell", "ls"), (ToolExecutionResult{"Error: invalid arguments for shell", kFalse}));
  EXPECT_EQ(output("no_such_tool", Json::array()), "Error: invalid arguments for no_such_tool");
  EXPECT_EQ(output(42, nullptr), "Error: invalid arguments for 42");
  EXPECT_EQ(call("Shell", Json::object()), (ToolExecutionResult{"Unknown tool: Shell", kFalse}));
  EXPECT_EQ(output(nullptr, Json::object()), "Unknown tool: None");
  EXPECT_TRUE(shell->calls.empty());
}

TEST_F(Dispatch, ShellValidatesCommandAndTimeout) {
  const std::string req = "Error: invalid arguments for shell (required: command)";
  const std::string not_int = "Error: invalid arguments for shell (timeout_seconds must be int)";
  const std::string not_pos = "Error: invalid arguments for shell (timeout_seconds must be > 0)";
  EXPECT_EQ(output("shell", Json::object()), req);
  EXPECT_EQ(output("shell", {{"command", "  \t"}}), req);
  EXPECT_EQ(output("shell", {{"command", 5}}), req);
  EXPECT_EQ(output("shell", {{"command", "ls"}, {"timeout_seconds", 2.5}}), not_int);
  EXPECT_EQ(output("shell", {{"command", "ls"}, {"timeout_seconds", 30.0}}), not_int);
  EXPECT_EQ(output("shell", {{"command", "ls"}, {"timeout_seconds", "30"}}), not_int);
  EXPECT_EQ(output("shell", {{"command", "ls"}, {"timeout_seconds", true}}), not_int);
  EXPECT_EQ(output("shell", {{"command", "ls"}, {"timeout_seconds", 0}}), not_pos);
  EXPECT_EQ(output("shell", {{"command", "ls"}, {"timeout_seconds", -5}}), not_pos);
  EXPECT_TRUE(shell->calls.empty());
}

TEST_F(Dispatch, ShellRunsWithTheGivenOrDefaultTimeoutAndReportsTheResult) {
  shell->exec = {"exit 2", false, 2, "o", "e", true, 7};
  auto r = call("shell", {{"command", " make "}, {"timeout_seconds", nullptr}});
  EXPECT_EQ(shell->calls.at(0).args, (Json{" make ", host::DEFAULT_SHELL_TIMEOUT_SECONDS}));
  EXPECT_EQ(r.output, "exit 2");
  EXPECT_EQ(r.meta.dump(),
            R"({"ok":false,"exit_code":2,"stdout":"o","stderr":"e","timed_out":true,"timeout_seconds":7})");
  call("shell", {{"command", "ls"}, {"timeout_seconds", 30}});
  EXPECT_EQ(shell->calls.at(1).args, (Json{"ls", 30}));
  shell->exec.exit_code.reset();
  EXPECT_TRUE(call("shell", {{"command", "ls"}}).meta["exit_code"].is_null());
}

TEST_F(Dispatch, ShellGoesThroughTheCoordinatorOnlyWhenItWantsToUnload) {
  auto target = std::make_shared<Target>();
  target->available = 10000;  // plenty free: no eviction
  auto coordinator = std::make_shared<eviction_coordinator::EvictionCoordinator>(target);
  action_dispatch::set_eviction_coordinator(coordinator);
  auto r = call("shell", {{"command", "ls"}});
  EXPECT_TRUE(target->calls.empty());
  EXPECT_FALSE(r.meta.contains("swapped"));

  target->available = 0;  // the model's 5000 MB would make room
  r = call("shell", {{"command", "make"}, {"timeout_seconds", 60}});
  EXPECT_EQ(target->calls, (std::vector<std::string>{"save", "unload", "reload"}));
  EXPECT_EQ(shell->calls.back().args, (Json{"make", 60}));
  std::vector<std::string> keys;
  for (auto it = r.meta.begin(); it != r.meta.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"ok", "exit_code", "stdout", "stderr", "timed_out", "timeout_seconds",
                                            "swapped", "swap_reload_ok", "swap_restore_ok", "swap_duration_s"}));
  EXPECT_EQ(r.meta["swapped"], true);
  EXPECT_EQ(r.meta["swap_reload_ok"], false);
  EXPECT_EQ(r.meta["swap_restore_ok"], false);
  // "timeout_seconds" is what the result carries, not what was asked.
  EXPECT_EQ(r.meta["timeout_seconds"], 30);

  action_dispatch::set_eviction_coordinator(nullptr);
  target->calls.clear();
  call("shell", {{"command", "make"}});
  EXPECT_TRUE(target->calls.empty());
}

TEST_F(Dispatch, FileToolsJudgeTheirTextByPrefix) {
  shell->text = "Error reading? no, just a heading";
  EXPECT_TRUE(call("read_file", {{"path", "a"}}).ok());  // "Error" without ":" is fine here
  EXPECT_FALSE(call("write_file", {{"path", "a"}, {"content", ""}}).ok());
  EXPECT_FALSE(call("glob", {{"pattern", "*"}}).ok());
  EXPECT_FALSE(call("grep", {{"pattern", "x"}}).ok());
  EXPECT_FALSE(call("list_directory", Json::object()).ok());
  shell->text = "Error: no such file";
  EXPECT_EQ(call("read_file", {{"path", "a"}}), (ToolExecutionResult{"Error: no such file", kFalse}));
  shell->text = "error: lower case";
  EXPECT_TRUE(call("write_file", {{"path", "a"}, {"content", "x"}}).ok());
}

TEST_F(Dispatch, FileToolsValidateTheirArguments) {
  EXPECT_EQ(output("read_file", {{"path", ""}}), "Error: invalid arguments for read_file (required: path)");
  EXPECT_EQ(output("write_file", {{"path", " "}, {"content", "x"}}),
            "Error: invalid arguments for write_file (required: path, content)");
  EXPECT_EQ(output("write_file", {{"path", "a"}, {"content", 1}}),
            "Error: invalid arguments for write_file (required: path, content)");
  EXPECT_EQ(output("glob", {{"pattern", nullptr}}), "Error: invalid arguments for glob (required: pattern)");
  EXPECT_EQ(output("grep", {{"pattern", " "}}), "Error: invalid arguments for grep (required: pattern)");
  EXPECT_EQ(output("load_file", {{"path", Json::array()}}), "Error: invalid arguments for load_file (required: path)");
  EXPECT_EQ(output("load_file", {{"path", "a"}, {"max_tokens", "100"}}),
            "Error: invalid arguments for load_file (max_tokens must be int)");
  EXPECT_EQ(output("load_file", {{"path", "a"}, {"max_tokens", false}}),
            "Error: invalid arguments for load_file (max_tokens must be int)");
  // A missing content is refused: a call cut short must not empty the file.
  EXPECT_EQ(output("write_file", {{"path", " a "}}),
            "Error: invalid arguments for write_file (required: path, content)");
  EXPECT_EQ(shell->calls.size(), 0u);
  // An empty one is a file made empty on purpose.
  call("write_file", {{"path", " a "}, {"content", ""}});
  EXPECT_EQ(shell->calls.back().args, (Json{" a ", ""}));
}

TEST_F(Dispatch, GlobGrepAndListPassOptionalArgumentsThrough) {
  call("glob", {{"pattern", "*.cpp"}});
  EXPECT_EQ(shell->calls.back().args, (Json{"*.cpp", nullptr}));
  call("grep", {{"pattern", "x"}, {"path", "src"}, {"glob", "*.h"}, {"ignore_case", "yes"}});
  EXPECT_EQ(shell->calls.back().args, (Json{"x", "src", "*.h", true}));
  call("grep", {{"pattern", "x"}});
  EXPECT_EQ(shell->calls.back().args, (Json{"x", nullptr, nullptr, false}));
  call("list_directory", Json::object());
  EXPECT_EQ(shell->calls.back().args, (Json{nullptr}));
  call("list_directory", {{"path", 7}});
  EXPECT_EQ(shell->calls.back().args, (Json{7}));
}

TEST_F(Dispatch, LoadFileShowsSummaryAndContent) {
  shell->loaded = {true, "", "3 lines", "a\nb\nc", true, 120, 100, 100, 812.5};
  auto r = call("load_file", {{"path", "f"}, {"max_tokens", 0}});
  EXPECT_EQ(shell->calls.back().args, (Json{"f", 0}));
  EXPECT_EQ(r.output, "3 lines\ncontent:\na\nb\nc");
  EXPECT_EQ(r.meta.dump(),
            R"({"ok":true,"truncated":true,"estimated_tokens":120,"returned_tokens":100,"token_budget":100,"mem_available_mb":812.5})");
  call("load_file", {{"path", "f"}, {"max_tokens", nullptr}});
  EXPECT_EQ(shell->calls.back().args, (Json{"f", nullptr}));
  shell->loaded = host::LoadFileResult{};
  shell->loaded.detail = "too big for memory";
  EXPECT_EQ(call("load_file", {{"path", "f"}}), (ToolExecutionResult{"too big for memory", kFalse}));
}

TEST_F(Dispatch, EditFileTakesAPatchOrAReplacement) {
  shell->edited = {"edited", true, false, 2, "exact", nullptr};
  EXPECT_EQ(output("edit_file", {{"path", "f"}, {"patch", ""}, {"old_string", "x"}}),
            "Error: invalid arguments for edit_file (patch must be a non-empty string)");
  EXPECT_EQ(output("edit_file", {{"path", "f"}, {"patch", nullptr}, {"old_string", ""}}),
            "Error: invalid arguments for edit_file (required: patch or old_string)");
  EXPECT_EQ(output("edit_file", {{"path", "f"}, {"old_string", "x"}, {"new_string", nullptr}}),
            "Error: invalid arguments for edit_file (required: new_string)");
  EXPECT_EQ(output("edit_file", {{"old_string", "x"}}), "Error: invalid arguments for edit_file (required: path)");
  EXPECT_TRUE(shell->calls.empty());
  // Without new_string nothing is deleted: it is refused.
  EXPECT_EQ(output("edit_file", {{"path", "f"}, {"old_string", "x"}}),
            "Error: invalid arguments for edit_file (required: new_string)");
  EXPECT_TRUE(shell->calls.empty());
  auto r = call("edit_file", {{"path", "f"}, {"old_string", "  "}, {"new_string", ""}, {"replace_all", 1}});
  EXPECT_EQ(shell->calls.back().args,
            (Json{"f", {{"old_string", "  "}, {"new_string", ""}, {"replace_all", true}, {"return_result", true}}}));
  EXPECT_EQ(r.meta.dump(),
            R"({"ok":true,"internal_retry":false,"replacements":2,"match_strategy":"exact","validation_error":null})");
  call("edit_file", {{"path", "f"}, {"patch", "--- a\n+++ b\n"}});
  EXPECT_EQ(shell->calls.back().args, (Json{"f", {{"patch", "--- a\n+++ b\n"}, {"return_result", true}}}));
}

// A host that computes a file change itself checks the arguments with the
// dispatcher's own validators: what they accept is what the tool is asked,
// what they refuse reads as the tool's answer.
TEST_F(Dispatch, FileChangeValidatorsAreTheDispatchersOwn) {
  const Json cases[] = {
      Json{"edit_file", {{"path", "f"}, {"patch", ""}, {"old_string", "x"}}},
      Json{"edit_file", {{"path", "f"}, {"patch", nullptr}, {"old_string", ""}}},
      Json{"edit_file", {{"path", "f"}, {"old_string", "x"}, {"new_string", nullptr}}},
      Json{"edit_file", {{"old_string", "x"}}},
      Json{"edit_file", "not a map"},
      Json{"edit_file", {{"path", "f"}, {"old_string", "  "}, {"replace_all", 1}}},
      Json{"edit_file", {{"path", "f"}, {"old_string", "  "}, {"new_string", ""}, {"replace_all", 1}}},
      Json{"edit_file", {{"path", "f"}, {"patch", "@@ -1 +1 @@\n-a\n+b\n"}, {"old_string", 5}}},
      Json{"write_file", {{"path", " "}, {"content", "x"}}},
      Json{"write_file", {{"path", "a"}, {"content", 1}}},
      Json{"write_file", Json::array()},
      Json{"write_file", {{"path", " a "}}},
  };
  for (const Json& c : cases) {
    const std::string tool = c[0].get<std::string>();
    const Json& args = c[1];
    shell->calls.clear();
    const std::string answer = output(tool, args);
    std::optional<Failure> refused;
    Json asked;  // what the shell executor would be asked, in its double's record
    if (tool == "edit_file") {
      const auto r = action_dispatch::edit_file_request(args);
      if (!r) refused = r.error();
      else if (r->request.patch) asked = Json{r->path, {{"patch", *r->request.patch}, {"return_result", true}}};
      else
        asked = Json{r->path, {{"old_string", r->request.old_string}, {"new_string", r->request.new_string},
                               {"replace_all", r->request.replace_all}, {"return_result", r->request.return_result}}};
    } else {
      const auto r = action_dispatch::write_file_request(args);
      if (!r) refused = r.error();
      else asked = Json{r->path, r->content};
    }
    if (refused) {
      EXPECT_EQ(refused->kind, ErrorKind::invalid) << args;
      EXPECT_EQ(tool_text(*refused), answer) << args;
      EXPECT_TRUE(shell->calls.empty()) << args;
    } else {
      ASSERT_EQ(shell->calls.size(), 1u) << args;
      EXPECT_EQ(shell->calls.back().args, asked) << args;
    }
  }
}

TEST_F(Dispatch, MemoryNotesAndTheirRejections) {
  EXPECT_EQ(output("memory", {{"scope", " "}, {"action", "add"}}),
            "Error: invalid arguments for memory (required: scope, action)");
  EXPECT_EQ(output("memory", {{"scope", "project"}, {"action", "add"}, {"content", 3}}),
            "Error: invalid arguments for memory (content must be string)");
  auto r = call("memory", {{"scope", "project"}, {"action", "add"}});
  EXPECT_EQ(r, (ToolExecutionResult{"noted", {{"ok", true}, {"scope", "project"}, {"action", "add"}}}));
  EXPECT_EQ(notes->calls.at(0), (Json{std::filesystem::current_path().string(), "project", "add", ""}));
  notes->error = std::make_exception_ptr(ValueError("unknown scope 'x'"));
  EXPECT_EQ(call("memory", {{"scope", "x"}, {"action", "add"}}), (ToolExecutionResult{"Error: unknown scope 'x'", kFalse}));
  notes->error = std::make_exception_ptr(RuntimeError("disk gone"));
  EXPECT_THROW(call("memory", {{"scope", "x"}, {"action", "add"}}), RuntimeError);
}

TEST_F(Dispatch, ServiceErrorsPassOutUnchanged) {
  shell->error = std::make_exception_ptr(OSError(EIO, "I/O error"));
  EXPECT_THROW(call("read_file", {{"path", "a"}}), OSError);
  EXPECT_THROW(call("shell", {{"command", "ls"}}), OSError);
  host::install_host_services({});
  EXPECT_THROW(call("glob", {{"pattern", "*"}}), host::ServiceNotInstalledError);
  // Invalid arguments never reach the missing service.
  EXPECT_EQ(output("glob", Json::object()), "Error: invalid arguments for glob (required: pattern)");
}

TEST_F(Dispatch, RandomArgumentsNeverCrashOrThrow) {
  std::mt19937_64 rng(7);
  const std::vector<std::string> names = {"shell", "read_file", "memory", "write_file", "load_file", "edit_file",
                                          "glob", "grep", "list_directory", "nope", ""};
  const std::vector<std::string> keys = {"command", "timeout_seconds", "path", "content", "scope", "action",
                                         "max_tokens", "patch", "old_string", "new_string", "replace_all",
                                         "pattern", "glob", "ignore_case"};
  std::function<Json(int)> value = [&](int depth) -> Json {
    switch (rng() % (depth > 1 ? 7 : 9)) {
      case 0: return nullptr;
      case 1: return rng() % 2 == 0;
      case 2: return static_cast<std::int64_t>(rng()) >> (rng() % 64);
      case 3: return rng();
      case 4: return std::ldexp(static_cast<double>(rng() % 2000) - 1000, static_cast<int>(rng() % 40) - 20);
      case 5: return std::string(rng() % 4, ' ');
      case 6: {
        static const std::string texts[] = {"ls", "\x1b[2K", "ünï", "a\xff", "Error: x", "0", std::string(5000, 'x')};
        return texts[rng() % 7];
      }
      case 7: {
        Json a = Json::array();
        for (int i = 0, n = static_cast<int>(rng() % 3); i < n; ++i) a.push_back(value(depth + 1));
        return a;
      }
      default: {
        Json o = Json::object();
        for (int i = 0, n = static_cast<int>(rng() % 3); i < n; ++i) o[keys[rng() % keys.size()]] = value(depth + 1);
        return o;
      }
    }
  };
  for (int i = 0; i < 4000; ++i) {
    Json args;
    if (rng() % 8 == 0) {
      args = value(0);
    } else {
      args = Json::object();
      for (const auto& k : keys)
        if (rng() % 3 == 0) args[k] = value(0);
    }
    const std::string name = names[rng() % names.size()];
    ToolExecutionResult r;
    ASSERT_NO_THROW(r = call(name, args)) << name << " " << args.dump(-1, ' ', false, Json::error_handler_t::replace);
    EXPECT_TRUE(r.meta.is_object() && r.meta.contains("ok"));
    if (!args.is_object()) {
      EXPECT_EQ(r.output, "Error: invalid arguments for " + name);
    }
    if (args.is_object()) {
      std::string shown;
      ASSERT_NO_THROW(shown = format_tool_args({name, args}));
      for (unsigned char c : shown) EXPECT_FALSE(c < 0x20 || c == 0x7f);
    }
  }
}

TEST(Summaries, EachToolShowsItsMainArgument) {
  auto f = [](const Json& name, const Json& args) { return format_tool_args({name, args}); };
  EXPECT_EQ(f("shell", {{"command", "ls -la"}, {"timeout_seconds", 30}}), "$ ls -la (timeout: 30s)");
  EXPECT_EQ(f("shell", {{"command", "ls -la"}, {"timeout_seconds", "30"}}), "$ ls -la");
  EXPECT_EQ(f("shell", {{"command", "ls"}, {"timeout_seconds", 1.5}}), "$ ls");
  EXPECT_EQ(f("shell", {{"cwd", "/"}}), R"($ {"cwd":"/"})");
  EXPECT_EQ(f("memory", {{"action", "add"}, {"scope", "project"}}), "add project");
  EXPECT_EQ(f("memory", {{"action", "add"}}), "add");
  EXPECT_EQ(f("read_file", {{"path", "src/a.cpp"}}), "src/a.cpp");
  EXPECT_EQ(f("edit_file", {{"old_string", "x"}}), R"({"old_string":"x"})");
  EXPECT_EQ(f("grep", {{"pattern", 42}}), "42");
  EXPECT_EQ(f("glob", {{"pattern", "**/*.hpp"}}), "**/*.hpp");
  EXPECT_EQ(f("list_directory", {{"path", ""}}), ".");
  EXPECT_EQ(f("list_directory", Json::object()), ".");
  EXPECT_EQ(f("list_directory", {{"path", 0}}), ".");
  EXPECT_EQ(f("list_directory", {{"path", "src"}}), "src");
  EXPECT_EQ(f("custom", {{"a", 1}}), R"({"a":1})");
  EXPECT_EQ(f("custom", "raw"), "raw");
}

TEST(Summaries, ControlCharactersAreShownEscaped) {
  auto f = [](const Json& name, const Json& args) { return format_tool_args({name, args}); };
  EXPECT_EQ(f("shell", {{"command", "echo safe\rrm -rf ~"}}), "$ echo safe\\rrm -rf ~");
  EXPECT_EQ(f("read_file", {{"path", "a\n\x1b[31mb"}}), "a\\n\\x1b[31mb");
  EXPECT_EQ(f("grep", {{"pattern", "x\xC2\x9b" "y"}}), "x\\x9by");
}

TEST(Summaries, AKnownToolWithoutAMapIsATypeError) {
  EXPECT_THROW(format_tool_args({"shell", "ls"}), TypeError);
  EXPECT_THROW(format_tool_args({"list_directory", nullptr}), TypeError);
}

// Integers the JSON library reads as unsigned 64-bit: out of the 64-bit
// signed range, so not integers, never silently clamped.
TEST_F(Dispatch, IntegersFromTwoToTheSixtyThreeUpAreNotIntegers) {
  const Json big = std::uint64_t{1} << 63;
  const Json biggest = ~std::uint64_t{0};
  for (const Json& v : {big, biggest}) {
    EXPECT_EQ(output("shell", {{"command", "ls"}, {"timeout_seconds", v}}),
              "Error: invalid arguments for shell (timeout_seconds must be int)");
    EXPECT_EQ(output("load_file", {{"path", "a"}, {"max_tokens", v}}),
              "Error: invalid arguments for load_file (max_tokens must be int)");
    EXPECT_EQ(format_tool_args({"shell", {{"command", "ls"}, {"timeout_seconds", v}}}), "$ ls");
  }
  EXPECT_TRUE(shell->calls.empty());
  const Json max = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(format_tool_args({"shell", {{"command", "ls"}, {"timeout_seconds", max}}}),
            "$ ls (timeout: 9223372036854775807s)");
}

// Model-written arguments nested 100,000 deep or 100,000 wide: every tool
// answers, every summary is bounded, nothing recurses that deep.
TEST_F(Dispatch, DeepAndWideArgumentsNeitherCrashNorFlood) {
  const std::size_t depth = 100000;
  const std::string deep_text = std::string(depth, '[') + std::string(depth, ']');
  Json wide = Json::array();
  for (int i = 0; i < 100000; ++i) wide.push_back(i);
  const std::vector<std::string> names = {"shell", "read_file", "memory", "write_file", "load_file", "edit_file",
                                          "glob", "grep", "list_directory", "nope"};
  for (const std::string& name : names) {
    for (const char* key : {"command", "path", "pattern", "glob", "timeout_seconds", "scope"}) {
      for (int variant = 0; variant < 2; ++variant) {
        Json args = Json::object();
        args[key] = variant == 0 ? Json::parse(deep_text) : wide;  // the parser itself is iterative
        host::ToolCall call{name, std::move(args)};  // moved, never copied
        const std::string shown = format_tool_args(call);
        EXPECT_LE(shown.size(), 70000u) << name << " " << key;
        ToolExecutionResult r;
        ASSERT_NO_THROW(r = run_until_done(io, execute_tool(std::move(call))));
        EXPECT_TRUE(r.meta.contains("ok"));
      }
    }
  }
  // A deep name and deep non-map arguments are shown bounded too.
  Json deep_name = Json::parse(deep_text);
  const auto r = run_until_done(io, execute_tool(host::ToolCall{std::move(deep_name), Json::object()}));
  EXPECT_LE(r.output.size(), 70000u);
  EXPECT_NE(r.output.find("..."), std::string::npos);
}

TEST(Summaries, TheTypeErrorShowsTheArgumentsEscaped) {
  try {
    format_tool_args({"shell", "ls\x1b]0;pwned\x07"});
    FAIL();
  } catch (const TypeError& e) {
    for (unsigned char c : std::string(e.what())) EXPECT_FALSE(c < 0x20 || c == 0x7f) << e.what();
  }
}
