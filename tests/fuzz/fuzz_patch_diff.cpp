// Differential: two texts built from the input, a unified diff of them made
// here, applied to the first; the result must be the second, byte for byte.
// The lines are drawn from ones that look like patch syntax ("--", "--- a",
// "+++ b", "@@", "\ x", blank), in LF or CR LF files, with or without a
// final newline on either side, sometimes behind file headers and another
// file's section.
#include "fuzz_check.hpp"
#include "text_tools.hpp"

namespace {

const char* const kLines[] = {"a", "b", "c", "", " ", "--", "-- x", "--- a", "+++ b", "++", "@@ x", "@@ -1 +1 @@",
                              "\\ x", "-", "+", "diff --git a/f b/f", "x y", "\t"};
constexpr std::size_t kLineCount = sizeof(kLines) / sizeof(kLines[0]);

struct Text {
  std::vector<std::string> lines;
  bool final_newline = true;
};

// The text; the last line empty without a final newline cannot be written
// (it would read back as a final newline), so it becomes one.
void normalize(Text& t) {
  if (!t.lines.empty() && !t.final_newline && t.lines.back().empty()) {
    t.lines.pop_back();
    t.final_newline = true;
  }
}

std::string join(const Text& t, std::string_view eol) {
  std::string out;
  for (std::size_t i = 0; i < t.lines.size(); ++i) {
    out += t.lines[i];
    if (i + 1 < t.lines.size() || t.final_newline) out += eol;
  }
  return out;
}

// A line as diff compares it: its text, and whether it is the last one of a
// text without a final newline.
bool same(const Text& a, std::size_t i, const Text& b, std::size_t j) {
  const bool a_open = i + 1 == a.lines.size() && !a.final_newline;
  const bool b_open = j + 1 == b.lines.size() && !b.final_newline;
  return a.lines[i] == b.lines[j] && a_open == b_open;
}

struct Op {
  char kind;  // ' ', '-', '+'
  std::size_t a, b;  // positions in the old and new text before this op
};

std::vector<Op> edit_script(const Text& a, const Text& b) {
  const std::size_t n = a.lines.size(), m = b.lines.size();
  std::vector<std::vector<std::uint16_t>> lcs(n + 1, std::vector<std::uint16_t>(m + 1, 0));
  for (std::size_t i = n; i-- > 0;)
    for (std::size_t j = m; j-- > 0;)
      lcs[i][j] = same(a, i, b, j) ? static_cast<std::uint16_t>(lcs[i + 1][j + 1] + 1)
                                   : std::max(lcs[i + 1][j], lcs[i][j + 1]);
  std::vector<Op> ops;
  std::size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && same(a, i, b, j)) ops.push_back({' ', i++, j++});
    else if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) ops.push_back({'-', i++, j});
    else ops.push_back({'+', i, j++});
  }
  return ops;
}

std::string unified(const Text& a, const Text& b, std::size_t context, std::string_view patch_eol) {
  const std::vector<Op> ops = edit_script(a, b);
  std::string out;
  const std::string no_newline = "\\ No newline at end of file" + std::string(patch_eol);
  std::size_t k = 0;
  while (k < ops.size()) {
    while (k < ops.size() && ops[k].kind == ' ') ++k;
    if (k == ops.size()) break;
    // The hunk: `context` lines before the first change, and until a run of
    // more than 2 x context unchanged lines (or the end).
    const std::size_t first = k >= context ? k - context : 0;
    std::size_t last = k;  // one past the last change
    for (std::size_t q = k; q < ops.size(); ++q) {
      if (ops[q].kind != ' ') last = q + 1;
      else if (q - last >= 2 * context) break;
    }
    const std::size_t end = std::min(ops.size(), last + context);
    std::size_t old_n = 0, new_n = 0;
    for (std::size_t q = first; q < end; ++q) {
      old_n += ops[q].kind != '+';
      new_n += ops[q].kind != '-';
    }
    const std::size_t old_start = old_n ? ops[first].a + 1 : ops[first].a;
    const std::size_t new_start = new_n ? ops[first].b + 1 : ops[first].b;
    out += "@@ -" + std::to_string(old_start) + "," + std::to_string(old_n) + " +" + std::to_string(new_start) + "," +
           std::to_string(new_n) + " @@" + std::string(patch_eol);
    for (std::size_t q = first; q < end; ++q) {
      const Op& op = ops[q];
      const std::string& line = op.kind == '+' ? b.lines[op.b] : a.lines[op.a];
      out += op.kind + line + std::string(patch_eol);
      const bool old_open = op.kind != '+' && op.a + 1 == a.lines.size() && !a.final_newline;
      const bool new_open = op.kind != '-' && op.b + 1 == b.lines.size() && !b.final_newline;
      if (old_open || new_open) out += no_newline;
    }
    k = end;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Bytes in(data, size);
  const std::uint8_t flags = in.next();
  const bool crlf = flags & 1, crlf_patch = flags & 2, headers = flags & 4, other_file = flags & 8;
  const std::size_t context = (flags >> 4) & 3;
  Text a, b;
  a.final_newline = !(flags & 64);
  b.final_newline = !(flags & 128);
  // The old text, then the new one as edits of it.
  const std::size_t n = in.next() % 48;
  for (std::size_t i = 0; i < n; ++i) a.lines.emplace_back(kLines[in.next() % kLineCount]);
  for (const std::string& line : a.lines) {
    const std::uint8_t op = in.next();
    if (op % 4 == 1) continue;                                             // removed
    if (op % 4 == 2) b.lines.emplace_back(kLines[(op >> 2) % kLineCount]);  // inserted before
    if (op % 4 == 3) b.lines.emplace_back(kLines[(op >> 2) % kLineCount]);  // replaced
    else b.lines.push_back(line);
  }
  while (!in.empty()) b.lines.emplace_back(kLines[in.next() % kLineCount]);
  normalize(a);
  normalize(b);
  // Added lines take the file's line ending; a file with none has LF.
  const bool a_has_eol = a.lines.size() > 1 || (a.lines.size() == 1 && a.final_newline);
  const std::string_view eol = crlf && a_has_eol ? "\r\n" : "\n";
  const std::string old_text = join(a, eol), new_text = join(b, eol);

  const std::string_view patch_eol = crlf_patch ? "\r\n" : "\n";
  std::string patch;
  if (other_file) patch += "--- a/other.txt\n+++ b/other.txt\n@@ -1 +1 @@\n-x\n+y\n";
  if (headers || other_file) patch += "diff --git a/src/f.sql b/src/f.sql\n--- a/src/f.sql\n+++ b/src/f.sql\n";
  const std::string hunks = unified(a, b, context, patch_eol);
  patch += hunks;

  const auto r = dravik::hostlib::apply_patch(old_text, patch, "src/f.sql");
  if (hunks.empty()) {
    FUZZ_CHECK(!r.ok() || other_file);
    return 0;
  }
  if (!r)
    std::fprintf(stderr, "old:\n%s\npatch:\n%s\nerror: %s\n", old_text.c_str(), patch.c_str(),
                 r.error().message.c_str());
  FUZZ_CHECK(r.ok());
  if (r->text != new_text)
    std::fprintf(stderr, "old:\n%s\npatch:\n%s\nexpected:\n%s\ngot:\n%s\n", old_text.c_str(), patch.c_str(),
                 new_text.c_str(), r->text.c_str());
  FUZZ_CHECK(r->text == new_text);
  return 0;
}
