// <project>/.dravik, where dravik keeps what it keeps of a project (the
// sessions, the undo log, the server's saved cache).
#pragma once

#include <filesystem>

namespace dravik::app {

// Opens <workdir>/.dravik without following a link, creating it owner-only
// when missing, with a .gitignore of "*" then (so that `git add -A` never
// stages a conversation or an undo copy; an existing directory's own
// .gitignore is left alone). The descriptor is the caller's to close.
// Throws OSError.
int open_product_dir(const std::filesystem::path& workdir);

}  // namespace dravik::app
