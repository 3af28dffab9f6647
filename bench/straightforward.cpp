// The straightforward transcription of the program: whole arrays, one read or
// write per field and per sample, the effects as plain loops. It is the
// yardstick of bench/run_benchmark.py, which times it beside wave_effect and
// checks that both write the same ex8_2.wav. Header fields are read and
// written straight from integers: it runs on little-endian machines only.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct wave_data {
  std::int32_t sample_rate, bits_per_sample, sample_count;
  double* samples;
};

static void read_wave(wave_data* wave) {
  FILE* f = std::fopen("tec.wav", "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "straightforward: tec.wav cannot be opened\n");
    std::exit(1);
  }
  char tag[4];
  std::int32_t riff_size, format_size, byte_rate, data_size = 0;
  std::int16_t format_tag, channels, block_align, bits = 0;
  std::int32_t rate = 0;
  bool whole = std::fread(tag, 4, 1, f) && std::fread(&riff_size, 4, 1, f) &&
               std::fread(tag, 4, 1, f) && std::fread(tag, 4, 1, f) &&
               std::fread(&format_size, 4, 1, f) && std::fread(&format_tag, 2, 1, f) &&
               std::fread(&channels, 2, 1, f) && std::fread(&rate, 4, 1, f) &&
               std::fread(&byte_rate, 4, 1, f) && std::fread(&block_align, 2, 1, f) &&
               std::fread(&bits, 2, 1, f) && std::fread(tag, 4, 1, f) &&
               std::fread(&data_size, 4, 1, f);
  wave->sample_rate = rate;
  wave->bits_per_sample = bits;
  wave->sample_count = whole && data_size > 0 ? data_size / 2 : 0;
  wave->samples = static_cast<double*>(std::calloc(wave->sample_count, sizeof(double)));
  for (std::int32_t n = 0; n < wave->sample_count; n++) {
    std::int16_t s;
    if (!std::fread(&s, 2, 1, f)) break;  // a short file: the rest stays silent
    wave->samples[n] = s * 0.000030517578125;
  }
  std::fclose(f);
}

static void write_wave(const wave_data* wave) {
  FILE* f = std::fopen("ex8_2.wav", "wb");
  if (f == nullptr) return;
  std::int32_t riff_size = wave->sample_count * 2 + 36, format_size = 16;
  std::int32_t byte_rate = wave->sample_rate * wave->bits_per_sample / 8;
  std::int32_t data_size = wave->sample_count * 2;
  std::int16_t format_tag = 1, channels = 1;
  std::int16_t block_align = static_cast<std::int16_t>(wave->bits_per_sample / 8);
  std::int16_t bits = static_cast<std::int16_t>(wave->bits_per_sample);
  std::fwrite("RIFF", 4, 1, f);
  std::fwrite(&riff_size, 4, 1, f);
  std::fwrite("WAVE", 4, 1, f);
  std::fwrite("fmt ", 4, 1, f);
  std::fwrite(&format_size, 4, 1, f);
  std::fwrite(&format_tag, 2, 1, f);
  std::fwrite(&channels, 2, 1, f);
  std::fwrite(&wave->sample_rate, 4, 1, f);
  std::fwrite(&byte_rate, 4, 1, f);
  std::fwrite(&block_align, 2, 1, f);
  std::fwrite(&bits, 2, 1, f);
  std::fwrite("data", 4, 1, f);
  std::fwrite(&data_size, 4, 1, f);
  for (std::int32_t n = 0; n < wave->sample_count; n++) {
    double v = (wave->samples[n] + 1.0) * 0.5 * 65536.0;
    if (v > 65535.0) {
      v = 65535.0;
    } else if (v < 0.0) {
      v = 0.0;
    }
    int u = static_cast<int>(v + 0.5);
    std::int16_t s = static_cast<std::int16_t>(u - 32768);
    std::fwrite(&s, 2, 1, f);
  }
  std::fclose(f);
}

static void apply_distortion(const wave_data* in, wave_data* out) {
  float gain = 1.0f, level = 1.0f;  // kept when a reply is not a number
  std::printf("gain:");
  std::fflush(stdout);
  if (std::scanf("%f", &gain) != 1) gain = 1.0f;
  std::printf("level:");
  std::fflush(stdout);
  if (std::scanf("%f", &level) != 1) level = 1.0f;
  for (std::int32_t n = 0; n < in->sample_count; n++) {
    double y = gain * in->samples[n];
    if (y > 1.0) {
      y = 1.0;
    } else if (y < -1.0) {
      y = -1.0;
    }
    out->samples[n] = level * y;
  }
}

static void apply_reverb(const wave_data* in, wave_data* out) {
  float spacing = static_cast<float>(in->sample_rate * 0.05);
  for (std::int32_t n = 0; n < in->sample_count; n++) {
    out->samples[n] = in->samples[n];
    float nf = static_cast<float>(n);
    for (int i = 1; i <= 100; i++) {
      double p = static_cast<double>(nf) - static_cast<double>(static_cast<float>(i)) * spacing;
      int m = static_cast<int>(p);
      if (m >= 0 && m < in->sample_count) out->samples[n] += std::pow(0.5, i) * in->samples[m];
    }
  }
}

static void apply_vibrato(const wave_data* in, wave_data* out) {
  float d = static_cast<float>(in->sample_rate * 0.002);
  float depth = d;
  for (std::int32_t n = 0; n < in->sample_count; n++) {
    float nf = static_cast<float>(n);
    double phase = (n * 31.41592653589793) / in->sample_rate;
    float tau = static_cast<float>(std::sin(phase) * depth + d);
    float t = nf - tau;
    int m = static_cast<int>(t);
    float frac = t - static_cast<float>(m);
    if (m >= 0 && m + 1 < in->sample_count) {
      out->samples[n] = (1.0 - frac) * in->samples[m] + frac * in->samples[m + 1];
    }
  }
}

int main() {
  FILE* before = std::fopen("wave-before.csv", "w");
  FILE* after = std::fopen("wave-after.csv", "w");
  wave_data in, out;
  read_wave(&in);
  out.sample_rate = in.sample_rate;
  out.bits_per_sample = in.bits_per_sample;
  out.sample_count = in.sample_count;
  out.samples = static_cast<double*>(std::calloc(out.sample_count, sizeof(double)));
  std::printf("%d\n", in.sample_count);
  std::printf("effect<d,v>:");
  std::fflush(stdout);
  char key[12] = "";
  if (std::scanf("%11s", key) != 1) key[0] = '\0';
  if (std::strcmp(key, "d") == 0) apply_distortion(&in, &out);
  if (std::strcmp(key, "r") == 0) apply_reverb(&in, &out);
  if (std::strcmp(key, "v") == 0) apply_vibrato(&in, &out);
  for (std::int32_t n = 0; n < in.sample_count; n++) {
    if (before != nullptr) std::fprintf(before, "%f\n", in.samples[n]);
    if (after != nullptr) std::fprintf(after, "%f\n", out.samples[n]);
  }
  write_wave(&out);
  std::free(in.samples);
  std::free(out.samples);
  return 0;
}
