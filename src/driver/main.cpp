// wave_effect: applies one sound effect to "tec.wav" in the working
// directory and writes "ex8_2.wav", "wave-before.csv" and "wave-after.csv".

#include <csignal>
#include <cstdio>
#include <new>

#include "driver/run.hpp"
#include "wav/io_error.hpp"

int main() {
  // A file-size limit then shows as a failed write, reported like any other,
  // instead of killing the program halfway through a file.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    run_wave_effect({stdin, stdout});
    return 0;
  } catch (const io_error& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "wave_effect: %s\n", error.what());
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "wave_effect: tec.wav: too long to hold in memory\n");
  }
  return 1;
}
