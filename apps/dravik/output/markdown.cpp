#include "output/markdown.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <cmark-gfm-core-extensions.h>
#include <cmark-gfm-extension_api.h>
#include <cmark-gfm.h>

#include "support/text.hpp"

namespace dravik::app {

namespace {

// The code point at s[i] and the length of its UTF-8 sequence: 1 to 4; 0
// when a valid start is cut off by the end of `s` (more is to come); 1 for
// an invalid byte.
std::size_t sequence(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xe ? 3 : (b >> 3) == 0x1e ? 4 : 0;
  if (n == 0) {
    cp = 0xfffd;
    return 1;
  }
  cp = n == 1 ? b : n == 2 ? (b & 0x1f) : n == 3 ? (b & 0x0f) : (b & 0x07);
  for (std::size_t k = 1; k < n; ++k) {
    if (i + k >= s.size()) return 0;
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xc0) != 0x80) {
      cp = 0xfffd;
      return 1;
    }
    cp = (cp << 6) | (c & 0x3f);
  }
  return n;
}

// Characters every terminal shows in exactly one column. Others (wide,
// combining, zero-width, emoji, U+FFFD) may take 0, 1 or 2.
bool one_column(char32_t c) {
  return (c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0x2ff && c != 0xad) || (c >= 0x370 && c <= 0x482) ||
         (c >= 0x48a && c <= 0x52f) || (c >= 0x2010 && c <= 0x2027) || (c >= 0x2030 && c <= 0x205e) ||
         (c >= 0x20a0 && c <= 0x20bf) || (c >= 0x2190 && c <= 0x22ff) || (c >= 0x2500 && c <= 0x257f);
}

// Leading whitespace as spaces (a tab to the next multiple of 4).
std::string spaces_for(std::string_view lead) {
  std::string out;
  for (char c : lead) {
    if (c == '\t') out.append(4 - out.size() % 4, ' ');
    else out += ' ';
  }
  return out;
}

// Tabs expanded to the next multiple of 4 columns (code keeps its layout
// rather than showing "\t").
std::string expand_tabs(std::string_view s) {
  std::string out;
  std::size_t column = 0;
  for (char c : s) {
    if (c == '\t') {
      const std::size_t n = 4 - column % 4;
      out.append(n, ' ');
      column += n;
    } else {
      out += c;
      if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++column;
    }
  }
  return out;
}

