// The resolver on seeded random paths through a tree with links that stay
// inside and links that lead out: nothing it opens or locates is outside
// the root, openat2 and the component walk agree, and creating directories
// on the way never creates anything outside.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include "resolver.hpp"
#include "sidecar/sidecar_env.hpp"

using namespace dravik;
using namespace dravik::testing;
using hostlib::detail::Beneath;
using hostlib::detail::Located;

namespace {

std::string fd_path(int fd) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, static_cast<std::size_t>(n));
}

bool beneath(const std::string& p, const std::string& root) { return p == root || p.rfind(root + "/", 0) == 0; }

std::string listing(const fs::path& d) {
  std::string s;
  for (const auto& e : fs::recursive_directory_iterator(d)) s += e.path().string() + "\n";
  return s;
}

}  // namespace

TEST(Resolver, RandomPathsThroughLinksInAndOutNeverResolveOutside) {
  char tmpl[] = "/tmp/dravik-resolver-XXXXXX";
  const fs::path top = ::mkdtemp(tmpl);
  const fs::path root = top / "project", out = top / "outside";
  write_text(root / "f.txt", "f");
  write_text(root / "a/g.txt", "g");
  write_text(root / "a/b/h.txt", "h");
  fs::create_directories(root / "c");
  write_text(out / "secret.txt", "s");
  write_text(out / "a/g.txt", "outside g");
  fs::create_directory_symlink("a", root / "in");
  fs::create_directory_symlink("..", root / "a/up");
  fs::create_directory_symlink("../../c", root / "a/b/deep");
  fs::create_directory_symlink(root / "a/b", root / "abs_in");
  fs::create_symlink("a/g.txt", root / "file_in");
  fs::create_symlink("loop", root / "loop");
  fs::create_symlink("nothing", root / "dangle");
  fs::create_directory_symlink("../outside", root / "out");
  fs::create_directory_symlink("../../../outside", root / "a/b/esc");
  fs::create_directory_symlink(out, root / "abs_out");
  fs::create_directory_symlink("../..", root / "a/up2");
  fs::create_symlink("../outside/secret.txt", root / "file_out");
  const std::string outside_before = listing(out);

  const std::vector<std::string> parts{"a",      "b",        "c",     "..",      ".",        "in",     "up",
                                       "up2",    "deep",     "abs_in", "out",    "esc",      "abs_out", "f.txt",
                                       "g.txt",  "h.txt",    "file_in", "file_out", "secret.txt", "missing",
                                       "loop",   "dangle",   ""};
  const Beneath b(root);
  const std::string real = fs::canonical(root).string();
  std::mt19937 rng(20261208);
  int opened = 0, refused_outside = 0;
  for (int i = 0; i < 6000; ++i) {
    std::string p = rng() % 8 == 0 ? root.string() + "/" : "";
    const int n = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < n; ++k) p += (k ? "/" : "") + parts[rng() % parts.size()];
    if (p.empty()) continue;
    SCOPED_TRACE(p);
    ino_t inode[2] = {0, 0};
    int err[2] = {0, 0};
    for (const int walk : {0, 1}) {
      hostlib::detail::use_openat2(walk == 0);
      const int fd = b.open(p, O_PATH);
      if (fd >= 0) {
        EXPECT_TRUE(beneath(fd_path(fd), real)) << fd_path(fd);
        struct stat st{};
        ::fstat(fd, &st);
        inode[walk] = st.st_ino;
        ::close(fd);
        ++opened;
      } else {
        err[walk] = -fd;
        refused_outside += fd == -EXDEV;
      }
    }
    EXPECT_EQ(inode[0], inode[1]);
    EXPECT_EQ(err[0] == 0, err[1] == 0) << err[0] << " " << err[1];
    Located at;
    const bool create = i % 25 == 0;
    if (b.locate(p, at, {.follow_links = true, .create_dirs = create}) == 0) {
      EXPECT_TRUE(beneath(fd_path(at.dir.get()), real)) << fd_path(at.dir.get());
      const int fd = ::openat(at.dir.get(), at.name.c_str(), O_PATH | O_NOFOLLOW);
      if (fd >= 0) {
        EXPECT_TRUE(beneath(fd_path(fd), real)) << fd_path(fd);
        ::close(fd);
      }
      // Whether the write succeeds (a directory may stand there) is not the point: where it lands is.
      if (create) (void)hostlib::detail::write_file_in(at.dir.get(), at.name, "written");
    }
  }
  hostlib::detail::use_openat2(true);
  EXPECT_GT(opened, 600);
  EXPECT_GT(refused_outside, 600);
  EXPECT_EQ(listing(out), outside_before);

  // Without links followed, any link on the way is refused.
  Located at;
  EXPECT_EQ(b.locate("in/g.txt", at, {.follow_links = false}), ELOOP);
  EXPECT_EQ(b.open("file_in", O_RDONLY, {.follow_links = false}), -ELOOP);
  EXPECT_EQ(b.locate("a/g.txt", at, {.follow_links = false}), 0);
  EXPECT_EQ(at.rel, "a/g.txt");
  EXPECT_EQ(b.locate("abs_in/../b/h.txt", at), 0);
  EXPECT_EQ(at.rel, "a/b/h.txt");
  fs::remove_all(top);
}
