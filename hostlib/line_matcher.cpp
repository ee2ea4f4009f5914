// grep's matching: RE2 (linear time, bounded stack, whatever the pattern or
// the length of a line), with a plain substring search for patterns that
// hold no special character.
#include <string.h>

#include <algorithm>

#include <re2/re2.h>

#include "text_tools.hpp"

namespace dravik::hostlib {

namespace {

bool is_literal(const std::string& p) { return p.find_first_of("\\^$.|?*+()[]{}") == std::string::npos; }

}  // namespace

Result<LineMatcher> LineMatcher::compile(const std::string& pattern, bool ignore_case) {
  LineMatcher m;
  if (is_literal(pattern) && !ignore_case) {
    m.literal_ = pattern;
    m.use_literal_ = true;
    return m;
  }
  RE2::Options o;
  o.set_log_errors(false);
  o.set_case_sensitive(!ignore_case);
  o.set_never_nl(true);  // a match never spans lines
  o.set_literal(is_literal(pattern));
  o.set_max_mem(64 << 20);
  // "^" and "$" at every line's start and end: a flag prefix, which opens
  // no group the pattern could close.
  m.re_ = std::make_unique<RE2>(o.literal() ? pattern : "(?m)" + pattern, o);
  if (!m.re_->ok()) {
    const RE2 alone(pattern, o);  // the error in the pattern's own terms
    return Failure{ErrorKind::invalid, alone.ok() ? m.re_->error() : alone.error()};
  }
  return m;
}

LineMatcher::~LineMatcher() = default;
LineMatcher::LineMatcher(LineMatcher&&) noexcept = default;
LineMatcher& LineMatcher::operator=(LineMatcher&&) noexcept = default;

bool LineMatcher::for_each_match(std::string_view content,
                                 const std::function<bool(std::string_view, std::size_t)>& on_line) const {
  if (!use_literal_ && !re_) return true;  // moved from: matches nothing
  std::size_t pos = 0, counted_to = 0, number = 1;
  while (pos < content.size()) {
    std::size_t at;
    if (use_literal_) {
      const void* hit = ::memmem(content.data() + pos, content.size() - pos, literal_.data(), literal_.size());
      if (!hit) break;
      at = static_cast<std::size_t>(static_cast<const char*>(hit) - content.data());
    } else {
      re2::StringPiece m;
      if (!re_->Match(re2::StringPiece(content.data(), content.size()), pos, content.size(), RE2::UNANCHORED, &m, 1))
        break;
      at = static_cast<std::size_t>(m.data() - content.data());
    }
    // The matching line: from after the last line break before the match
    // (never before `pos`, a line start) to the next one.
    std::size_t start = at;
    while (start > pos && content[start - 1] != '\n') --start;
    const auto nl = content.find('\n', at);
    const std::size_t end = nl == std::string_view::npos ? content.size() : nl;
    number += static_cast<std::size_t>(std::count(content.begin() + static_cast<std::ptrdiff_t>(counted_to),
                                                  content.begin() + static_cast<std::ptrdiff_t>(start), '\n'));
    counted_to = start;
    if (!on_line(content.substr(start, end - start), number)) return false;
    pos = end + 1;
  }
  return true;
}

}  // namespace dravik::hostlib
