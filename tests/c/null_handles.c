/* Every exported function of the configuration, frame, input and output families called with
 * null handles, compiled as C11 against the public header only. */
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "vexa/vexa.h"

int main(void) {
  const uint8_t bytes[16] = {0};
  const float values[4] = {1, 2, 3, 4};
  const int64_t ints[2] = {1, 2};
  const uint16_t halves[2] = {0x3C00, 0};
  float f32_out[4];
  int64_t i64_out[2];

  CHECK(strcmp(vexa_version(), "0.1.0-ea.1") == 0);
  CHECK(vexa_probe_backend(NULL, VEXA_BACKEND_AUTO) == 1);
  CHECK(vexa_probe_backend(NULL, VEXA_BACKEND_CPU) == 1);
  CHECK(vexa_probe_backend(NULL, 7) == 0);

  /* Configuration setters: nothing happens. */
  vexa_config_free(NULL);
  vexa_config_set_models_dir(NULL, "m", 1);
  vexa_config_set_cache_dir(NULL, "c", 1);
  vexa_config_set_skel_dir(NULL, "s", 1);
  vexa_config_set_backend(NULL, 1);
  vexa_config_set_threads(NULL, 4);
  vexa_config_set_verify_weights(NULL, 1);

  /* Frames. */
  vexa_frame_free(NULL);
  CHECK(vexa_frame_set_pixels(NULL, bytes, sizeof bytes, 1, 1, 0, VEXA_PIXEL_RGB8, 1, 1) == 0);
  CHECK(vexa_frame_load_file(NULL, "x.png", 5) == 0);
  CHECK(vexa_frame_load_encoded(NULL, bytes, sizeof bytes) == 0);
  CHECK(vexa_frame_crop_into(NULL, NULL, 0, 0, 1, 1) == 0);
  CHECK(vexa_frame_width(NULL) == 0);
  CHECK(vexa_frame_height(NULL) == 0);
  CHECK(vexa_frame_format(NULL) == 0);
  CHECK(vexa_frame_stride(NULL) == 0);
  CHECK(vexa_frame_data_ptr(NULL) == NULL);
  CHECK(vexa_frame_error_code(NULL) == 1);
  CHECK(vexa_frame_error_message_ptr(NULL) != NULL &&
        strcmp(vexa_frame_error_message_ptr(NULL), "Null Frame handle") == 0);
  CHECK(vexa_frame_error_message_len(NULL) == 17);
  {
    /* A null source with a real destination reports into the destination. */
    vexa_frame* dst = vexa_frame_new();
    CHECK(dst != NULL);
    CHECK(vexa_frame_crop_into(NULL, dst, 0, 0, 1, 1) == 0);
    CHECK(vexa_frame_error_code(dst) == 1);
    CHECK(strcmp(vexa_frame_error_message_ptr(dst), "Source frame is empty or null") == 0);
    vexa_frame_free(dst);
  }

  /* Inputs. */
  vexa_input_clear(NULL);
  vexa_input_free(NULL);
  vexa_input_set_frame(NULL, NULL);
  vexa_input_set_named_frame(NULL, "image", 5, NULL);
  CHECK(vexa_input_add_batch_frame(NULL, NULL) == 0);
  CHECK(vexa_input_set_f32(NULL, 0, values, 4, 1) == 0);
  CHECK(vexa_input_set_named_f32(NULL, "x", 1, values, 4, 1) == 0);
  CHECK(vexa_input_set_i64(NULL, 0, ints, 2, 1) == 0);
  CHECK(vexa_input_set_named_i64(NULL, "x", 1, ints, 2, 1) == 0);
  CHECK(vexa_input_set_f16(NULL, 0, halves, 2, 1) == 0);
  CHECK(vexa_input_set_named_f16(NULL, "x", 1, halves, 2, 1) == 0);
  CHECK(vexa_input_set_u8(NULL, 0, bytes, 4, 1) == 0);
  CHECK(vexa_input_set_named_u8(NULL, "x", 1, bytes, 4, 1) == 0);
  vexa_input_set_prompt(NULL, "hi", 2);
  CHECK(vexa_input_add_message(NULL, "user", 4, "hi", 2) == 0);
  CHECK(vexa_input_add_image_message(NULL, "user", 4, NULL, "hi", 2) == 0);
  vexa_input_set_max_tokens(NULL, 5);
  vexa_input_set_temperature(NULL, 0.5f);
  vexa_input_set_top_p(NULL, 0.5f);
  vexa_input_set_top_k(NULL, 5);
  vexa_input_set_min_p(NULL, 0.1f);
  vexa_input_set_repeat_penalty(NULL, 1.1f);
  vexa_input_set_seed(NULL, 42);
  CHECK(vexa_input_add_stop(NULL, "x", 1) == 0);
  vexa_input_set_image_tiled(NULL, 1, 256);
  vexa_input_set_json_schema(NULL, "{}", 2);
  vexa_input_set_amount_decimals(NULL, 2);

  /* Outputs. */
  vexa_output_free(NULL);
  CHECK(vexa_output_latency_ms(NULL) == 0.0);
  CHECK(vexa_output_backend_used(NULL) == 0);
  CHECK(vexa_output_scale_x(NULL) == 1.0f);
  CHECK(vexa_output_scale_y(NULL) == 1.0f);
  CHECK(vexa_output_pad_x(NULL) == 0.0f);
  CHECK(vexa_output_pad_y(NULL) == 0.0f);
  CHECK(vexa_output_tensor_count(NULL) == 0);
  CHECK(vexa_output_index_of(NULL, "out", 3) == -1);
  CHECK(vexa_output_dtype(NULL, 0) == 0);
  CHECK(vexa_output_rank(NULL, 0) == 0);
  CHECK(vexa_output_dim(NULL, 0, 0) == -1);
  CHECK(vexa_output_elem_count(NULL, 0) == 0);
  CHECK(vexa_output_f32_len(NULL, 0) == 0);
  CHECK(vexa_output_f32_ptr(NULL, 0) == NULL);
  CHECK(vexa_output_i64_ptr(NULL, 0) == NULL);
  CHECK(vexa_output_f16_ptr(NULL, 0) == NULL);
  CHECK(vexa_output_u8_ptr(NULL, 0) == NULL);
  CHECK(vexa_output_copy_f32(NULL, 0, f32_out, 4) == 0);
  CHECK(vexa_output_copy_i64(NULL, 0, i64_out, 2) == 0);
  CHECK(vexa_output_compute_top_k(NULL, 0, 5, 1) == 0);
  CHECK(vexa_output_top_class_id(NULL, 0) == 0xFFFFFFFFu);
  CHECK(vexa_output_top_score(NULL, 0) == 0.0f);
  CHECK(is_empty_text(vexa_output_top_label_ptr(NULL, 0)));
  CHECK(vexa_output_top_label_len(NULL, 0) == 0);
  CHECK(vexa_output_decode_boxes(NULL, 10, 0.5f, 0.5f) == 0);
  CHECK(vexa_output_box_x1(NULL, 0) == 0.0f);
  CHECK(vexa_output_box_y1(NULL, 0) == 0.0f);
  CHECK(vexa_output_box_x2(NULL, 0) == 0.0f);
  CHECK(vexa_output_box_y2(NULL, 0) == 0.0f);
  CHECK(vexa_output_box_score(NULL, 0) == 0.0f);
  CHECK(vexa_output_box_class_id(NULL, 0) == 0xFFFFFFFFu);
  CHECK(is_empty_text(vexa_output_box_label_ptr(NULL, 0)));
  CHECK(vexa_output_box_label_len(NULL, 0) == 0);
  CHECK(vexa_output_box_landmark_count(NULL, 0) == 0);
  CHECK(vexa_output_box_landmark_x(NULL, 0, 0) == 0.0f);
  CHECK(vexa_output_box_landmark_y(NULL, 0, 0) == 0.0f);
  CHECK(vexa_output_normalize_l2(NULL, 0) == 0);
  CHECK(vexa_output_cosine_similarity(NULL, 0, NULL, 0) == 0.0f);
  CHECK(vexa_output_to_frame(NULL, 0, NULL, 255.0f, 0.0f) == 0);
  {
    vexa_frame* frame = vexa_frame_new();
    CHECK(vexa_output_to_frame(NULL, 0, frame, 255.0f, 0.0f) == 0);
    CHECK(vexa_frame_error_code(frame) == 1);
    CHECK(strcmp(vexa_frame_error_message_ptr(frame), "Invalid Output handle or tensor_idx") == 0);
    vexa_frame_free(frame);
  }
  CHECK(is_empty_text(vexa_output_text_ptr(NULL)));
  CHECK(vexa_output_text_len(NULL) == 0);
  CHECK(is_empty_text(vexa_output_full_text_ptr(NULL)));
  CHECK(vexa_output_full_text_len(NULL) == 0);
  CHECK(vexa_output_finish_reason(NULL) == 0);
  CHECK(vexa_output_prompt_tokens(NULL) == 0);
  CHECK(vexa_output_generated_tokens(NULL) == 0);
  CHECK(vexa_output_cached_prompt_tokens(NULL) == 0);

  /* Out-of-range indices on a fresh output give the same neutral values. */
  {
    vexa_output* out = vexa_output_new();
    CHECK(out != NULL);
    CHECK(vexa_output_scale_x(out) == 1.0f && vexa_output_scale_y(out) == 1.0f);
    CHECK(vexa_output_dim(out, 0, 0) == -1);
    CHECK(vexa_output_top_class_id(out, -1) == 0xFFFFFFFFu);
    CHECK(vexa_output_box_class_id(out, 3) == 0xFFFFFFFFu);
    CHECK(vexa_output_decode_boxes(out, 10, 0.5f, 0.5f) == 0);
    CHECK(is_empty_text(vexa_output_text_ptr(out)));
    vexa_output_free(out);
  }

  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  return 0;
}
