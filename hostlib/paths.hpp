// Internal helpers of the file tools.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace dravik::hostlib::detail {

// A model-written path resolved inside the working directory.
struct Resolved {
  std::filesystem::path path;  // absolute, symbolic links resolved
  std::string shown;           // as the model wrote it
  std::string error;           // "Error: ..." when refused
};
Resolved resolve_in(const std::filesystem::path& workdir, const std::string& given);

// `p` relative to the working directory when inside it.
std::string relative_to(const std::filesystem::path& p, const std::filesystem::path& workdir);

// A text file read up to `cap` bytes.
struct TextFile {
  bool ok = false;
  std::string text;
  std::uint64_t size = 0;
  bool truncated = false;
  std::string error;
};
TextFile read_text(const Resolved& r, std::size_t cap);

bool looks_binary(std::string_view head);

// Replaces `target` atomically (temporary file, fsync, rename), with
// `keep_mode` or the default mode. "" on success, else what failed.
std::string write_atomically(const std::filesystem::path& target, const std::string& content,
                             std::optional<mode_t> keep_mode);

}  // namespace dravik::hostlib::detail
