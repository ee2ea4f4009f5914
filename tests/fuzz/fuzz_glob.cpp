// Glob patterns against paths: against a plain backtracking matcher where
// that one is cheap (few "**" and stars), and in bounded time everywhere.
//
// Input: pattern NUL path.
#include <fnmatch.h>

#include <algorithm>

#include "fuzz_check.hpp"
#include "text_tools.hpp"

namespace {

std::vector<std::string> segments(std::string_view p) {
  const auto parts = dravik::hostlib::path_segments(p);
  return {parts.begin(), parts.end()};
}

// The obvious recursion over segments, with fnmatch for each name.
bool reference(const std::vector<std::string>& pat, std::size_t pi, const std::vector<std::string>& path,
               std::size_t si) {
  if (pi == pat.size()) return si == path.size();
  if (pat[pi] == "**") {
    for (std::size_t k = si; k <= path.size(); ++k)
      if (reference(pat, pi + 1, path, k)) return true;
    return false;
  }
  return si < path.size() && ::fnmatch(pat[pi].c_str(), path[si].c_str(), FNM_PERIOD) == 0 &&
         reference(pat, pi + 1, path, si + 1);
}

// Patterns whose meaning fnmatch shares (no classes, no quoting, no NUL),
// with few enough stars for the backtracking to stay quick.
bool comparable(std::string_view pattern, std::string_view path) {
  return pattern.find_first_of(std::string_view("[\\\0", 3)) == std::string_view::npos &&
         path.find('\0') == std::string_view::npos && path.size() <= 256 &&
         std::count(pattern.begin(), pattern.end(), '*') <= 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto f = fuzz::fields(data, size, 2);
  const bool got = dravik::hostlib::glob_match(f[0], f[1]);
  (void)dravik::hostlib::glob_match_name(f[0], f[1]);
  if (comparable(f[0], f[1])) FUZZ_CHECK(got == reference(segments(f[0]), 0, segments(f[1]), 0));
  return 0;
}
