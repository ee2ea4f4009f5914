// Unified diffs of two texts, line by line. The shortest edit script comes
// from dtl (Debian libdtl-dev); the hunks are grouped here so that the
// number of context lines is the caller's.
#include <dtl/dtl.hpp>

#include <vector>

#include "text_tools.hpp"

namespace dravik::hostlib {

namespace {

// The lines of `text`, each with its "\n" (the last one may lack it), so
// that a last line that gained or lost its newline counts as changed.
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    nl = nl == std::string_view::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(start, nl - start));
    start = nl;
  }
  return lines;
}

void append_line(std::string& out, char mark, std::string_view line) {
  out += mark;
  out += line;
  if (line.empty() || line.back() != '\n') out += "\n\\ No newline at end of file\n";
}

}  // namespace

std::string unified_diff(std::string_view before, std::string_view after, std::string_view path, int context) {
  if (before == after) return "";
  const std::size_t ctx = static_cast<std::size_t>(std::max(0, context));
  const std::vector<std::string_view> a = lines_of(before), b = lines_of(after);
  // The lines both sides start and end with take no part in the edit
  // script: only the middle is diffed, so that a small edit of a large file
  // costs what the edit costs; they join the script as common lines, so the
  // hunks get their context as from a diff of the whole.
  std::size_t lead = 0, trail = 0;
  while (lead < a.size() && lead < b.size() && a[lead] == b[lead]) ++lead;
  while (trail < a.size() - lead && trail < b.size() - lead && a[a.size() - 1 - trail] == b[b.size() - 1 - trail])
    ++trail;
  const std::vector<std::string_view> mid_a(a.begin() + static_cast<std::ptrdiff_t>(lead),
                                            a.end() - static_cast<std::ptrdiff_t>(trail)),
      mid_b(b.begin() + static_cast<std::ptrdiff_t>(lead), b.end() - static_cast<std::ptrdiff_t>(trail));
  dtl::Diff<std::string_view, std::vector<std::string_view>> d(mid_a, mid_b);
  d.compose();
  struct Element {
    std::string_view line;
    dtl::edit_t type;
  };
  std::vector<Element> ses;
  ses.reserve(lead + trail + mid_a.size() + mid_b.size());
  for (std::size_t i = 0; i < lead; ++i) ses.push_back({a[i], dtl::SES_COMMON});
  for (const auto& e : d.getSes().getSequence()) ses.push_back({e.first, e.second.type});
  for (std::size_t i = a.size() - trail; i < a.size(); ++i) ses.push_back({a[i], dtl::SES_COMMON});
  const std::size_t n = ses.size();
  // How many lines of each side come before each element of the script.
  std::vector<std::size_t> old_before(n + 1, 0), new_before(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) {
    old_before[k + 1] = old_before[k] + (ses[k].type != dtl::SES_ADD ? 1 : 0);
    new_before[k + 1] = new_before[k] + (ses[k].type != dtl::SES_DELETE ? 1 : 0);
  }
  std::string out = "--- a/" + std::string(path) + "\n+++ b/" + std::string(path) + "\n";
  std::size_t k = 0;
  while (k < n) {
    while (k < n && ses[k].type == dtl::SES_COMMON) ++k;
    if (k == n) break;
    // A hunk: from `ctx` lines before this change to `ctx` lines after the
    // last change that is at most 2 * ctx common lines from the previous.
    const std::size_t first = k > ctx ? k - ctx : 0;
    std::size_t last = k;  // one past the last change
    std::size_t j = k;
    while (j < n) {
      if (ses[j].type != dtl::SES_COMMON) {
        last = ++j;
        continue;
      }
      std::size_t common = j;
      while (common < n && ses[common].type == dtl::SES_COMMON) ++common;
      if (common == n || common - j > 2 * ctx) break;
      j = common;
    }
    const std::size_t end = std::min(n, last + ctx);
    const std::size_t old_count = old_before[end] - old_before[first], new_count = new_before[end] - new_before[first];
    const std::size_t old_start = old_before[first] + (old_count ? 1 : 0),
                      new_start = new_before[first] + (new_count ? 1 : 0);
    // A count of 1 is left out, as diff -u does.
    auto range = [](std::size_t start, std::size_t count) {
      return std::to_string(start) + (count == 1 ? "" : "," + std::to_string(count));
    };
    out += "@@ -" + range(old_start, old_count) + " +" + range(new_start, new_count) + " @@\n";
    for (std::size_t i = first; i < end; ++i) {
      const auto type = ses[i].type;
      append_line(out, type == dtl::SES_ADD ? '+' : type == dtl::SES_DELETE ? '-' : ' ', ses[i].line);
    }
    k = end;
  }
  return out;
}

}  // namespace dravik::hostlib
