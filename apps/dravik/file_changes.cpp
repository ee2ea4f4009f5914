#include "file_changes.hpp"

#include "support/config.hpp"
#include "support/text.hpp"
#include "text_tools.hpp"

namespace dravik::app {

namespace {

bool non_empty_text(const Json* v) { return v && v->is_string() && !config::trim(v->get<std::string>()).empty(); }

bool looks_binary(std::string_view s) { return s.substr(0, 8192).find('\0') != std::string_view::npos; }

constexpr std::size_t kMaxDiffBytes = 4u << 20;  // larger changes are described, not diffed

}  // namespace

std::optional<hostlib::PreparedChange> prepare_file_change(const std::string& tool, const Json& args,
                                                           const std::filesystem::path& root) {
  if (!args.is_object()) return std::nullopt;
  const Json* path = config::find(args, "path");
  if (!non_empty_text(path)) return std::nullopt;
  if (tool == "write_file") {
    const Json* content = config::find(args, "content");
    if (!content || !content->is_string()) return std::nullopt;
    return hostlib::prepare_write_file(root, path->get<std::string>(), content->get<std::string>());
  }
  if (tool != "edit_file") return std::nullopt;
  // The same arguments the edit_file tool accepts.
  host::EditFileRequest request;
  const Json* patch = config::find(args, "patch");
  if (patch && !patch->is_null()) {
    if (!non_empty_text(patch)) return std::nullopt;
    request.patch = patch->get<std::string>();
  } else {
    const Json* old_s = config::find(args, "old_string");
    const Json* new_s = config::find(args, "new_string");
    if (!old_s || !old_s->is_string() || old_s->get_ref<const std::string&>().empty()) return std::nullopt;
    if (!new_s || !new_s->is_string()) return std::nullopt;
    request.old_string = old_s->get<std::string>();
    request.new_string = new_s->get<std::string>();
    const Json* all = config::find(args, "replace_all");
    request.replace_all = all && config::truthy(*all);
  }
  return hostlib::prepare_edit_file(root, path->get<std::string>(), request);
}

std::string change_diff(const hostlib::PreparedChange& c) {
  const std::string before = c.before.value_or("");
  const std::string path = text::escape_unambiguous(c.path, false);  // one line, whatever the model named
  auto size = [](std::size_t n) { return std::to_string(n) + " bytes"; };
  const std::string sizes = c.before ? size(before.size()) + " -> " + size(c.after.size()) : "new, " + size(c.after.size());
  if (looks_binary(before) || looks_binary(c.after)) return "binary file " + path + " (" + sizes + ")\n";
  if (before.size() + c.after.size() > kMaxDiffBytes) return "large file " + path + " (" + sizes + "; no diff shown)\n";
  if (c.before && before == c.after) return "no change to " + path + "\n";
  return hostlib::unified_diff(before, c.after, path);
}

std::vector<ShownLine> shown_diff(const std::string& diff, std::size_t max_lines) {
  std::vector<ShownLine> out;
  std::size_t start = 0, total = 0;
  while (start < diff.size()) {
    std::size_t nl = diff.find('\n', start);
    if (nl == std::string::npos) nl = diff.size();
    const std::string_view line(diff.data() + start, nl - start);
    start = nl + 1;
    if (++total > max_lines) continue;
    char kind = 'i';
    if (line.starts_with("--- ") || line.starts_with("+++ ")) kind = 'f';
    else if (line.starts_with("@@")) kind = '@';
    else if (!line.empty() && (line[0] == '+' || line[0] == '-' || line[0] == ' ')) kind = line[0];
    out.push_back({kind, text::escape_unambiguous(line, false)});
  }
  if (total > max_lines) out.push_back({'i', "... " + std::to_string(total - max_lines) + " more lines"});
  return out;
}

}  // namespace dravik::app
