// Unified diffs written by a model, applied to one file's text. The hunk
// headers' counts decide where each hunk ends (so a removed "-- comment" or
// "--- old" line stays a line of the hunk), the context decides where it
// applies, and the file keeps its own line endings.
#include <algorithm>
#include <charconv>

#include "text_tools.hpp"

namespace dravik::hostlib {

namespace {

struct Line {
  std::string_view text;  // without its line ending
  std::string_view eol;   // "\n", "\r\n" or "" (the last line, unterminated)
};

std::vector<Line> split_file(std::string_view text) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back({text.substr(start), {}});
      break;
    }
    std::size_t end = nl;
    if (end > start && text[end - 1] == '\r') --end;
    lines.push_back({text.substr(start, end - start), text.substr(end, nl + 1 - end)});
    start = nl + 1;
  }
  return lines;
}

std::string_view strip_cr(std::string_view s) {
  if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
  return s;
}

// One line of a hunk's new side: a context line (taken from the file, at
// `old_index` of the hunk's old side) or an added line.
struct NewLine {
  bool context = false;
  std::size_t old_index = 0;
  std::string_view text;
  bool no_eol = false;  // followed by "\ No newline at end of file"
};

struct Hunk {
  std::string_view header;
  std::uint64_t old_start = 0, old_count = 1;
  std::vector<std::string_view> old_lines;
  std::vector<NewLine> new_lines;
  std::uint64_t new_count = 1;
};

struct Section {
  std::string old_name, new_name;
  bool saw_diff = false, saw_names = false;
  std::vector<Hunk> hunks;
};

// "12" or "12,5" after the sign; false for anything else (overflow included).
bool parse_range(std::string_view s, std::uint64_t& start, std::uint64_t& count) {
  const auto comma = s.find(',');
  const std::string_view a = s.substr(0, comma);
  if (a.empty()) return false;
  auto r = std::from_chars(a.data(), a.data() + a.size(), start);
  if (r.ec != std::errc() || r.ptr != a.data() + a.size()) return false;
  count = 1;
  if (comma == std::string_view::npos) return true;
  const std::string_view b = s.substr(comma + 1);
  if (b.empty()) return false;
  r = std::from_chars(b.data(), b.data() + b.size(), count);
  return r.ec == std::errc() && r.ptr == b.data() + b.size();
}

// "@@ -a[,b] +c[,d] @@ anything"
bool parse_header(std::string_view l, Hunk& h) {
  std::string_view rest = l.substr(2);
  auto word = [&rest]() {
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    std::size_t n = 0;
    while (n < rest.size() && rest[n] != ' ' && rest[n] != '\t') ++n;
    const std::string_view w = rest.substr(0, n);
    rest.remove_prefix(n);
    return w;
  };
  const std::string_view old_range = word(), new_range = word(), closing = word();
  std::uint64_t new_start = 0;
  return old_range.size() > 1 && old_range[0] == '-' && new_range.size() > 1 && new_range[0] == '+' &&
         closing.substr(0, 2) == "@@" && parse_range(old_range.substr(1), h.old_start, h.old_count) &&
         parse_range(new_range.substr(1), new_start, h.new_count);
}

// The file name of a "--- " or "+++ " line: without a date after a tab and
// without git's "a/" or "b/".
std::string file_name(std::string_view l) {
  std::string_view name = l.substr(4);
  if (const auto tab = name.find('\t'); tab != std::string_view::npos) name = name.substr(0, tab);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\r')) name.remove_suffix(1);
  if (name.size() > 2 && (name.substr(0, 2) == "a/" || name.substr(0, 2) == "b/")) name.remove_prefix(2);
  return std::string(name);
}

std::string normalized(std::string_view p) {
  while (p.substr(0, 2) == "./") p.remove_prefix(2);
  return std::string(p);
}

bool names_file(const Section& s, std::string_view path) {
  const std::string target = normalized(path);
  for (const std::string& n : {s.new_name, s.old_name}) {
    if (n.empty() || n == "/dev/null") continue;
    const std::string name = normalized(n);
    auto ends_with = [](const std::string& a, const std::string& b) {
      return a.size() > b.size() && a.compare(a.size() - b.size(), b.size(), b) == 0 && a[a.size() - b.size() - 1] == '/';
    };
    if (name == target || ends_with(name, target) || ends_with(target, name)) return true;
  }
  return false;
}

