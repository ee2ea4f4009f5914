// The Markdown renderer on any reply, fed in pieces of any size, on any
// terminal width: it returns (no crash, no unbounded recursion), and the
// only control bytes it writes are line breaks, carriage returns and its own
// sequences (SGR styles, cursor up, clear below).
//
// Input: one byte for the width, one for the piece size, then the reply.
#include <cctype>

#include "output/markdown.hpp"
#include "fuzz_check.hpp"

namespace {

// Every escape is CSI, digits and semicolons, then m, A or J.
void check_output(const std::string& out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c == 0x1b) {
      FUZZ_CHECK(i + 1 < out.size() && out[i + 1] == '[');
      std::size_t j = i + 2;
      while (j < out.size() && (std::isdigit(static_cast<unsigned char>(out[j])) || out[j] == ';')) ++j;
      FUZZ_CHECK(j < out.size() && (out[j] == 'm' || out[j] == 'A' || out[j] == 'J'));
      i = j;
      continue;
    }
    FUZZ_CHECK(c >= 0x20 || c == '\n' || c == '\r');
    FUZZ_CHECK(c != 0x7f);
    // C1 controls (U+0080..U+009F) never leave the renderer raw.
    if (c == 0xc2 && i + 1 < out.size()) FUZZ_CHECK(static_cast<unsigned char>(out[i + 1]) > 0x9f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int width = data[0] % 2 ? 0 : data[0] % 120;
  const std::size_t piece = 1 + data[1] % 64;
  const std::string_view reply(reinterpret_cast<const char*>(data) + 2, size - 2);
  dravik::app::MarkdownRenderer md([](std::string_view) { return std::string("\x1b[38;2;1;2;3m"); }, width,
                                   data[1] % 3 == 0 ? 0 : 24);
  std::string out;
  for (std::size_t at = 0; at < reply.size(); at += piece) out += md.feed(reply.substr(at, piece));
  out += data[0] % 3 == 0 ? md.abandon() : md.finish();
  check_output(out);
  return 0;
}
