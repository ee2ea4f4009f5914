#include "project/project_context.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "provisioning/provisioning.hpp"
#include "resolver.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFileName = "AGENTS.md";

std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

std::int64_t estimate(std::size_t chars) {
  return static_cast<std::int64_t>(static_cast<double>(chars) / kCharsPerTokenEstimate + 0.5);
}

// The text as the model reads it under its heading.
std::string file_section(const InstructionFile& f) {
  std::string s = f.heading + ":\n" + f.text;
  if (!s.empty() && s.back() != '\n') s += "\n";
  if (f.cut) s += "[... the rest of this file was not read: it is too long ...]\n";
  return s;
}

}  // namespace

bool cut_at_line(std::string& text, std::size_t max_chars) {
  if (text.size() <= max_chars) return false;
  const std::size_t nl = max_chars == 0 ? std::string::npos : text.rfind('\n', max_chars - 1);
  if (nl != std::string::npos && nl > 0) {
    text.resize(nl + 1);
  } else {
    // One long line: cut before a character that starts at `max_chars`.
    std::size_t end = max_chars;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
  }
  return true;
}

std::optional<InstructionFile> read_instruction_file(const fs::path& path, std::size_t max_chars,
                                                     std::string& problem, bool confined) {
  problem.clear();
  struct stat st {};
  int fd = -1;
  if (confined) {
    // A file of the project is opened beneath the project directory: a link
    // a cloned repository ships in its place (to ~/.ssh/..., /proc/self/environ)
    // is followed only while it stays inside. A FIFO opens without blocking
    // and is refused below.
    const hostlib::detail::Beneath base(path.parent_path());
    fd = base.open(path.filename().string(), O_RDONLY | O_NONBLOCK);
    if (fd == -ENOENT || fd == -ENOTDIR) return std::nullopt;
    if (fd < 0) {
      problem = fd == -EXDEV ? "leads outside the project: not read"
                             : std::string("cannot be read (") + std::strerror(-fd) + ")";
      return std::nullopt;
    }
  } else {
    if (::stat(path.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) problem = std::string("cannot be read (") + std::strerror(errno) + ")";
      return std::nullopt;
    }
    // Only a regular file is opened: opening a FIFO or a device could block
    // or act on the device.
    if (!S_ISREG(st.st_mode)) {
      problem = "is not a regular file: not read";
      return std::nullopt;
    }
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      problem = std::string("cannot be read (") + std::strerror(errno) + ")";
      return std::nullopt;
    }
  }
  // The file may have been replaced since the first look.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    problem = "is not a regular file: not read";
    return std::nullopt;
  }
  // One byte more than may be kept shows that the file goes on.
  std::string data(max_chars + 1, '\0');
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data.resize(got);
  // Instructions are text: a binary file (an image, an archive) would put
  // control bytes into the system prompt.
  if (!text::looks_like_text(data)) {
    problem = "is not a text file: not read";
    return std::nullopt;
  }
  InstructionFile f;
  f.file_bytes = std::max<std::uintmax_t>(static_cast<std::uintmax_t>(st.st_size), got);
  f.cut = cut_at_line(data, max_chars);
  f.text = text::sanitize_utf8(data);
  f.tokens = estimate(f.text.size());
  return f;
}

fs::path project_root(const fs::path& workdir, const fs::path& home) {
  // Only directories of this user that nobody else may write count, as git
  // trusts only safe directories, and the search stops below the home
  // directory: a ".git" another user made in /tmp never makes /tmp the
  // project, whose AGENTS.md would then be read.
  for (fs::path dir = workdir; !dir.empty(); dir = dir.parent_path()) {
    if (dir == home) break;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & S_IWOTH)) break;
    if (::lstat((dir / ".git").c_str(), &st) == 0 && st.st_uid == ::geteuid()) return dir;
    if (dir == dir.parent_path()) break;
  }
  return workdir;
}

