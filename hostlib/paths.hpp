// Internal helpers of the file tools.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "resolver.hpp"

namespace dravik::hostlib::detail {

// A text file read up to `cap` bytes.
struct TextFile {
  std::string text;
  std::uint64_t size = 0;  // as far as known: the larger of stat's size and what was read
  bool size_known = true;  // false when the file held more than stat said (procfs, a growing file)
  bool truncated = false;
};
// Opens `given` beneath `root` without blocking and reads it as text;
// anything but a regular file is refused. The failure names the file as
// given: "a.txt does not exist", "a.txt is a binary file", ...
Result<TextFile> read_text(const Beneath& root, const std::string& given, std::size_t cap);
// The same for the entry `name` of the directory `dir` (from locate()),
// named `shown` in the failure.
Result<TextFile> read_text_at(int dir, const std::string& name, const std::string& shown, std::size_t cap);

bool looks_binary(std::string_view head);

}  // namespace dravik::hostlib::detail
