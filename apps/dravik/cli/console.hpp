// What the dravik commands print, and how: on a terminal, one status line
// redrawn in place under the log; anywhere else (a pipe, a log file, CI),
// plain lines without carriage returns or escape sequences.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace dravik::app {

// Console markup to plain text: "[tag]" and "[/]" are dropped, "\[" is "[".
std::string plain(const std::string& markup);

class Console {
 public:
  // Writes to `out` (stdout, or stderr when stdout carries JSON).
  explicit Console(std::FILE* out);
  bool terminal() const { return tty_; }

  // One line of the log (console markup), above the status line.
  void line(const std::string& markup);
  // The status line. Off a terminal only a change of step (the text before
  // ':') or one line every few seconds is printed, and download progress
  // not at all: its tenths come as log lines.
  void status(const std::string& text);
  void clear_status();

 private:
  std::FILE* out_;
  bool tty_;
  bool shown_ = false;
  std::string last_step_;
  std::chrono::steady_clock::time_point last_plain_{};
};

// Asks a yes/no question on the terminal; false on anything but yes.
bool confirm(const std::string& question);

}  // namespace dravik::app
