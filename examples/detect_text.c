/* Runs a converted single-input image model on one picture through the public C API and
 * writes its first output as an image. Made for the PP-OCR text detector, whose output is a
 * per-pixel text probability map, but any model with one image input and a [1,]C,H,W output
 * (C 1 or 3) works.
 *
 *   detect_text MODEL.vexa IMAGE OUT.ppm [--runs N] [--threads N] [--backend B] [--model-norm]
 *
 * B is auto (the default: the GPU backend when it takes the model, else the CPU engine), cpu,
 * gpu or npu; the backend that ran is printed with the latency.
 * The image is stretched to the model's input size and normalised with the ImageNet mean and
 * deviation on 0..1 pixels in BGR order (what PaddleOCR models expect); --model-norm keeps the
 * model's own preprocessing settings instead. Output values 0..1 become bytes 0..255.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vexa/vexa.h"

#define DEFAULT_RUNS 5
#define MAX_RUNS 100
#define MAP_BYTE_SCALE 255.0f
#define TEXT_PROBABILITY 0.3f

static int session_fail(vexa_session* s, const char* what) {
  fprintf(stderr, "detect_text: %s: [%u] %.*s\n", what, vexa_session_error_code(s),
          (int)vexa_session_error_message_len(s), vexa_session_error_message_ptr(s));
  return 1;
}

static int frame_fail(vexa_frame* f, const char* what) {
  fprintf(stderr, "detect_text: %s: [%u] %.*s\n", what, vexa_frame_error_code(f),
          (int)vexa_frame_error_message_len(f), vexa_frame_error_message_ptr(f));
  return 1;
}

/* Binary PPM of an RGB8 frame, written beside the target and renamed so a failed write never
 * leaves a truncated picture under the final name. */
static int write_ppm(const vexa_frame* f, const char* path) {
  const uint32_t w = vexa_frame_width(f), h = vexa_frame_height(f);
  const uint64_t stride = vexa_frame_stride(f);
  const uint8_t* px = vexa_frame_data_ptr(f);
  if (px == NULL || vexa_frame_format(f) != VEXA_PIXEL_RGB8) return 0;
  const size_t tmp_len = strlen(path) + 6;
  char* tmp = malloc(tmp_len);
  if (tmp == NULL) return 0;
  snprintf(tmp, tmp_len, "%s.part", path);
  FILE* out = fopen(tmp, "wb");
  int ok = out != NULL;
  if (ok) ok = fprintf(out, "P6\n%u %u\n255\n", w, h) > 0;
  for (uint32_t y = 0; ok && y < h; ++y) ok = fwrite(px + y * stride, 3, w, out) == w;
  if (out != NULL && fclose(out) != 0) ok = 0;
  if (ok) ok = rename(tmp, path) == 0;
  if (!ok) remove(tmp);
  free(tmp);
  return ok;
}

