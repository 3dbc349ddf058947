/* Opens a graph model through the public C API, runs it on an image (or a generated frame when
 * no image is given) and prints the model's tensors, the latency and the top classes.
 *
 * Usage: run_model MODEL.vexa [IMAGE] */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vexa/vexa.h"

enum { kRuns = 5, kTopK = 3, kFrameSide = 96 };

static int fail_session(const vexa_session* s, const char* what) {
  fprintf(stderr, "vexa: %s: %.*s (code %u)\n", what, (int)vexa_session_error_message_len(s),
          vexa_session_error_message_ptr(s), vexa_session_error_code(s));
  return 1;
}

static void print_tensor(const char* kind, int32_t i, const char* name, uint64_t name_len,
                         uint32_t dtype, uint32_t rank, const vexa_session* s, int input) {
  printf("  %s %d: %.*s dtype %u [", kind, i, (int)name_len, name, dtype);
  for (uint32_t j = 0; j < rank; ++j) {
    const int64_t d = input ? vexa_session_input_dim(s, i, (int32_t)j)
                            : vexa_session_output_dim(s, i, (int32_t)j);
    printf("%s%lld", j ? ", " : "", (long long)d);
  }
  printf("]\n");
}

static int compare_doubles(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s MODEL.vexa [IMAGE]\n", argv[0]);
    return 2;
  }
  printf("vexa %s\n", vexa_version());
  vexa_config* config = vexa_config_new();
  vexa_session* session = vexa_session_new(config);
  vexa_config_free(config);
  if (session == NULL) {
    fprintf(stderr, "vexa: cannot create a session\n");
    return 1;
  }
  vexa_session_set_warmup(session, 1);
  if (!vexa_session_open(session, argv[1], strlen(argv[1]))) {
    const int rc = fail_session(session, "open");
    vexa_session_free(session);
    return rc;
  }
  printf("model %s on backend %u\n", argv[1], vexa_session_active_backend(session));
  for (int32_t i = 0; i < (int32_t)vexa_session_input_count(session); ++i) {
    print_tensor("input", i, vexa_session_input_name_ptr(session, i),
                 vexa_session_input_name_len(session, i), vexa_session_input_dtype(session, i),
                 vexa_session_input_rank(session, i), session, 1);
  }
  for (int32_t i = 0; i < (int32_t)vexa_session_output_count(session); ++i) {
    print_tensor("output", i, vexa_session_output_name_ptr(session, i),
                 vexa_session_output_name_len(session, i), vexa_session_output_dtype(session, i),
                 vexa_session_output_rank(session, i), session, 0);
  }

  vexa_frame* frame = vexa_frame_new();
  if (argc > 2) {
    if (!vexa_frame_load_file(frame, argv[2], strlen(argv[2]))) {
      fprintf(stderr, "vexa: image: %.*s\n", (int)vexa_frame_error_message_len(frame),
              vexa_frame_error_message_ptr(frame));
      vexa_frame_free(frame);
      vexa_session_free(session);
      return 1;
    }
    printf("image %s: %ux%u\n", argv[2], vexa_frame_width(frame), vexa_frame_height(frame));
  } else {
    static uint8_t pixels[kFrameSide * kFrameSide * 3];
    for (int y = 0; y < kFrameSide; ++y)
      for (int x = 0; x < kFrameSide; ++x) {
        uint8_t* p = &pixels[(y * kFrameSide + x) * 3];
        p[0] = (uint8_t)(x * 255 / (kFrameSide - 1));
        p[1] = (uint8_t)(y * 255 / (kFrameSide - 1));
        p[2] = (uint8_t)((x + y) & 0xFF);
      }
    vexa_frame_set_pixels(frame, pixels, sizeof pixels, kFrameSide, kFrameSide, 0,
                          VEXA_PIXEL_RGB8, 1, 1);
    printf("generated frame: %dx%d gradient\n", kFrameSide, kFrameSide);
  }

  vexa_input* input = vexa_input_new();
  vexa_output* output = vexa_output_new();
  vexa_input_set_frame(input, frame);
  double latencies[kRuns];
  int rc = 0;
  for (int r = 0; r < kRuns; ++r) {
    if (!vexa_session_run(session, input, output)) {
      rc = fail_session(session, "run");
      break;
    }
    latencies[r] = vexa_output_latency_ms(output);
  }
  if (rc == 0) {
    qsort(latencies, kRuns, sizeof latencies[0], compare_doubles);
    printf("latency: median %.3f ms over %d runs (min %.3f ms)\n", latencies[kRuns / 2], kRuns,
           latencies[0]);
    const uint64_t count = vexa_output_elem_count(output, 0);
    const float* values = vexa_output_f32_ptr(output, 0);
    printf("output 0: %llu values:", (unsigned long long)count);
    for (uint64_t i = 0; i < count && i < 8; ++i) printf(" %.4f", values[i]);
    printf("%s\n", count > 8 ? " ..." : "");
    const int32_t k = vexa_output_compute_top_k(output, 0, kTopK, 1);
    for (int32_t i = 0; i < k; ++i) {
      printf("  top %d: class %u %.*s p=%.4f\n", i + 1, vexa_output_top_class_id(output, i),
             (int)vexa_output_top_label_len(output, i), vexa_output_top_label_ptr(output, i),
             vexa_output_top_score(output, i));
    }
  }
  vexa_output_free(output);
  vexa_input_free(input);
  vexa_frame_free(frame);
  vexa_session_free(session);
  return rc;
}
