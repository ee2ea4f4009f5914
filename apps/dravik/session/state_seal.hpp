// The saved conversation of a project (".dravik/state/swap") lives in the
// project directory, where a cloned repository could ship one of its own.
// Whenever dravik saves it, it also records a digest of the saved files in
// the user's product home; --resume loads only a state whose files still
// match that record.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace dravik::app {

// `n` bytes in lower-case hex.
std::string hex_of(const unsigned char* bytes, std::size_t n);
// SHA-256 of `data` in lower-case hex.
std::string sha256_of(std::string_view data);

// Records the digests of the state files in `state_dir` under `home`.
// Throws OSError when the record cannot be written.
void seal_state(const std::filesystem::path& state_dir, const std::filesystem::path& home);

// "" when the state in `state_dir` is the one this user's dravik saved last;
// otherwise why it is not to be trusted.
std::string check_state_seal(const std::filesystem::path& state_dir, const std::filesystem::path& home);

}  // namespace dravik::app