std::string section_label(const Section& s) {
  if (!s.new_name.empty() && s.new_name != "/dev/null") return s.new_name;
  return s.old_name.empty() ? "(unnamed)" : s.old_name;
}

bool block_at(const std::vector<Line>& lines, const std::vector<std::string_view>& block, std::size_t at) {
  if (at > lines.size() || block.size() > lines.size() - at) return false;
  for (std::size_t i = 0; i < block.size(); ++i)
    if (strip_cr(lines[at + i].text) != strip_cr(block[i])) return false;
  return true;
}

std::string hunk_name(int number, std::string_view header) {
  return "hunk " + std::to_string(number) + " (" + std::string(strip_cr(header)) + ")";
}

Failure invalid(std::string message) { return {ErrorKind::invalid, std::move(message)}; }

std::string quoted(std::string_view line) { return "'" + std::string(line.substr(0, 200)) + "'"; }

// ---------------------------------------------------------------- reading

// Reads a patch into its files' sections of hunks. Each hunk takes as many
// lines as its header counts; text between hunks (file headers, "index"
// lines, explanations) is no part of any hunk.
class PatchReader {
 public:
  explicit PatchReader(std::string_view patch) {
    for (std::size_t start = 0; start < patch.size();) {
      auto nl = patch.find('\n', start);
      if (nl == std::string_view::npos) nl = patch.size();
      lines_.push_back(strip_cr(patch.substr(start, nl - start)));
      start = nl + 1;
    }
  }

  Result<std::vector<Section>> read() && {
    while (i_ < lines_.size()) {
      const Result<> step = lines_[i_].substr(0, 2) == "@@" ? hunk() : between_hunks();
      if (!step) return step.error();
    }
    if (number_ == 0) return invalid("the patch has no hunks (\"@@ -a,b +c,d @@\")");
    return std::move(sections_);
  }

 private:
  // One line outside the hunks: a "diff" line or a pair of file headers
  // starts a new file's section.
  Result<> between_hunks() {
    const std::string_view l = lines_[i_];
    const bool names = l.substr(0, 4) == "--- " && i_ + 1 < lines_.size() && lines_[i_ + 1].substr(0, 4) == "+++ ";
    if (l.substr(0, 5) == "diff ") {
      const Section& cur = sections_.back();
      if (!cur.hunks.empty() || cur.saw_diff || cur.saw_names) sections_.emplace_back();
      sections_.back().saw_diff = true;
    } else if (names) {
      const Section& cur = sections_.back();
      if (!cur.hunks.empty() || cur.saw_names) sections_.emplace_back();
      Section& s = sections_.back();
      s.saw_names = true;
      s.old_name = file_name(l);
      s.new_name = file_name(lines_[i_ + 1]);
      after_hunk_ = false;
      i_ += 2;
      return {};
    } else if (after_hunk_ && !l.empty() && (l[0] == '+' || l[0] == '-' || l[0] == ' ') &&
               l.find_first_not_of(" \t") != std::string_view::npos) {
      return invalid(hunk_name(number_, sections_.back().hunks.back().header) +
                       " has more lines than its header counts: " + quoted(l));
    }
    after_hunk_ = false;
    ++i_;
    return {};
  }

  // The hunk whose header is the current line.
  Result<> hunk() {
    ++number_;
    Hunk h;
    h.header = lines_[i_];
    if (!parse_header(h.header, h))
      return invalid("cannot read the hunk header " + quoted(h.header) + " (expected \"@@ -a,b +c,d @@\")");
    ++i_;
    std::uint64_t old_seen = 0, new_seen = 0;
    take_body(h, old_seen, new_seen);
    if (old_seen < h.old_count || new_seen < h.new_count)
      if (auto padded = pad_trimmed_end(h, old_seen, new_seen); !padded) return padded;
    sections_.back().hunks.push_back(std::move(h));
    after_hunk_ = true;
    return {};
  }

