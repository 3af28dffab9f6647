// libFuzzer harness for the WAV reader: arbitrary bytes as the input file,
// walked and converted as the program reads "tec.wav", straight from memory. Built with
// AddressSanitizer and UndefinedBehaviorSanitizer (the "sanitize" preset).
//
//   build/sanitize/tests/read_wave_fuzzer tests/fuzz/corpus
//
// A refusal (io_error) is a correct answer; a crash, a leak, a sanitizer
// report or an accepted file that breaks the reader's promises is not.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/io_error.hpp"
#include "wav/references.hpp"

namespace {

std::FILE* quiet() {
  static std::FILE* const sink = std::fopen("/dev/null", "w");
  return sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  wave_data wave;
  try {
    read_wave_bytes({data, size}, &wave, "tec.wav", quiet());
  } catch (const io_error&) {
    return 0;
  }
  // Accepted: a positive rate, 16 bits, no more samples than the file has
  // bytes for, every one of them a held 16-bit value.
  if (wave.sample_rate <= 0 || wave.bits_per_sample != 16 || wave.sample_count < 0 ||
      static_cast<std::size_t>(wave.sample_count) * 2 > size) {
    std::abort();
  }
  for (std::int32_t n = 0; n < wave.sample_count; ++n) {
    const double scaled = wave.samples[n] * 32768.0;
    if (!(scaled >= -32768.0 && scaled <= 32767.0) || scaled != std::trunc(scaled)) {
      std::abort();
    }
  }
  return 0;
}