std::string_view trim(std::string_view s) {
  const auto a = s.find_first_not_of(" \t");
  if (a == std::string_view::npos) return {};
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// How the text of a node is drawn: a theme style plus SGR attributes.
struct Look {
  const char* theme = nullptr;
  bool bold = false, italic = false, underline = false, strike = false;
};

// Nesting deeper than this (a line of 60,000 ">") is shown as written: no
// reader needs it, and its prefixes alone would fill the screen.
constexpr std::size_t kMaxNesting = 32;

std::string_view literal_of(cmark_node* n) {
  const char* s = cmark_node_get_literal(n);
  return s ? s : "";
}

// The text of a node and everything under it, walked with cmark's iterator
// (no recursion, whatever the depth).
std::string plain(cmark_node* n) {
  std::string s;
  cmark_iter* it = cmark_iter_new(n);
  for (cmark_event_type ev; (ev = cmark_iter_next(it)) != CMARK_EVENT_DONE;)
    if (ev == CMARK_EVENT_ENTER) s += literal_of(cmark_iter_get_node(it));
  cmark_iter_free(it);
  return s;
}

// Walks one line's cmark-gfm tree with cmark's iterator and writes it with
// styles; each container's look is kept on a stack of its own, so that no
// input nests the walk deeper than the heap allows. Text from the tree is
// escaped; the only sequences written are SGR.
class Writer {
 public:
  Writer(const MarkdownRenderer::StyleSgr& style, int columns) : style_(style), columns_(columns) {}

  // The rendering, or nullopt when the tree nests deeper than kMaxNesting.
  std::optional<std::string> write(cmark_node* root) {
    std::vector<Look> looks{Look{}};
    cmark_iter* it = cmark_iter_new(root);
    bool too_deep = false;
    for (cmark_event_type ev; !too_deep && (ev = cmark_iter_next(it)) != CMARK_EVENT_DONE;) {
      cmark_node* n = cmark_iter_get_node(it);
      if (n == root) continue;
      const bool leaf = !container(n);
      if (ev == CMARK_EVENT_EXIT) {
        if (cmark_node_get_type(n) == CMARK_NODE_LINK || cmark_node_get_type(n) == CMARK_NODE_IMAGE) address(n);
        if (looks.size() > 1) looks.pop_back();
        continue;
      }
      Look k = looks.back();
      if (leaf) {
        draw_leaf(n, k);
        continue;
      }
      if (looks.size() > kMaxNesting) too_deep = true;
      enter(n, k);
      looks.push_back(k);
    }
    cmark_iter_free(it);
    if (too_deep) return std::nullopt;
    if (!current_.empty()) out_ += "\x1b[0m";
    current_.clear();
    return std::move(out_);
  }

 private:
  // Nodes the iterator enters and leaves (a container may be empty).
  static bool container(cmark_node* n) {
    switch (cmark_node_get_type(n)) {
      case CMARK_NODE_TEXT:
      case CMARK_NODE_HTML_INLINE:
      case CMARK_NODE_CODE:
      case CMARK_NODE_SOFTBREAK:
      case CMARK_NODE_LINEBREAK:
      case CMARK_NODE_THEMATIC_BREAK:
      case CMARK_NODE_CODE_BLOCK:
      case CMARK_NODE_HTML_BLOCK:
        return false;
      default:
        return true;
    }
  }

  // A container's prefix, and the look its children get.
  void enter(cmark_node* n, Look& k) {
    switch (cmark_node_get_type(n)) {
      case CMARK_NODE_BLOCK_QUOTE:
        put({.theme = "dim"}, "\u2502 ");
        k.theme = "muted";
        break;
      case CMARK_NODE_ITEM: {
        cmark_node* list = cmark_node_parent(n);
        if (list && cmark_node_get_list_type(list) == CMARK_ORDERED_LIST) {
          long number = cmark_node_get_list_start(list);
          for (cmark_node* s = cmark_node_previous(n); s; s = cmark_node_previous(s)) ++number;
          put(k, std::to_string(number) + (cmark_node_get_list_delim(list) == CMARK_PAREN_DELIM ? ") " : ". "));
        } else {
          put(k, "\u2022 ");
        }
        break;
      }
      case CMARK_NODE_HEADING:
        k.theme = "assistant";
        k.bold = true;
        k.underline = cmark_node_get_heading_level(n) == 1;
        break;
      case CMARK_NODE_EMPH:
        k.italic = true;
        break;
      case CMARK_NODE_STRONG:
        k.bold = true;
        break;
      case CMARK_NODE_LINK:
        k.underline = true;
        break;
      case CMARK_NODE_IMAGE:
        put({.theme = "dim"}, "image: ");
        break;
      default: {
        const char* type = cmark_node_get_type_string(n);
        if (type && std::string_view(type) == "strikethrough") k.strike = true;
      }
    }
  }

  void draw_leaf(cmark_node* n, const Look& k) {
    switch (cmark_node_get_type(n)) {
      case CMARK_NODE_TEXT:
      case CMARK_NODE_HTML_INLINE:
        put(k, text::escape_controls(literal_of(n)));
        break;
      case CMARK_NODE_CODE:
        put({.theme = "code"}, text::escape_controls(literal_of(n)));
        break;
      case CMARK_NODE_SOFTBREAK:
        put(k, " ");
        break;
      case CMARK_NODE_THEMATIC_BREAK: {
        std::string rule;
        for (int i = 0; i < (columns_ > 0 ? std::min(columns_, 40) : 40); ++i) rule += "\u2500";
        put({.theme = "dim"}, rule);
        break;
      }
      case CMARK_NODE_CODE_BLOCK:
      case CMARK_NODE_HTML_BLOCK: {
        Look code = k;
        if (cmark_node_get_type(n) == CMARK_NODE_CODE_BLOCK) code.theme = "code";
        std::string_view literal = literal_of(n);
        while (!literal.empty() && literal.back() == '\n') literal.remove_suffix(1);
        put(code, text::escape_controls(literal));
        break;
      }
      default:  // a line break, an empty container
        break;
    }
  }

  // After a link's text, its address, unless it is the text itself (an
  // autolink, "www." given "http://", an address given "mailto:").
  void address(cmark_node* n) {
    const char* url = cmark_node_get_url(n);
    const std::string address = url ? url : "", shown = plain(n);
    if (!address.empty() && address != shown && address != "http://" + shown && address != "mailto:" + shown)
      put({.theme = "dim"}, " (" + text::escape_controls(address) + ")");
  }

  void put(const Look& k, const std::string& escaped) {
    if (escaped.empty()) return;
    std::string seq = k.theme ? style_(k.theme) : "";
    if (k.bold) seq += "\x1b[1m";
    if (k.italic) seq += "\x1b[3m";
    if (k.underline) seq += "\x1b[4m";
    if (k.strike) seq += "\x1b[9m";
    if (seq != current_) {
      if (!current_.empty()) out_ += "\x1b[0m";
      out_ += seq;
      current_ = seq;
    }
    out_ += escaped;
  }

  const MarkdownRenderer::StyleSgr& style_;
  int columns_;
  std::string out_, current_;
};

struct ParserFree {
  void operator()(cmark_parser* p) const { cmark_parser_free(p); }
};
struct NodeFree {
  void operator()(cmark_node* n) const { cmark_node_free(n); }
};

}  // namespace

