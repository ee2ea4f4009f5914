// Plain POSIX file helpers whose failures are OSError with the path named.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace dravik::files {

// The whole file. Throws OSError (FileNotFoundError when missing).
std::string read_file(const std::string& path);
// The whole file, or nullopt on any operating-system error.
std::optional<std::string> try_read_file(const std::string& path);
// Writes all of `data` to `fd`, retrying short writes; `what` names the file
// in the error.
void write_all(int fd, std::string_view data, const std::string& what);

// Replaces `path` whole with `data`: a new file in the same directory,
// synced, renamed over the old one, the directory synced; `mode` for a new
// file. On any failure (a full disk, a read-only file system) the old file
// stays as it was and OSError names the file and the reason.
void replace_file(const std::string& path, std::string_view data, unsigned mode = 0600);
// The same for a file `tmp` the caller has written already: synced and
// renamed over `path`; removed on failure.
void commit_file(const std::string& tmp, const std::string& path);

// Opens the directory `name` beneath the open directory `parent`, creating
// it owner-only (0700) when missing, without following a link in its
// place; `created` says whether it was made. The descriptor is the
// caller's to close. Throws OSError naming `shown`.
int open_private_dir_at(int parent, const std::string& name, const std::string& shown, bool* created = nullptr);

// Creates `path` and its missing parents readable by the owner only (0700),
// and narrows an existing `path` of ours to 0700: it holds private work (a
// conversation, its KV cache). Throws OSError naming the path.
void create_private_directories(const std::string& path);

// The user's home directory: HOME when it is an absolute path, else the
// password database's entry for this user; nullopt when neither tells.
// The one place where the home is looked up, so that every part of dravik
// agrees on it and none falls back to the working directory.
std::optional<std::string> home_directory();

// True when `path` is `dir` or lies beneath it, judged on the names alone
// (both absolute and normal).
bool is_within(const std::filesystem::path& path, const std::filesystem::path& dir);

}  // namespace dravik::files
