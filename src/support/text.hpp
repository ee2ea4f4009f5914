// UTF-8 aware text helpers. "Characters" are Unicode code points; a UTF-8
// sequence is never split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dravik::text {

// `text` with every invalid UTF-8 byte replaced by `replacement` (U+FFFD by
// default; an empty replacement drops invalid bytes).
std::string sanitize_utf8(std::string_view text, std::string_view replacement = "\xEF\xBF\xBD");

// Number of code points of a valid UTF-8 text.
std::size_t length(std::string_view utf8);

// The first / last `n` code points of a valid UTF-8 text.
std::string prefix(std::string_view utf8, std::size_t n);
std::string suffix(std::string_view utf8, std::size_t n);

// `text` with C0 and C1 control characters (and DEL) written as visible
// escapes: "\n", "\r", "\t", "\x1b", "\x9b", and the bidirectional
// controls that reorder what surrounds them (overrides, embeddings,
// isolates, marks) as "\u{202e}". Used wherever model-written text is shown
// to the user, so that a carriage return, an escape sequence or a reversed
// run cannot disguise what is displayed. Invalid UTF-8 becomes U+FFFD.
std::string escape_controls(std::string_view text);

// `text` written so that two different texts never look alike: what
// escape_controls does, plus the other invisible format characters
// (zero-width characters, the byte-order mark, the soft hyphen) written as
// "\u{200b}", C1 controls as "\u{0085}", each byte of invalid UTF-8 as
// "\xff" (never as U+FFFD, which a text may hold), and a backslash of the
// text doubled wherever it could be read as the start of an escape (before
// another backslash, "n", "r", "t", "x", "u" or an escaped character);
// elsewhere it stands as written. Used
// where the user approves what the model asked for. Without
// `double_backslashes` (code shown in a diff, where doubling would misshow
// the code) only the controls and the invisible characters are escaped.
std::string escape_unambiguous(std::string_view text, bool double_backslashes = true);

// escape_unambiguous for text shown over several lines (a shell command
// with line breaks in it): each line break is shown as "\u23CE" (a return
// symbol) at the end of its line, then a real line break and
// `continuation`, so that a second command on a new line is seen as one,
// while a written "\n" stays as written.
std::string escape_unambiguous_lines(std::string_view text, std::string_view continuation);

// True when `bytes` read as text: at most one byte in ten is a NUL, another
// control character (line breaks, tabs, form feeds and escapes excepted)
// or part of invalid UTF-8. A script with a stray NUL is text; an image or
// an executable is not.
bool looks_like_text(std::string_view bytes);

// Plain text made safe inside console markup: controls escaped as
// escape_controls does, and every "[" written "\[" so that no part of it
// reads as a style tag.
std::string escape_markup(std::string_view text);

// The pieces joined with `separator` between them.
std::string join(const std::vector<std::string>& pieces, std::string_view separator);

// The line that stands where `bytes` were cut out of the middle of an
// output kept by its head and tail: "\n[... N bytes cut ...]\n".
std::string cut_note(std::uint64_t bytes);

// True when `text` starts with / ends with the given piece.
inline bool starts_with(std::string_view text, std::string_view p) { return text.substr(0, p.size()) == p; }

}  // namespace dravik::text
