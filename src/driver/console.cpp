#include "driver/console.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "core/io_error.hpp"

namespace {

bool is_space(int c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

void show_prompt(const console& io, const char* prompt) {
  std::fputs(prompt, io.out);
  std::fflush(io.out);
}

void discard_rest_of_line(std::FILE* in) {
  int c;
  do {
    c = std::fgetc(in);
  } while (c != '\n' && c != EOF);
}

// No number is this long; the limit only keeps a runaway reply from filling memory.
constexpr std::size_t number_reply_limit = 1000;

}  // namespace

std::optional<std::string> read_word(std::FILE* in, std::size_t limit) {
  int c;
  do {
    c = std::fgetc(in);
  } while (c != EOF && is_space(c));
  if (c == EOF) {
    return std::nullopt;
  }
  std::string word;
  while (c != EOF && !is_space(c)) {
    if (word.size() < limit) {
      word.push_back(static_cast<char>(c));
    }
    c = std::fgetc(in);
  }
  if (c != EOF) {
    std::ungetc(c, in);
  }
  return word;
}

std::string ask_effect_key(const console& io) {
  show_prompt(io, "effect<d,v>:");
  std::optional<std::string> key = read_word(io.in, effect_key_limit + 1);
  if (!key) {
    throw io_error("standard input", "ended before the effect key was read");
  }
  return *key;
}

std::optional<float> parse_float_reply(std::string_view text) {
  if (text.empty() || is_space(static_cast<unsigned char>(text.front()))) {
    return std::nullopt;
  }
  const std::string word(text);
  char* end = nullptr;
  errno = 0;
  // strtof rounds the decimal straight to the nearest float, as scanf does;
  // going through a double first would round twice. The program never
  // changes the C locale, so the decimal point is always ".".
  const float value = std::strtof(word.c_str(), &end);
  if (end != word.c_str() + word.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

float ask_number(const console& io, const char* prompt, const char* what) {
  for (;;) {
    show_prompt(io, prompt);
    std::optional<std::string> word = read_word(io.in, number_reply_limit + 1);
    if (!word) {
      throw io_error("standard input", std::string("ended before the ") + what + " was read");
    }
    if (std::optional<float> value = parse_float_reply(*word)) {
      return *value;
    }
    if (word->size() > number_reply_limit) {
      word->resize(number_reply_limit);
      *word += "...";
    }
    std::fprintf(stderr, "wave_effect: %s: \"%s\" is not a finite number; try again\n", what,
                 word->c_str());
    discard_rest_of_line(io.in);
  }
}
