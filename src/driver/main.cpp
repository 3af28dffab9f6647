// wave_effect: applies one sound effect to "tec.wav" in the working
// directory and writes "ex8_2.wav", "wave-before.csv" and "wave-after.csv".

#include <cstdio>
#include <new>

#include "core/io_error.hpp"
#include "driver/run.hpp"
#include "platform/files.hpp"

int main() {
  platform::prepare_process();
  try {
    run_wave_effect({stdin, stdout});
    return 0;
  } catch (const io_error& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "wave_effect: %s\n", error.what());
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("wave_effect: not enough memory\n", stderr);
  }
  return 1;
}
