#include "cli/console.hpp"

#include <unistd.h>

#include <iostream>

#include "support/config.hpp"

namespace dravik::app {

std::string plain(const std::string& markup) {
  std::string out;
  for (std::size_t i = 0; i < markup.size(); ++i) {
    if (markup[i] == '\\' && i + 1 < markup.size() && markup[i + 1] == '[') {
      out += '[';
      ++i;
    } else if (markup[i] == '[') {
      auto close = markup.find(']', i);
      if (close == std::string::npos) {
        out += markup.substr(i);
        break;
      }
      i = close;
    } else {
      out += markup[i];
    }
  }
  return out;
}

Console::Console(std::FILE* out) : out_(out), tty_(::isatty(::fileno(out)) == 1) {}

void Console::line(const std::string& markup) {
  if (tty_ && shown_) std::fputs("\r\x1b[2K", out_);
  shown_ = false;
  std::fputs((plain(markup) + "\n").c_str(), out_);
  std::fflush(out_);
}

void Console::status(const std::string& text) {
  if (tty_) {
    std::fputs(("\r\x1b[2K" + text).c_str(), out_);
    std::fflush(out_);
    shown_ = true;
    return;
  }
  if (text.rfind("Downloading ", 0) == 0) return;
  const std::string step = text.substr(0, text.find(':'));
  const auto now = std::chrono::steady_clock::now();
  if (step == last_step_ && now - last_plain_ < std::chrono::seconds(5)) return;
  last_step_ = step;
  last_plain_ = now;
  std::fputs((text + "\n").c_str(), out_);
  std::fflush(out_);
}

void Console::clear_status() {
  if (tty_ && shown_) {
    std::fputs("\r\x1b[2K", out_);
    std::fflush(out_);
  }
  shown_ = false;
}

bool confirm(const std::string& question) {
  std::cout << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  answer = config::lower(config::trim(answer));
  return answer == "y" || answer == "yes";
}

}  // namespace dravik::app
