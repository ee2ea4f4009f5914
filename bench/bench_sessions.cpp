// What keeping a session costs. (1) Appending a message to the journal,
// sync included, against a plain write and fdatasync of the same bytes
// (goal: at most 1.5x). (2) Resuming a 1,000-message session: reading its
// journal back (goal: under 50 ms), against reading the same bytes. (3) One
// turn of 1,000 file changes: the undo store's part (keeping each file's
// copy before it is written) against writing the 1,000 files themselves as
// the file tools do (goal: at most 2x).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench_util.hpp"
#include "file_change.hpp"
#include "session/journal.hpp"
#include "session/undo.hpp"
#include "support/files.hpp"

namespace fs = std::filesystem;
using dravik::Json;
using dravik::app::Journal;
namespace bench = dravik::bench;

namespace {

Json message(int i) {
  return Json{{"role", i % 2 ? "assistant" : "user"},
              {"content", "Message " + std::to_string(i) + ": " + std::string(600, 'x')}};
}

void journal_append(const fs::path& dir) {
  constexpr int kMessages = 300;
  std::vector<std::string> lines;
  for (int i = 0; i < kMessages; ++i)
    lines.push_back(Json{{"type", "message"}, {"message", message(i)}}.dump() + "\n");
  const fs::path plain = dir / "plain.jsonl";
  const int fd = ::open(plain.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  auto t0 = bench::Clock::now();
  for (const auto& l : lines) {
    dravik::files::write_all(fd, l, plain.string());
    ::fdatasync(fd);
  }
  const double base = bench::ms_since(t0) / kMessages;
  ::close(fd);
  auto journal = Journal::open(dir / "journal.jsonl", {"bench", "2026-01-01T00:00:00Z", "llama_cpp", "m"});
  t0 = bench::Clock::now();
  for (int i = 0; i < kMessages; ++i) journal.message(message(i));
  const double ours = bench::ms_since(t0) / kMessages;
  bench::ratio_line("journal append, synced (per message)", ours, base, "ms");
  std::printf("  goal: ratio at most 1.5\n");
}

void resume(const fs::path& dir) {
  const fs::path file = dir / "long.jsonl";
  {
    auto journal = Journal::open(file, {"long", "2026-01-01T00:00:00Z", "llama_cpp", "m"});
    std::vector<Json> records;
    for (int i = 0; i < 1000; ++i) records.push_back(Json{{"type", "message"}, {"message", message(i)}});
    journal.append_all(records);
  }
  auto t0 = bench::Clock::now();
  const auto bytes = dravik::files::read_file(file.string());
  const double base = bench::ms_since(t0);
  t0 = bench::Clock::now();
  const auto c = Journal::read(file);
  const double ours = bench::ms_since(t0);
  if (c.messages.size() != 1000) std::printf("(read %zu messages)\n", c.messages.size());
  bench::ratio_line("resume 1,000 messages (read the journal)", ours, base, "ms");
  std::printf("  goal: under 50 ms (%zu bytes)\n", bytes.size());
}

void undo_store(const fs::path& dir) {
  constexpr int kFiles = 1000;
  const fs::path work = dir / "work", home = dir / "home";
  fs::create_directories(work / "src");
  const std::string before(2000, 'o'), after(2000, 'n');
  for (int i = 0; i < kFiles; ++i)
    dravik::files::replace_file((work / "src" / (std::to_string(i) + ".txt")).string(), before);
  // The files themselves, written as write_file and edit_file write them.
  auto t0 = bench::Clock::now();
  for (int i = 0; i < kFiles; ++i)
    (void)dravik::hostlib::write_confined(work, "src/" + std::to_string(i) + ".txt", after);
  const double base = bench::ms_since(t0);
  dravik::app::UndoLog undo(work, home);
  undo.begin_turn();
  t0 = bench::Clock::now();
  for (int i = 0; i < kFiles; ++i) undo.remember_file("src/" + std::to_string(i) + ".txt", before, 0644, after);
  const double ours = bench::ms_since(t0);
  bench::ratio_line("undo store, 1,000 changes in one turn", ours, base, "ms");
  std::printf("  goal: ratio at most 2 (the store's part against writing the files)\n");
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/dravik-bench-sessions-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  journal_append(dir);
  resume(dir);
  undo_store(dir);
  fs::remove_all(dir);
}
