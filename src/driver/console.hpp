#pragma once

// The console dialogue: prompts shown before their reply is read, and
// replies read a whitespace-delimited word at a time, as "%s" and "%f" read
// them, several replies on one line included ("d 10 0.25").

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

struct console {
  std::FILE* in;
  std::FILE* out;
};

// The next word of `in`, of which at most `limit` characters are kept; the
// rest of a longer word is read and dropped, never left for the next reply.
// The white space after the word stays unread. std::nullopt at end of input.
std::optional<std::string> read_word(std::FILE* in, std::size_t limit);

// The longest effect key the dialogue takes; a longer word is kept only up
// to one character more, which is enough for it to match no key.
inline constexpr std::size_t effect_key_limit = 11;

// Shows "effect<d,v>:" and reads the key. Throws io_error when the input ends
// first.
std::string ask_effect_key(const console& io);

// The value of `text` as "%f" reads a float: the float nearest to the number
// written, in any form strtof takes (sign, exponent, hex, ...). std::nullopt
// unless the whole word is such a number and its value is finite.
std::optional<float> parse_float_reply(std::string_view text);

// Shows `prompt` and reads a finite number. A reply that is not one is
// refused with a note on stderr, the rest of its line is dropped and the
// prompt is shown again. Throws io_error, naming `what`, when the input ends
// first.
float ask_number(const console& io, const char* prompt, const char* what);