std::vector<InstructionFile> read_instructions(const fs::path& home, const fs::path& workdir, std::int64_t max_tokens,
                                               double chars_per_token, std::vector<std::string>& notes) {
  const auto max_chars = static_cast<std::size_t>(static_cast<double>(std::max<std::int64_t>(max_tokens, 1)) *
                                                  chars_per_token);
  std::vector<InstructionFile> out;
  struct Where {
    fs::path path;
    std::string shown, heading;
    bool confined;
  };
  std::vector<Where> places = {{home / kFileName, "~/.dravik/AGENTS.md",
                                "Instructions from the user's own AGENTS.md (for every project)", false}};
  // The project's files from its root (the repository's top) down to the
  // working directory: the nearer a file, the later it comes and the more
  // it applies.
  const fs::path root = project_root(workdir, home.parent_path());
  std::vector<fs::path> dirs;
  for (fs::path dir = workdir;; dir = dir.parent_path()) {
    dirs.push_back(dir);
    if (dir == root || dir == dir.parent_path()) break;
  }
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
    const fs::path rel = (*it / kFileName).lexically_relative(workdir);
    const bool here = *it == workdir;
    places.push_back({*it / kFileName, rel.string(),
                      here ? "Instructions from this project's AGENTS.md (where they differ from the ones above, "
                             "these apply)"
                           : "Instructions from the project's " + rel.string() + " (for this part of the project)",
                      true});
  }
  std::vector<std::pair<dev_t, ino_t>> read;
  for (const Where& w : places) {
    // The working directory may be the product home itself: one file is read once.
    struct stat st {};
    const bool known = ::stat(w.path.c_str(), &st) == 0;
    if (known && std::find(read.begin(), read.end(), std::pair{st.st_dev, st.st_ino}) != read.end()) continue;
    std::string problem;
    // The user's own file may be a link anywhere (into a dotfiles
    // repository); the project's stay inside their directories.
    auto f = read_instruction_file(w.path, max_chars, problem, w.confined);
    if (!problem.empty()) notes.push_back(text::escape_controls(w.shown) + " " + problem);
    if (!f) continue;
    if (known) read.emplace_back(st.st_dev, st.st_ino);
    f->shown = w.shown;
    f->heading = w.heading;
    out.push_back(std::move(*f));
  }
  return out;
}

std::string instructions_section(const std::vector<InstructionFile>& files) {
  std::string s;
  for (const auto& f : files) s += "\n\n" + file_section(f);
  return s;
}

std::string init_instruction(bool exists) {
  const std::string look =
      "Look at this project with your read-only tools (list_directory, glob, grep, read_file): its build files, "
      "README, sources and tests. ";
  const std::string what =
      "It tells a coding assistant, in short Markdown sections, what it needs to work here: the commands to build, "
      "test and run the project (and to run one test), the layout (what lives where), and the conventions to keep "
      "(language version, style, naming, how tests are written, anything to avoid). Only what you found in the "
      "project, no guesses, no generic advice; under about 60 lines. ";
  if (exists)
    return look +
           "This project already has an AGENTS.md: read it, then propose an improved version with edit_file (or "
           "write_file for a rewrite): correct what is wrong or out of date and add what is missing. " +
           what + "The user reviews your change before it is written. Finally say in a sentence what you changed.";
  return look + "Then propose an AGENTS.md for it at the top of the working directory, with write_file. " + what +
         "The user reviews the file before it is written. Finally say in a sentence what it contains.";
}

void count_instructions(std::vector<InstructionFile>& files, std::int64_t max_tokens, std::int64_t context,
                        const TokenCounter& counted, std::vector<std::string>& notes) {
  // With a server that counts, each file's cost is its own count (the
  // template's frame around an empty message taken off), and a file that
  // costs more than its share is cut again to fit it.
  std::optional<std::int64_t> frame;
  if (!files.empty()) frame = counted("");
  for (auto& f : files) {
    if (!frame) break;
    for (int attempt = 0; attempt < 3; ++attempt) {
      const auto n = counted(file_section(f));
      if (!n) break;
      f.tokens = std::max<std::int64_t>(0, *n - *frame);
      f.counted = true;
      if (f.tokens <= max_tokens || f.text.empty() || attempt == 2) break;
      const auto chars = static_cast<std::size_t>(static_cast<double>(f.text.size()) * static_cast<double>(max_tokens) /
                                                  static_cast<double>(f.tokens) * 0.95);
      f.cut = cut_at_line(f.text, chars) || f.cut;
      f.text = text::sanitize_utf8(f.text);
      f.tokens = estimate(f.text.size());
      f.counted = false;
    }
  }
  for (const auto& f : files) {
    if (!f.cut) continue;
    // The whole file at the rate its kept part cost; the whole is more than
    // the part read, whatever the estimate says.
    const double per_byte = f.text.empty() ? 1.0 / kCharsPerTokenEstimate
                                           : static_cast<double>(f.tokens) / static_cast<double>(f.text.size());
    const auto whole = std::max(static_cast<std::int64_t>(static_cast<double>(f.file_bytes) * per_byte), f.tokens + 1);
    notes.push_back(f.shown + " is about " + count(whole) + " tokens; only the first " + count(f.tokens) +
                    " were read: a file may take an eighth of the " + count(context) + "-token context");
  }
}

std::string instructions_status(const std::vector<InstructionFile>& files) {
  if (files.empty()) return "none (no AGENTS.md here or in ~/.dravik)";
  std::string s;
  for (const auto& f : files)
    s += (s.empty() ? "" : ", ") + f.shown + " " + count(f.tokens) + " tokens" + (f.counted ? "" : " (estimated)") +
         (f.cut ? " (first part only)" : "");
  return s;
}

}  // namespace dravik::app
