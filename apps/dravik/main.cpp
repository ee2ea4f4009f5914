// dravik: the command-line companion of the Dravik libraries.
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "doctor";
  std::printf("dravik %s: nothing to do yet\n", cmd.c_str());
  return 0;
}
