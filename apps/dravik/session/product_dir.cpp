#include "session/product_dir.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/errors.hpp"
#include "support/files.hpp"

namespace dravik::app {

int open_product_dir(const std::filesystem::path& workdir) {
  const int root = ::open(workdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) throw OSError(errno, "cannot open " + workdir.string() + ": " + std::strerror(errno));
  bool created = false;
  int product = -1;
  try {
    product = files::open_private_dir_at(root, ".dravik", (workdir / ".dravik").string(), &created);
  } catch (...) {
    ::close(root);
    throw;
  }
  ::close(root);
  if (created) {
    // Exclusive: a .gitignore someone else put there first stays theirs.
    const int fd = ::openat(product, ".gitignore", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      try {
        files::write_all(fd, "*\n", (workdir / ".dravik/.gitignore").string());
        ::fsync(fd);
      } catch (const OSError&) {
        // Without it the store still works; git then sees .dravik.
      }
      ::close(fd);
    }
  }
  return product;
}

}  // namespace dravik::app