  // The hunk's lines, as far as its header counts them (and a "\ No
  // newline at end of file" after its last line).
  void take_body(Hunk& h, std::uint64_t& old_seen, std::uint64_t& new_seen) {
    char last = 0;  // the kind of the previous hunk line
    for (; i_ < lines_.size(); ++i_) {
      const std::string_view b = lines_[i_];
      if (!b.empty() && b[0] == '\\') {  // "\ No newline at end of file" of the line before
        if ((last == '+' || last == ' ') && !h.new_lines.empty()) h.new_lines.back().no_eol = true;
        last = '\\';
        continue;
      }
      if (old_seen >= h.old_count && new_seen >= h.new_count) return;
      const char kind = b.empty() ? ' ' : b[0];  // an empty context line whose leading blank was lost
      const std::string_view body = b.empty() ? b : b.substr(1);
      if (kind == ' ' && old_seen < h.old_count && new_seen < h.new_count) {
        h.new_lines.push_back({true, h.old_lines.size(), body, false});
        h.old_lines.push_back(body);
        ++old_seen;
        ++new_seen;
      } else if (kind == '-' && old_seen < h.old_count) {
        h.old_lines.push_back(body);
        ++old_seen;
      } else if (kind == '+' && new_seen < h.new_count) {
        h.new_lines.push_back({false, 0, body, false});
        ++new_seen;
      } else {
        return;
      }
      last = kind;
    }
  }

  // A hunk shorter than its header counts: at the end of a patch whose
  // trailing blank context lines were trimmed away, those lines are put
  // back; anywhere else it is an error.
  Result<> pad_trimmed_end(Hunk& h, std::uint64_t old_seen, std::uint64_t new_seen) {
    const std::uint64_t missing_old = h.old_count - old_seen, missing_new = h.new_count - new_seen;
    if (i_ == lines_.size() && missing_old == missing_new && missing_old <= 2) {
      for (std::uint64_t k = 0; k < missing_old; ++k) {
        h.new_lines.push_back({true, h.old_lines.size(), {}, false});
        h.old_lines.emplace_back();
      }
      return {};
    }
    std::string error = hunk_name(number_, h.header) + " ends after " + std::to_string(old_seen) + " old and " +
                        std::to_string(new_seen) + " new lines, but its header counts " +
                        std::to_string(h.old_count) + " and " + std::to_string(h.new_count);
    if (i_ < lines_.size()) error += " (next line: " + quoted(lines_[i_]) + ")";
    return invalid(std::move(error));
  }

  std::vector<std::string_view> lines_;
  std::vector<Section> sections_{1};
  std::size_t i_ = 0;       // the next line to read
  int number_ = 0;          // hunks read so far
  bool after_hunk_ = false;  // the current line follows a hunk directly
};

// The sections to apply: the only one with hunks, or those naming `path`.
Result<std::vector<const Section*>> sections_for(const std::vector<Section>& sections, std::string_view path) {
  std::vector<const Section*> with_hunks;
  for (const Section& s : sections)
    if (!s.hunks.empty()) with_hunks.push_back(&s);
  if (with_hunks.size() == 1) return with_hunks;
  std::vector<const Section*> chosen;
  for (const Section* s : with_hunks)
    if (!path.empty() && names_file(*s, path)) chosen.push_back(s);
  if (!chosen.empty()) return chosen;
  std::string names;
  for (const Section* s : with_hunks) names += (names.empty() ? "" : ", ") + section_label(*s);
  return invalid("the patch changes several files (" + names + "); give only the hunks of " +
                   (path.empty() ? std::string("the file being edited") : std::string(path)));
}

// --------------------------------------------------------------- applying

// The line ending most of the file's lines have.
std::string_view dominant_eol(const std::vector<Line>& lines) {
  std::size_t crlf = 0, lf = 0;
  for (const Line& l : lines) {
    if (l.eol == "\r\n") ++crlf;
    else if (l.eol == "\n") ++lf;
  }
  return crlf > lf ? "\r\n" : "\n";
}

