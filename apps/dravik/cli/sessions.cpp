// `dravik sessions`: the sessions of the project in the working directory.
#include <filesystem>
#include <iostream>

#include "cli/commands.hpp"
#include "session/sessions.hpp"

namespace dravik::app {

int sessions() {
  const SessionStore store(std::filesystem::current_path(), product_home());
  std::cout << format_sessions(store.list());
  return 0;
}

}  // namespace dravik::app