static int compare_double(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr,
            "usage: detect_text MODEL.vexa IMAGE OUT.ppm [--runs N] [--threads N] "
            "[--backend auto|cpu|gpu|npu] [--model-norm]\n");
    return 2;
  }
  const char* model = argv[1];
  const char* image = argv[2];
  const char* out_path = argv[3];
  int runs = DEFAULT_RUNS, threads = 0, model_norm = 0;
  uint32_t backend = VEXA_BACKEND_AUTO;
  for (int i = 4; i < argc; ++i) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = atoi(argv[++i]);
    else if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc) threads = atoi(argv[++i]);
    else if (strcmp(argv[i], "--backend") == 0 && i + 1 < argc) {
      const char* b = argv[++i];
      if (strcmp(b, "auto") == 0) backend = VEXA_BACKEND_AUTO;
      else if (strcmp(b, "cpu") == 0) backend = VEXA_BACKEND_CPU;
      else if (strcmp(b, "gpu") == 0) backend = VEXA_BACKEND_GPU;
      else if (strcmp(b, "npu") == 0) backend = VEXA_BACKEND_NPU;
      else {
        fprintf(stderr, "detect_text: unknown backend %s\n", b);
        return 2;
      }
    } else if (strcmp(argv[i], "--model-norm") == 0) model_norm = 1;
    else {
      fprintf(stderr, "detect_text: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (runs < 1) runs = 1;
  if (runs > MAX_RUNS) runs = MAX_RUNS;

  int status = 1;
  vexa_config* config = vexa_config_new();
  vexa_config_set_backend(config, backend);
  if (threads > 0) vexa_config_set_threads(config, threads);
  vexa_session* session = vexa_session_new(config);
  vexa_frame* frame = vexa_frame_new();
  vexa_frame* map = vexa_frame_new();
  vexa_input* input = vexa_input_new();
  vexa_output* output = vexa_output_new();
  double latencies[MAX_RUNS];

  if (!model_norm) {
    vexa_session_set_resize_mode(session, 0);
    vexa_session_set_color_bgr(session, 1);
    vexa_session_set_normalization(session, 1.0f / 255.0f, 0.485f, 0.456f, 0.406f, 0.229f,
                                   0.224f, 0.225f);
  }
  if (!vexa_session_open(session, model, strlen(model))) {
    status = session_fail(session, "open");
    goto done;
  }
  if (vexa_session_input_count(session) != 1) {
    fprintf(stderr, "detect_text: the model has %u inputs; one image input is needed\n",
            vexa_session_input_count(session));
    goto done;
  }
  if (!vexa_frame_load_file(frame, image, strlen(image))) {
    status = frame_fail(frame, "image");
    goto done;
  }
  printf("model %s: input %.*s [", model, (int)vexa_session_input_name_len(session, 0),
         vexa_session_input_name_ptr(session, 0));
  for (uint32_t j = 0; j < vexa_session_input_rank(session, 0); ++j)
    printf("%s%lld", j ? ", " : "", (long long)vexa_session_input_dim(session, 0, (int32_t)j));
  printf("], image %s %ux%u\n", image, vexa_frame_width(frame), vexa_frame_height(frame));

  vexa_input_set_frame(input, frame);
  for (int r = 0; r < runs; ++r) {
    if (!vexa_session_run(session, input, output)) {
      status = session_fail(session, "run");
      goto done;
    }
    latencies[r] = vexa_output_latency_ms(output);
  }
  const double first = latencies[0];
  qsort(latencies, (size_t)runs, sizeof(double), compare_double);
  const char* names[] = {"none", "CPU", "GPU", "NPU"};
  const uint32_t used = vexa_output_backend_used(output);
  printf("latency: first run %.2f ms, median of %d runs %.2f ms (%s)\n", first, runs,
         latencies[runs / 2], used < 4 ? names[used] : "unknown");

  printf("output 0 %.*s [", (int)vexa_session_output_name_len(session, 0),
         vexa_session_output_name_ptr(session, 0));
  for (uint32_t j = 0; j < vexa_output_rank(output, 0); ++j)
    printf("%s%lld", j ? ", " : "", (long long)vexa_output_dim(output, 0, (int32_t)j));
  printf("]\n");

  const float* values = vexa_output_f32_ptr(output, 0);
  const uint64_t count = vexa_output_f32_len(output, 0);
  if (values != NULL && count > 0) {
    uint64_t above = 0;
    float lo = values[0], hi = values[0];
    for (uint64_t i = 0; i < count; ++i) {
      above += values[i] > TEXT_PROBABILITY;
      if (values[i] < lo) lo = values[i];
      if (values[i] > hi) hi = values[i];
    }
    printf("values %.4f..%.4f; %.2f%% above %.1f\n", lo, hi, 100.0 * (double)above / (double)count,
           TEXT_PROBABILITY);
  }

  if (!vexa_output_to_frame(output, 0, map, MAP_BYTE_SCALE, 0.0f)) {
    status = frame_fail(map, "output as image");
    goto done;
  }
  if (!write_ppm(map, out_path)) {
    fprintf(stderr, "detect_text: cannot write %s\n", out_path);
    goto done;
  }
  printf("wrote %s (%ux%u)\n", out_path, vexa_frame_width(map), vexa_frame_height(map));
  status = 0;

done:
  vexa_output_free(output);
  vexa_input_free(input);
  vexa_frame_free(map);
  vexa_frame_free(frame);
  vexa_session_free(session);
  vexa_config_free(config);
  return status;
}