MarkdownRenderer::MarkdownRenderer(StyleSgr style, int columns, int rows)
    : style_(std::move(style)), columns_(columns), rows_(rows) {
  static const bool registered = (cmark_gfm_core_extensions_ensure_registered(), true);
  (void)registered;
}

std::string MarkdownRenderer::feed(std::string_view piece) {
  std::string out;
  std::size_t start = 0;
  while (start < piece.size()) {
    const auto nl = piece.find('\n', start);
    if (nl == std::string_view::npos) {
      line_.append(piece.substr(start));
      out += echo();
      break;
    }
    line_.append(piece.substr(start, nl - start));
    out += replace_echo(render_line(line_)) + "\n";
    reset_echo();
    start = nl + 1;
  }
  return out;
}

std::string MarkdownRenderer::finish() {
  std::string out;
  if (!line_.empty()) out = replace_echo(render_line(line_));
  reset_echo();
  fence_.reset();
  spent_ = {};
  return out;
}

std::string MarkdownRenderer::abandon() {
  std::string out = text::escape_controls(std::string_view(line_).substr(echoed_));
  reset_echo();
  fence_.reset();
  spent_ = {};
  return out;
}

void MarkdownRenderer::reset_echo() {
  line_.clear();
  echo_text_.clear();
  echoed_ = echo_columns_ = 0;
  echo_uncertain_ = echo_stopped_ = false;
}

// Writes the complete characters of the line not echoed yet, as long as the
// rows they take stay known.
std::string MarkdownRenderer::echo() {
  if (columns_ <= 0 || echo_stopped_) return {};
  const std::size_t before = echo_text_.size();
  std::size_t i = echoed_;
  while (i < line_.size()) {
    char32_t cp = 0;
    const std::size_t n = sequence(line_, i, cp);
    if (n == 0) break;  // the rest of this character is still to come
    const std::string shown = text::escape_controls(std::string_view(line_).substr(i, n));
    std::size_t width = 0;  // an upper bound: two columns for a character of unsure width
    bool unsure = false;
    for (std::size_t k = 0; k < shown.size();) {
      char32_t c = 0;
      k += std::max<std::size_t>(1, sequence(shown, k, c));
      const bool one = one_column(c);
      width += one ? 1 : 2;
      unsure = unsure || !one;
    }
    const bool uncertain = echo_uncertain_ || unsure;
    const std::size_t total = echo_columns_ + width, cols = static_cast<std::size_t>(columns_);
    if ((uncertain && total >= cols) || (rows_ > 1 && total > cols * static_cast<std::size_t>(rows_ - 1))) {
      echo_stopped_ = true;
      break;
    }
    echo_columns_ += width;
    echo_uncertain_ = uncertain;
    echo_text_ += shown;
    i += n;
  }
  echoed_ = i;
  return echo_text_.substr(before);
}

