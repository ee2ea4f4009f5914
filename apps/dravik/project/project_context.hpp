// Project instructions for dravik chat: the AGENTS.md files read at the
// start of a session (the user's own in the product home, then the
// project's in the working directory) and added to the system prompt after
// its fixed text, each within a share of the context window.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dravik::app {

// The cost of a text until the server counts it: three characters a token.
inline constexpr double kCharsPerTokenEstimate = 3.0;

struct InstructionFile {
  std::string shown;               // how the file is named to the user ("AGENTS.md", "~/.dravik/AGENTS.md")
  std::string heading;             // how the model is told where it comes from
  std::string text;                // what was read (valid UTF-8, perhaps cut)
  std::uintmax_t file_bytes = 0;   // the file's size
  bool cut = false;                // only the first part was read
  std::int64_t tokens = 0;         // of `text`
  bool counted = false;            // `tokens` counted by the server (else estimated)
};

// Reads `path` safely for the model: a regular file only (a FIFO or a
// device is never opened for reading, so nothing blocks), at most
// `max_chars` bytes of it, cut at the last line break within them when the
// file is longer, invalid UTF-8 replaced. Nullopt when there is no file;
// `problem` says why an existing one was not read. `confined`: links are
// followed only while they stay in the file's directory.
std::optional<InstructionFile> read_instruction_file(const std::filesystem::path& path, std::size_t max_chars,
                                                     std::string& problem, bool confined = false);

// Cuts `text` to at most `max_chars` bytes at a line break (or, in a single
// long line, at a character boundary). True when it cut.
bool cut_at_line(std::string& text, std::size_t max_chars);

// The project's top: the nearest directory from `workdir` up that holds
// ".git", else `workdir` itself. Only directories of this user that others
// cannot write are looked at, and none from the home directory `home` up.
std::filesystem::path project_root(const std::filesystem::path& workdir, const std::filesystem::path& home);

// The instruction files in force: the global one (`home`/AGENTS.md), then the
// project's, from its root (project_root) down to `workdir` (each file once,
// whatever links lead to it), each cut to `max_tokens` estimated at
// `chars_per_token`. `notes` gets a line for each file that was cut or could
// not be read; a file that is not text is not read.
std::vector<InstructionFile> read_instructions(const std::filesystem::path& home, const std::filesystem::path& workdir,
                                               std::int64_t max_tokens, double chars_per_token,
                                               std::vector<std::string>& notes);

// What follows the fixed system prompt: every file under a heading, global
// first, so that the project's instructions can refine the user's. Empty
// without files.
std::string instructions_section(const std::vector<InstructionFile>& files);

// Counts each file's cost with `count` (the tokens of one user message of
// that content; nullopt when nobody can tell), cuts a file that costs more
// than `max_tokens` again, and says in `notes` how much of each cut file
// was read (of a `context`-token window).
using TokenCounter = std::function<std::optional<std::int64_t>(const std::string& content)>;
void count_instructions(std::vector<InstructionFile>& files, std::int64_t max_tokens, std::int64_t context,
                        const TokenCounter& count, std::vector<std::string>& notes);

// The files read and their cost, for /status.
std::string instructions_status(const std::vector<InstructionFile>& files);

// The user message of /init: look at the project and propose its AGENTS.md
// (an improved one when `exists`).
std::string init_instruction(bool exists);

}  // namespace dravik::app
