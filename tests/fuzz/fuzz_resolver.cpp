// libFuzzer target for the path resolver and the memory notes store.
//
// The resolver: the input is a path (bytes taken as they are, or, when the
// first byte is odd, read as indexes into a table of names, links and ".."
// so that the fuzzer composes walks through links quickly), resolved beneath
// a fixed tree holding links that stay inside and links that lead out, with
// openat2 and with the component walk. Nothing it opens or locates may be
// outside the tree's root; both ways must agree on success; a located
// write never lands outside.
//
// The notes store: the same input added as a note to empty notes must give
// one bullet (every line a "- " start or a "  " continuation), and removing
// it must leave the notes empty again.
//
// Build: clang++ -std=c++20 -fsanitize=fuzzer,address,undefined with the
// host library (or its sources) and its include directories.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dravik_host.hpp"
#include "resolver.hpp"

namespace fs = std::filesystem;
using dravik::hostlib::detail::Beneath;
using dravik::hostlib::detail::Located;

namespace {

struct Tree {
  fs::path top, root, outside;
  std::string real;
  std::vector<std::string> names{"a",       "b",        "c",      "..",    ".",      "in",      "up",    "up2",
                                 "deep",    "abs_in",   "out",    "esc",   "abs_out", "f.txt",  "g.txt", "file_in",
                                 "file_out", "secret.txt", "missing", "loop", "dangle", "",      "pipe"};
  Tree() {
    char tmpl[] = "/tmp/dravik-fuzz-resolver-XXXXXX";
    top = ::mkdtemp(tmpl);
    root = top / "project";
    outside = top / "outside";
    fs::create_directories(root / "a/b");
    fs::create_directories(root / "c");
    fs::create_directories(outside / "a");
    std::ofstream(root / "f.txt") << "f";
    std::ofstream(root / "a/g.txt") << "g";
    std::ofstream(outside / "secret.txt") << "s";
    ::mkfifo((root / "pipe").c_str(), 0644);
    fs::create_directory_symlink("a", root / "in");
    fs::create_directory_symlink("..", root / "a/up");
    fs::create_directory_symlink("../../c", root / "a/b/deep");
    fs::create_directory_symlink(root / "a/b", root / "abs_in");
    fs::create_symlink("a/g.txt", root / "file_in");
    fs::create_symlink("loop", root / "loop");
    fs::create_symlink("nothing", root / "dangle");
    fs::create_directory_symlink("../outside", root / "out");
    fs::create_directory_symlink("../../../outside", root / "a/b/esc");
    fs::create_directory_symlink(outside, root / "abs_out");
    fs::create_directory_symlink("../..", root / "a/up2");
    fs::create_symlink("../outside/secret.txt", root / "file_out");
    real = fs::canonical(root).string();
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(top, ec);
  }
};

std::string fd_path(int fd) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, static_cast<std::size_t>(n));
}

void check_beneath(int fd, const std::string& root) {
  const std::string p = fd_path(fd);
  if (p != root && p.rfind(root + "/", 0) != 0) std::abort();
}

void fuzz_resolver(const Tree& t, const std::string& path) {
  const Beneath b(t.root);
  bool ok[2] = {false, false};
  for (const bool use : {true, false}) {
    dravik::hostlib::detail::use_openat2(use);
    const int fd = b.open(path, O_PATH);
    if (fd >= 0) {
      check_beneath(fd, t.real);
      ::close(fd);
    }
    ok[use] = fd >= 0;
  }
  dravik::hostlib::detail::use_openat2(true);
  if (ok[0] != ok[1]) std::abort();
  Located at;
  if (b.locate(path, at) == 0) {
    check_beneath(at.dir.get(), t.real);
    const int fd = ::openat(at.dir.get(), at.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      check_beneath(fd, t.real);
      ::close(fd);
    }
  }
}

void fuzz_notes(const Tree& t, const std::string& note) {
  const fs::path home = t.top / "home";
  fs::remove_all(home);
  dravik::hostlib::MarkdownNotesStore store(home);
  try {
    store.update_now(t.root.string(), "global", "add", note);
  } catch (const dravik::ValueError&) {
    return;  // an empty note
  }
  std::ifstream in(home / "memory.md", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    const auto nl = text.find('\n', start);
    if (nl == std::string::npos) std::abort();  // every line ends
    const std::string line = text.substr(start, nl - start);
    if (line.find('\r') != std::string::npos) std::abort();
    if (line.rfind(first ? "- " : "  ", 0) != 0 && !(line == "-" && first)) std::abort();
    first = false;
    start = nl + 1;
  }
  store.update_now(t.root.string(), "global", "remove", note);
  if (store.update_now(t.root.string(), "global", "show", "") != "(no global notes yet)") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Tree tree;
  if (size == 0 || size > 512) return 0;
  std::string path;
  if (data[0] & 1) {
    for (std::size_t i = 1; i < size; ++i) path += (i > 1 ? "/" : "") + tree.names[data[i] % tree.names.size()];
  } else {
    path.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  }
  fuzz_resolver(tree, path);
  if (data[0] & 2) fuzz_notes(tree, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
