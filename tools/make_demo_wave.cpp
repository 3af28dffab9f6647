// make_demo_wave: writes a 16-bit mono 44.1 kHz WAV file of a plucked-string
// phrase, synthesised here (Karplus-Strong), so that each effect of
// wave_effect can be heard on a sound of the project's own.
//
//   make_demo_wave OUTPUT [SECONDS]
//
// Without SECONDS the phrase plays once, then 1.5 s of silence leave room for
// the reverb's tail (about 4.4 s in all); with it the phrase
// repeats until the file lasts that long (the benchmark uses 600 and 3600).
// The samples are streamed, so any length takes little memory.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wav/sample_scale.hpp"
#include "wav/wave_data.hpp"
#include "wav/wave_header.hpp"

namespace {

constexpr int sample_rate = 44100;
constexpr double note_spacing = 0.375;  // seconds between plucks
constexpr double note_length = 0.3;     // seconds a string rings, fading out
constexpr double tail = 1.5;            // seconds of silence after the phrase
constexpr double phrase_frequencies[] = {220.00, 261.63, 329.63, 440.00,
                                         392.00, 329.63, 293.66, 246.94};
constexpr int phrase_notes = sizeof phrase_frequencies / sizeof phrase_frequencies[0];

// One plucked string: a delay line of one period, filled with noise and
// averaged a little on every pass, which damps the high partials first.
struct string_voice {
  std::vector<double> line;
  std::size_t position = 0;
  long remaining = 0;
};

unsigned long long noise_state = 0x2545F4914F6CDD1DULL;
double next_noise() {
  noise_state = noise_state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(noise_state >> 11) / 9007199254740992.0 * 2.0 - 1.0;
}

string_voice pluck(double frequency) {
  string_voice voice;
  voice.line.resize(static_cast<std::size_t>(sample_rate / frequency));
  for (double& value : voice.line) {
    value = next_noise();
  }
  voice.remaining = static_cast<long>(note_length * sample_rate);
  return voice;
}

double next_sample(string_voice& voice) {
  const std::size_t size = voice.line.size();
  const std::size_t next = (voice.position + 1) % size;
  // A short, fading pluck leaves gaps in which the echoes can be heard.
  const double fade = voice.remaining / (note_length * sample_rate);
  const double value = voice.line[voice.position] * fade;
  voice.line[voice.position] = 0.498 * (voice.line[voice.position] + voice.line[next]);
  voice.position = next;
  --voice.remaining;
  return value;
}

int fail(const char* path, const char* reason) {
  std::fprintf(stderr, "make_demo_wave: %s: %s\n", path, reason);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: make_demo_wave OUTPUT [SECONDS]\n");
    return 2;
  }
  const char* path = argv[1];
  const bool repeat = argc == 3;
  const double seconds =
      repeat ? std::atof(argv[2]) : (phrase_notes - 1) * note_spacing + note_length + tail;
  if (!(seconds > 0.0 && seconds * sample_rate < 2147483647.0)) {
    std::fprintf(stderr, "make_demo_wave: SECONDS must be a positive length\n");
    return 2;
  }

  wave_data shape;
  shape.sample_rate = sample_rate;
  shape.bits_per_sample = 16;
  // Rounded, so that a length given to many decimals (the benchmark's
  // longest recording) lands on the sample count it was computed from.
  shape.sample_count = static_cast<std::int32_t>(std::llround(seconds * sample_rate));

  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    return fail(path, std::strerror(errno));
  }
  const auto header = wave_header(shape.sample_rate, shape.bits_per_sample, shape.sample_count);
  std::fwrite(header.data(), 1, header.size(), file);

  const long spacing = static_cast<long>(note_spacing * sample_rate);
  std::vector<string_voice> voices;
  int note = 0;
  for (long n = 0; n < shape.sample_count; ++n) {
    if (n % spacing == 0 && (repeat || note < phrase_notes)) {
      voices.push_back(pluck(phrase_frequencies[note % phrase_notes]));
      ++note;
    }
    double mix = 0.0;
    for (string_voice& voice : voices) {
      mix += next_sample(voice);
    }
    std::erase_if(voices, [](const string_voice& voice) { return voice.remaining <= 0; });
    const auto s = static_cast<std::uint16_t>(sample_to_s16(0.45 * mix));
    const unsigned char bytes[2] = {static_cast<unsigned char>(s),
                                    static_cast<unsigned char>(s >> 8)};
    std::fwrite(bytes, 1, 2, file);
  }
  if (std::fclose(file) != 0) {
    return fail(path, std::strerror(errno));
  }
  return 0;
}
