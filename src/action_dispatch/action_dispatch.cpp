#include "action_dispatch/action_dispatch.hpp"

#include <filesystem>
#include <limits>

#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

namespace dravik::action_dispatch {

namespace asio = boost::asio;

namespace {

std::shared_ptr<eviction_coordinator::EvictionCoordinator>& installed_coordinator() {
  static std::shared_ptr<eviction_coordinator::EvictionCoordinator> slot;
  return slot;
}

// A result that refuses the call: `output` as the model reads it, meta
// {"ok": false}.
ToolExecutionResult refusal(std::string output) { return {std::move(output), Json{{"ok", false}}}; }
ToolExecutionResult refusal(const Failure& why) { return refusal(tool_text(why)); }

// "invalid arguments for <tool> (<what>)", the answer to bad arguments.
Failure invalid_arguments(const char* tool, const char* what) {
  return {ErrorKind::invalid, std::string("invalid arguments for ") + tool + " (" + what + ")"};
}

// Defaults of missing keys. Lookups hand out references: a model-written
// value is never copied, since a copy of a value nested tens of thousands
// deep recurses that deep.
const Json kEmptyText = "";
const Json kNull = nullptr;
const Json kFalse = false;

// Value of `key` in the arguments map, or `fallback` when the key is
// missing (a null value stays null).
const Json& get(const Json& args, const char* key, const Json& fallback) {
  auto it = args.find(key);
  return it == args.end() ? fallback : *it;
}

// A value handed on to the host as it is, unless it is a list or map nested
// too deep to copy safely: that is passed as its bounded text form.
Json pass_on(const Json& v) {
  if (!v.is_structured()) return v;
  std::vector<std::pair<const Json*, std::size_t>> stack{{&v, 1}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (depth > 64) return config::bounded_text_form(v);
    for (const auto& child : *node)
      if (child.is_structured()) stack.emplace_back(&child, depth + 1);
  }
  return v;
}

bool non_empty_text(const Json& v) { return v.is_string() && !config::trim(v.get_ref<const std::string&>()).empty(); }

// JSON integers in the 64-bit range only: booleans, floats such as 30.0 and
// integers from 2^63 up are not integers.
bool is_integer(const Json& v) { return config::json_int64(v).has_value(); }

std::int64_t as_int64(const Json& v) { return *config::json_int64(v); }

Json optional_int(const std::optional<std::int64_t>& v) { return v ? Json(*v) : Json(); }

// ------------------------------------------------------------- validators
//
// One per tool: the arguments as the tool takes them, or the failure whose
// text is the answer. Each key is looked up afresh, as given.

struct ShellArguments {
  std::string command;
  std::int64_t timeout_seconds;
};
Result<ShellArguments> shell_request(const Json& args) {
  const Json& command = get(args, "command", kEmptyText);
  const Json& timeout = get(args, "timeout_seconds", kNull);
  if (!non_empty_text(command)) return invalid_arguments("shell", "required: command");
  if (!timeout.is_null() && !is_integer(timeout)) return invalid_arguments("shell", "timeout_seconds must be int");
  if (!timeout.is_null() && as_int64(timeout) <= 0) return invalid_arguments("shell", "timeout_seconds must be > 0");
  return ShellArguments{command.get<std::string>(),
                        timeout.is_null() ? host::DEFAULT_SHELL_TIMEOUT_SECONDS : as_int64(timeout)};
}

// The non-empty text "path" of read_file and load_file.
Result<std::string> path_request(const Json& args, const char* tool) {
  const Json& path = get(args, "path", kEmptyText);
  if (!non_empty_text(path)) return invalid_arguments(tool, "required: path");
  return path.get<std::string>();
}

struct MemoryArguments {
  std::string scope, action, content;
};
Result<MemoryArguments> memory_request(const Json& args) {
  const Json& scope = get(args, "scope", kEmptyText);
  const Json& action = get(args, "action", kEmptyText);
  const Json& content = get(args, "content", kEmptyText);
  if (!non_empty_text(scope) || !non_empty_text(action)) return invalid_arguments("memory", "required: scope, action");
  if (!content.is_string()) return invalid_arguments("memory", "content must be string");
  return MemoryArguments{scope.get<std::string>(), action.get<std::string>(), content.get<std::string>()};
}

struct LoadArguments {
  std::string path;
  std::optional<std::int64_t> max_tokens;
};
Result<LoadArguments> load_file_request(const Json& args) {
  auto path = path_request(args, "load_file");
  if (!path) return path.error();
  const Json& max_tokens = get(args, "max_tokens", kNull);
  if (!max_tokens.is_null() && !is_integer(max_tokens)) return invalid_arguments("load_file", "max_tokens must be int");
  LoadArguments a{std::move(*path), std::nullopt};
  if (!max_tokens.is_null()) a.max_tokens = as_int64(max_tokens);
  return a;
}

// The non-empty text "pattern" of glob and grep.
Result<std::string> pattern_request(const Json& args, const char* tool) {
  const Json& pattern = get(args, "pattern", kEmptyText);
  if (!non_empty_text(pattern)) return invalid_arguments(tool, "required: pattern");
  return pattern.get<std::string>();
}

// ------------------------------------------------------------------ tools

// The service's text results carry their failure in their text: the shell
// executor's contract fixes that a failed read_file answers a text starting
// "Error:" and the other text tools one starting "Error". This is the one
// place that reads it.
constexpr const char* kReadFailure = "Error:";  // read_file's
constexpr const char* kTextFailure = "Error";   // write_file's, glob's, grep's and list_directory's
ToolExecutionResult text_result(std::string text, const char* failure_prefix) {
  const bool ok = !text::starts_with(text, failure_prefix);
  return {std::move(text), Json{{"ok", ok}}};
}

asio::awaitable<ToolExecutionResult> run_shell_tool(const Json& args) {
  auto request = shell_request(args);
  if (!request) co_return refusal(request.error());
  const std::int64_t effective = request->timeout_seconds;
  const std::string& cmd = request->command;

  host::ExecResult res;
  Json swap_meta = Json::object();
  auto coordinator = installed_coordinator();  // the one installed when the branch runs
  if (coordinator && coordinator->should_unload(0)) {
    auto swap = co_await coordinator->run_with_swap(cmd, effective);
    res = std::move(swap.exec_result);
    swap_meta = Json{{"swapped", swap.unloaded},
                     {"swap_reload_ok", swap.reload_ok},
                     {"swap_restore_ok", swap.restore_ok},
                     {"swap_duration_s", swap.swap_duration_s}};
  } else {
    res = co_await host::shell_executor().run_shell(cmd, effective);
  }
  Json meta = {{"ok", res.ok},
               {"exit_code", optional_int(res.exit_code)},
               {"stdout", res.stdout_text},
               {"stderr", res.stderr_text},
               {"timed_out", res.timed_out},
               {"timeout_seconds", res.timeout_seconds}};
  for (auto it = swap_meta.begin(); it != swap_meta.end(); ++it) meta[it.key()] = it.value();
  co_return ToolExecutionResult{res.summary, std::move(meta)};
}

asio::awaitable<ToolExecutionResult> run_memory_tool(const Json& args) {
  auto request = memory_request(args);
  if (!request) co_return refusal(request.error());
  std::optional<std::string> text;
  std::string rejection;
  try {
    text = co_await host::memory_notes_store().update_persistent_memory(std::filesystem::current_path().string(),
                                                                        request->scope, request->action,
                                                                        request->content);
  } catch (const ValueError& e) {
    rejection = e.what();
  }
  if (!text) co_return refusal(Failure{ErrorKind::invalid, rejection});
  co_return ToolExecutionResult{*text, Json{{"ok", true}, {"scope", request->scope}, {"action", request->action}}};
}

asio::awaitable<ToolExecutionResult> run_edit_tool(const Json& args) {
  auto request = edit_file_request(args);
  if (!request) co_return refusal(request.error());
  auto result = co_await host::shell_executor().edit_file(std::move(request->path), std::move(request->request));
  co_return ToolExecutionResult{result.output, Json{{"ok", result.ok},
                                                    {"internal_retry", result.internal_retry},
                                                    {"replacements", result.replacements},
                                                    {"match_strategy", result.match_strategy},
                                                    {"validation_error", result.validation_error}}};
}

asio::awaitable<ToolExecutionResult> run_load_tool(const Json& args) {
  auto request = load_file_request(args);
  if (!request) co_return refusal(request.error());
  auto loaded = co_await host::shell_executor().load_file(std::move(request->path), request->max_tokens);
  if (!loaded.ok) co_return refusal(loaded.detail);
  co_return ToolExecutionResult{config::text_form(loaded.summary) + "\ncontent:\n" + config::text_form(loaded.content),
                                Json{{"ok", true},
                                     {"truncated", loaded.truncated},
                                     {"estimated_tokens", loaded.estimated_tokens},
                                     {"returned_tokens", loaded.returned_tokens},
                                     {"token_budget", loaded.token_budget},
                                     {"mem_available_mb", loaded.mem_available_mb}}};
}

asio::awaitable<ToolExecutionResult> run_read_tool(const Json& args) {
  auto path = path_request(args, "read_file");
  if (!path) co_return refusal(path.error());
  co_return text_result(co_await host::shell_executor().read_file(std::move(*path)), kReadFailure);
}

asio::awaitable<ToolExecutionResult> run_write_tool(const Json& args) {
  auto request = write_file_request(args);
  if (!request) co_return refusal(request.error());
  co_return text_result(
      co_await host::shell_executor().write_file(std::move(request->path), std::move(request->content)), kTextFailure);
}

asio::awaitable<ToolExecutionResult> run_glob_tool(const Json& args) {
  auto pattern = pattern_request(args, "glob");
  if (!pattern) co_return refusal(pattern.error());
  co_return text_result(co_await host::shell_executor().glob_files(std::move(*pattern), pass_on(get(args, "path", kNull))),
                        kTextFailure);
}

asio::awaitable<ToolExecutionResult> run_grep_tool(const Json& args) {
  auto pattern = pattern_request(args, "grep");
  if (!pattern) co_return refusal(pattern.error());
  co_return text_result(co_await host::shell_executor().grep_files(std::move(*pattern), pass_on(get(args, "path", kNull)),
                                                                   pass_on(get(args, "glob", kNull)),
                                                                   config::truthy(get(args, "ignore_case", kFalse))),
                        kTextFailure);
}

asio::awaitable<ToolExecutionResult> run_list_tool(const Json& args) {
  co_return text_result(co_await host::shell_executor().list_directory(pass_on(get(args, "path", kNull))), kTextFailure);
}

}  // namespace

bool ToolExecutionResult::ok() const {
  if (!meta.is_object()) return false;
  auto it = meta.find("ok");
  return it != meta.end() && config::truthy(*it);
}

void set_eviction_coordinator(std::shared_ptr<eviction_coordinator::EvictionCoordinator> manager) {
  installed_coordinator() = std::move(manager);
}

Result<WriteFileArguments> write_file_request(const Json& args) {
  if (!args.is_object()) return Failure{ErrorKind::invalid, "invalid arguments for write_file"};
  const Json& path = get(args, "path", kEmptyText);
  // A missing content is an error, not an empty file: a call cut short
  // would otherwise empty the file it names.
  const Json& content = get(args, "content", kNull);
  if (!non_empty_text(path) || !content.is_string()) return invalid_arguments("write_file", "required: path, content");
  return WriteFileArguments{path.get<std::string>(), content.get<std::string>()};
}

Result<EditFileArguments> edit_file_request(const Json& args) {
  if (!args.is_object()) return Failure{ErrorKind::invalid, "invalid arguments for edit_file"};
  const Json& path = get(args, "path", kEmptyText);
  const Json& patch = get(args, "patch", kNull);
  const Json& old_string = get(args, "old_string", kEmptyText);
  // Missing, it is an error, not a deletion of old_string.
  const Json& new_string = get(args, "new_string", kNull);
  const Json& replace_all = get(args, "replace_all", kFalse);
  if (!non_empty_text(path)) return invalid_arguments("edit_file", "required: path");
  EditFileArguments a;
  a.path = path.get<std::string>();
  a.request.return_result = true;
  if (!patch.is_null()) {
    // With a patch, old_string and new_string are not looked at.
    if (!non_empty_text(patch)) return invalid_arguments("edit_file", "patch must be a non-empty string");
    a.request.patch = patch.get<std::string>();
    return a;
  }
  if (!old_string.is_string() || old_string.get_ref<const std::string&>().empty())
    return invalid_arguments("edit_file", "required: patch or old_string");
  if (!new_string.is_string()) return invalid_arguments("edit_file", "required: new_string");
  a.request.old_string = old_string.get<std::string>();
  a.request.new_string = new_string.get<std::string>();
  a.request.replace_all = config::truthy(replace_all);
  return a;
}

asio::awaitable<ToolExecutionResult> execute_tool(host::ToolCall tool_call) {
  const Json& args = tool_call.arguments;
  const std::string name_text = config::bounded_text_form(tool_call.name);
  if (!args.is_object()) co_return refusal(Failure{ErrorKind::invalid, "invalid arguments for " + name_text});
  const std::string name = tool_call.name.is_string() ? tool_call.name.get<std::string>() : std::string();
  if (!tool_call.name.is_string()) co_return refusal("Unknown tool: " + name_text);

  // In the order the tools are matched; the first match runs.
  using Runner = asio::awaitable<ToolExecutionResult> (*)(const Json&);
  static const std::pair<const char*, Runner> kTools[] = {
      {"shell", run_shell_tool},     {"read_file", run_read_tool}, {"memory", run_memory_tool},
      {"write_file", run_write_tool}, {"load_file", run_load_tool}, {"edit_file", run_edit_tool},
      {"glob", run_glob_tool},        {"grep", run_grep_tool},      {"list_directory", run_list_tool}};
  for (const auto& [tool, run] : kTools)
    if (name == tool) co_return co_await run(args);
  co_return refusal("Unknown tool: " + name_text);
}

std::string format_tool_args(const host::ToolCall& tool_call) {
  return format_tool_args(tool_call, [](std::string_view piece) { return text::escape_controls(piece); });
}

std::string format_tool_args(const host::ToolCall& tool_call,
                             const std::function<std::string(std::string_view)>& show) {
  const Json& args = tool_call.arguments;
  const std::string name = tool_call.name.is_string() ? tool_call.name.get<std::string>() : std::string();
  static const char* const kKnown[] = {"shell",     "memory",    "read_file", "write_file",    "load_file",
                                       "edit_file", "glob",      "grep",      "list_directory"};
  bool known = false;
  for (const char* k : kKnown) known = known || (tool_call.name.is_string() && name == k);
  if (known && !args.is_object())
    throw TypeError("arguments of tool '" + text::escape_controls(name) + "' must be a map, got " +
                    text::escape_controls(config::bounded_text_form(args)));

  // Model-written values are shown through the bounded writer: no nesting
  // depth or width can exhaust the stack or flood the display.
  auto whole = [&] { return show(config::bounded_text_form(args)); };
  auto text_of = [&](const char* key) {
    auto it = args.find(key);
    return it == args.end() ? whole() : show(config::bounded_text_form(*it));
  };
  if (!known) return whole();
  if (name == "shell") {
    std::string summary = "$ " + text_of("command");
    // Shown only when the dispatcher would accept it as an integer.
    auto t = args.find("timeout_seconds");
    if (t != args.end() && is_integer(*t)) summary += " (timeout: " + config::text_form(*t) + "s)";
    return summary;
  }
  if (name == "memory") {
    auto scope = args.find("scope");
    auto action = args.find("action");
    return show(config::trim((action == args.end() ? "" : config::bounded_text_form(*action)) + " " +
                             (scope == args.end() ? "" : config::bounded_text_form(*scope))));
  }
  if (name == "glob" || name == "grep") return text_of("pattern");
  if (name == "list_directory") {
    auto p = args.find("path");
    return p == args.end() || !config::truthy(*p) ? "." : show(config::bounded_text_form(*p));
  }
  return text_of("path");
}

}  // namespace dravik::action_dispatch