// Where a hunk's old lines are in the file: at the line its header states
// first, then ever farther from it, never before `floor` (hunks apply in
// order, never overlapping).
Result<std::size_t> locate_hunk(const std::vector<Line>& lines, const Hunk& h, std::size_t floor, int number) {
  const std::size_t n = lines.size();
  if (h.old_start > n)
    return invalid(hunk_name(number, h.header) + " starts at line " + std::to_string(h.old_start) +
                     ", past the end of the file (" + std::to_string(n) + " lines)");
  // The header's line as a position in the file (0-based); an insertion
  // ("-5,0") goes after its line.
  std::size_t stated = static_cast<std::size_t>(h.old_start);
  if (h.old_count > 0 && stated > 0) --stated;
  const std::size_t expected = std::clamp(stated, floor, n);
  if (h.old_lines.empty()) return expected;
  for (std::size_t d = 0; expected >= floor + d || expected + d <= n; ++d) {
    if (expected >= floor + d && block_at(lines, h.old_lines, expected - d)) return expected - d;
    if (d > 0 && expected + d <= n && block_at(lines, h.old_lines, expected + d)) return expected + d;
  }
  return invalid(hunk_name(number, h.header) + " does not match the file");
}

// The lines joined again; a line left without its ending in the middle
// (the file's old last line followed now by more) gets `eol`.
std::string joined(std::vector<Line>& out, std::string_view eol) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i].eol.empty() && i + 1 < out.size()) out[i].eol = eol;
    size += out[i].text.size() + out[i].eol.size();
  }
  std::string text;
  text.reserve(size);
  for (const Line& l : out) {
    text += l.text;
    text += l.eol;
  }
  return text;
}

Result<PatchedText> apply_sections(const std::string& text, const std::vector<const Section*>& chosen) {
  const std::vector<Line> lines = split_file(text);
  // Lines the patch adds take the file's line ending.
  const std::string_view eol = dominant_eol(lines);
  std::vector<Line> out;
  out.reserve(lines.size());
  std::size_t floor = 0;
  int applied = 0;
  for (const Section* s : chosen) {
    for (const Hunk& h : s->hunks) {
      const auto found = locate_hunk(lines, h, floor, ++applied);
      if (!found) return found.error();
      out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(floor),
                 lines.begin() + static_cast<std::ptrdiff_t>(*found));
      for (const NewLine& nl : h.new_lines) {
        Line l = nl.context ? lines[*found + nl.old_index] : Line{strip_cr(nl.text), eol};
        if (nl.no_eol) l.eol = {};
        out.push_back(l);
      }
      floor = *found + h.old_lines.size();
    }
  }
  out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(floor), lines.end());
  return PatchedText{joined(out, eol), applied};
}

}  // namespace

Result<PatchedText> apply_patch(const std::string& text, const std::string& patch, std::string_view path) {
  auto sections = PatchReader(patch).read();
  if (!sections) return sections.error();
  const auto chosen = sections_for(*sections, path);
  if (!chosen) return chosen.error();
  return apply_sections(text, *chosen);
}

Result<EditedText> compute_edit(const std::string& text, const host::EditFileRequest& request, std::string_view path) {
  if (request.patch) {
    auto p = apply_patch(text, *request.patch, path);
    if (!p) return invalid("the patch does not apply: " + p.error().message);
    return EditedText{std::move(p->text), p->hunks};
  }
  const std::string& old_s = request.old_string;
  if (old_s.empty()) return invalid("old_string is empty");
  std::size_t count = 0;
  for (std::size_t at = text.find(old_s); at != std::string::npos; at = text.find(old_s, at + old_s.size())) ++count;
  if (count == 0) return invalid("old_string was not found");
  if (count > 1 && !request.replace_all)
    return invalid("old_string matches " + std::to_string(count) +
                     " places; add surrounding lines to make it unique, or set replace_all");
  EditedText out;
  out.text.reserve(text.size());
  std::size_t from = 0;
  for (std::size_t at = text.find(old_s); at != std::string::npos; at = text.find(old_s, from)) {
    out.text.append(text, from, at - from);
    out.text += request.new_string;
    from = at + old_s.size();
    if (!request.replace_all) break;
  }
  out.text.append(text, from, std::string::npos);
  out.replacements = static_cast<std::int64_t>(request.replace_all ? count : 1);
  return out;
}

}  // namespace dravik::hostlib
