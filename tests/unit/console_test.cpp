#include "driver/console.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "core/io_error.hpp"

namespace {

// A console whose input is `text` and whose output is kept, both in
// temporary files.
struct scripted_console {
  console io{};

  explicit scripted_console(const std::string& text) {
    io.in = std::tmpfile();
    io.out = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), io.in);
    std::rewind(io.in);
  }
  ~scripted_console() {
    std::fclose(io.in);
    std::fclose(io.out);
  }
  std::string output() {
    std::fflush(io.out);
    std::rewind(io.out);
    std::string text;
    for (int c = std::fgetc(io.out); c != EOF; c = std::fgetc(io.out)) {
      text.push_back(static_cast<char>(c));
    }
    return text;
  }
};

TEST(Console, ReadsAFloatAsScanfDoes) {
  const char* replies[] = {"10", "0.25", "-2", "+3.5", "1e3", "1E-3", ".5", "5.", "0x1.8p1", "-0",
                           "1e-50", "3.4028235e38",
                           // a decimal whose nearest float differs from the float
                           // nearest its nearest double
                           "1.00000005960464477539062500000000001", "7.038531e-26"};
  for (const char* reply : replies) {
    float expected = 0;
    ASSERT_EQ(std::sscanf(reply, "%f", &expected), 1) << reply;
    const std::optional<float> value = parse_float_reply(reply);
    ASSERT_TRUE(value.has_value()) << reply;
    EXPECT_EQ(std::memcmp(&*value, &expected, sizeof expected), 0) << reply;
  }
}

TEST(Console, ReadsRandomDecimalsAsScanfDoes) {
  std::mt19937 random(3);
  std::uniform_int_distribution<int> digit(0, 9), exponent(-45, 38), length(1, 25);
  for (int k = 0; k < 20000; ++k) {
    std::string reply = "0.";
    for (int i = length(random); i > 0; --i) {
      reply += static_cast<char>('0' + digit(random));
    }
    reply += 'e';
    reply += std::to_string(exponent(random));
    float expected = 0;
    std::sscanf(reply.c_str(), "%f", &expected);
    const std::optional<float> value = parse_float_reply(reply);
    ASSERT_TRUE(value.has_value()) << reply;
    ASSERT_EQ(std::memcmp(&*value, &expected, sizeof expected), 0) << reply;
  }
}

TEST(Console, RefusesWhatIsNotAFiniteNumber) {
  for (const char* reply : {"", "abc", "nan", "-nan", "inf", "infinity", "1e39", "-1e39", "10abc",
                            "1,5", "--1", "0x", "e5"}) {
    EXPECT_EQ(parse_float_reply(reply), std::nullopt) << reply;
  }
}

TEST(Console, AsksAgainAfterARefusedReplyAndDropsTheRestOfItsLine) {
  scripted_console console("abc 7\n1e39\n  2.5 9\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ask_number(console.io, "gain:", "gain"), 2.5f);
  const std::string notes = testing::internal::GetCapturedStderr();
  EXPECT_EQ(notes,
            "wave_effect: gain: \"abc\" is not a finite number; try again\n"
            "wave_effect: gain: \"1e39\" is not a finite number; try again\n");
  EXPECT_EQ(console.output(), "gain:gain:gain:");
  EXPECT_EQ(ask_number(console.io, "level:", "level"), 9.0f);  // same line, next word
}

TEST(Console, EndOfInputBeforeANumberIsAFailure) {
  scripted_console console("  \n");
  try {
    ask_number(console.io, "level:", "level");
    ADD_FAILURE() << "no failure";
  } catch (const io_error& error) {
    EXPECT_STREQ(error.what(), "standard input: ended before the level was read");
  }
}

TEST(Console, EffectKeyIsOneWordOfAtMostElevenCharacters) {
  const struct {
    const char* input;
    const char* key;
  } cases[] = {
      {"r\n", "r"},
      {"r\r\n", "r"},  // typed with a Windows line end
      {"  d 10 0.25\n", "d"},
      {"abcdefghijk\n", "abcdefghijk"},
      {"abcdefghijkl\n", "abcdefghijkl"},  // 12: kept long enough to match nothing
      {"abcdefghijklmnopqrstuvwxyz d\n", "abcdefghijkl"},
  };
  for (const auto& c : cases) {
    scripted_console console(c.input);
    EXPECT_EQ(ask_effect_key(console.io), c.key) << c.input;
    EXPECT_EQ(console.output(), "effect<d,v>:");
  }
}

TEST(Console, LongWordLeavesNothingBehindForTheNextReply) {
  scripted_console console(std::string(100, 'x') + " 4");
  ask_effect_key(console.io);
  EXPECT_EQ(read_word(console.io.in, 20), "4");
}

TEST(Console, EndOfInputBeforeTheKeyIsAFailure) {
  scripted_console console("");
  EXPECT_THROW(ask_effect_key(console.io), io_error);
}

}  // namespace