// The rendering of the line in place of its echo: when the rendering only
// adds to what the echo shows, just the rest; otherwise the cursor goes back
// to the echo's first row, clears to the end of the screen, and writes it.
std::string MarkdownRenderer::replace_echo(const std::string& rendered) {
  if (echo_text_.empty()) return rendered;
  if (rendered.starts_with(echo_text_)) return rendered.substr(echo_text_.size());
  // An echo of unsure width was kept within one row; otherwise its width
  // is exact, and one that fills its last row exactly leaves the cursor on
  // that row (the terminal wraps only when the next character comes).
  const std::size_t cols = static_cast<std::size_t>(columns_);
  const std::size_t rows = echo_uncertain_ ? 1 : std::max<std::size_t>(1, (echo_columns_ + cols - 1) / cols);
  std::string out = "\r";
  if (rows > 1) out += "\x1b[" + std::to_string(rows - 1) + "A";
  return out + "\x1b[J" + rendered;
}

std::string MarkdownRenderer::render_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const auto dim = [&](const std::string& escaped) {
    const std::string s = style_("dim");
    return s.empty() ? escaped : s + escaped + "\x1b[0m";
  };
  const std::size_t indent = std::min(line.find_first_not_of(' '), line.size());
  const std::string_view rest = line.substr(indent);
  const auto run = [&](char mark) { return std::min(rest.find_first_not_of(mark), rest.size()); };
  if (fence_) {
    // A closing fence: the same character, at least as many, nothing after.
    if (run(fence_->mark) >= fence_->length && trim(rest.substr(run(fence_->mark))).empty()) {
      fence_.reset();
      return std::string(indent, ' ') + dim("\u2500\u2500");
    }
    // A line of code: the fence's indentation kept plain, the code styled.
    const std::size_t strip = std::min(indent, fence_->indent);
    const std::string code = text::escape_controls(expand_tabs(line.substr(strip)));
    const std::string s = style_("code");
    return std::string(strip, ' ') + (code.empty() || s.empty() ? code : s + code + "\x1b[0m");
  }
  if (!rest.empty() && (rest[0] == '`' || rest[0] == '~') && run(rest[0]) >= 3) {
    const std::string_view info = trim(rest.substr(run(rest[0])));
    if (rest[0] == '~' || info.find('`') == std::string_view::npos) {
      fence_ = Fence{rest[0], run(rest[0]), indent};
      const std::string_view language = info.substr(0, std::min(info.find_first_of(" \t{"), info.size()));
      return std::string(indent, ' ') +
             dim("\u2500\u2500" + (language.empty() ? "" : " " + text::escape_controls(language)));
    }
  }
  return render_markdown(line);
}

std::string MarkdownRenderer::render_markdown(std::string_view line) {
  const std::size_t lead = line.find_first_not_of(" \t");
  if (lead == std::string_view::npos) return {};
  const std::string_view body = line.substr(lead);
  // cmark-gfm takes time quadratic in the length of some lines ("![[]()"
  // repeated): a line longer than kMaxMarkdownLine, and every line once
  // the reply has used its rendering budget, is shown as written.
  if (body.size() > kMaxMarkdownLine || spent_ > kRenderBudget)
    return spaces_for(line.substr(0, lead)) + text::escape_controls(body);
  const auto started = std::chrono::steady_clock::now();
  struct Spent {
    std::chrono::steady_clock::duration& total;
    std::chrono::steady_clock::time_point since;
    ~Spent() { total += std::chrono::steady_clock::now() - since; }
  } spent{spent_, started};
  std::unique_ptr<cmark_parser, ParserFree> parser(cmark_parser_new(CMARK_OPT_STRIKETHROUGH_DOUBLE_TILDE));
  for (const char* name : {"strikethrough", "autolink"})
    if (cmark_syntax_extension* e = cmark_find_syntax_extension(name))
      cmark_parser_attach_syntax_extension(parser.get(), e);
  cmark_parser_feed(parser.get(), body.data(), body.size());
  std::unique_ptr<cmark_node, NodeFree> root(cmark_parser_finish(parser.get()));
  // A line that shows nothing once parsed (a link reference definition)
  // is shown as written.
  const std::string indent = spaces_for(line.substr(0, lead));
  if (!root || !cmark_node_first_child(root.get())) return indent + text::escape_controls(body);
  auto rendered = Writer(style_, columns_).write(root.get());
  return indent + (rendered ? *rendered : text::escape_controls(body));
}

TerminalSize terminal_size(int fd) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) != 0) return {};
  return {ws.ws_col, ws.ws_row};
}

}  // namespace dravik::app
