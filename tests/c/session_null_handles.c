/* Every exported function of the session family called with null handles and bad arguments,
 * compiled as C11 against the public header only. */
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "vexa/vexa.h"

int main(void) {
  vexa_session_free(NULL);
  vexa_session_set_backend(NULL, 1);
  vexa_session_set_subgraph(NULL, "main", 4);
  vexa_session_set_batch_size(NULL, 2);
  vexa_session_set_context_length(NULL, 10);
  vexa_session_set_activation_fp16(NULL, 1);
  vexa_session_set_warmup(NULL, 1);
  vexa_session_set_resize_mode(NULL, 1);
  vexa_session_set_letterbox_pad(NULL, 3);
  vexa_session_set_color_bgr(NULL, 1);
  vexa_session_set_normalization(NULL, 1, 0, 0, 0, 1, 1, 1);
  vexa_session_cancel(NULL);
  CHECK(vexa_session_inspect(NULL, "m.vexa", 6) == 0);
  CHECK(vexa_session_inspect_fd(NULL, 0, 0, 4096) == 0);
  CHECK(vexa_session_check_backend(NULL, 0) == 0);
  CHECK(vexa_session_open(NULL, "m.vexa", 6) == 0);
  CHECK(vexa_session_open_fd(NULL, 0, 0, 4096) == 0);
  CHECK(vexa_session_unload(NULL) == 0);
  CHECK(vexa_session_reload(NULL) == 0);
  CHECK(vexa_session_reset(NULL) == 0);
  CHECK(vexa_session_run(NULL, NULL, NULL) == 0);
  CHECK(vexa_session_start(NULL, NULL, NULL) == 0);
  CHECK(vexa_session_next(NULL, NULL) == -1);
  CHECK(vexa_session_requested_backend(NULL) == 0);
  CHECK(vexa_session_active_backend(NULL) == 0);
  CHECK(vexa_session_is_generative(NULL) == 0);
  CHECK(vexa_session_estimated_memory_bytes(NULL) == 0);
  CHECK(vexa_session_subgraph_count(NULL) == 0);
  CHECK(is_empty_text(vexa_session_subgraph_name_ptr(NULL, 0)));
  CHECK(vexa_session_subgraph_name_len(NULL, 0) == 0);
  CHECK(vexa_session_input_count(NULL) == 0);
  CHECK(is_empty_text(vexa_session_input_name_ptr(NULL, 0)));
  CHECK(vexa_session_input_name_len(NULL, 0) == 0);
  CHECK(vexa_session_input_dtype(NULL, 0) == 0);
  CHECK(vexa_session_input_rank(NULL, 0) == 0);
  CHECK(vexa_session_input_dim(NULL, 0, 0) == -1);
  CHECK(vexa_session_input_bytes(NULL, 0) == 0);
  CHECK(vexa_session_output_count(NULL) == 0);
  CHECK(is_empty_text(vexa_session_output_name_ptr(NULL, 0)));
  CHECK(vexa_session_output_name_len(NULL, 0) == 0);
  CHECK(vexa_session_output_dtype(NULL, 0) == 0);
  CHECK(vexa_session_output_rank(NULL, 0) == 0);
  CHECK(vexa_session_output_dim(NULL, 0, 0) == -1);
  CHECK(vexa_session_output_bytes(NULL, 0) == 0);
  CHECK(vexa_session_has_meta(NULL, "task", 4) == 0);
  CHECK(is_empty_text(vexa_session_meta_str_ptr(NULL, "task", 4)));
  CHECK(vexa_session_meta_str_len(NULL, "task", 4) == 0);
  CHECK(vexa_session_meta_i64(NULL, "task", 4) == 0);
  CHECK(vexa_session_meta_f64(NULL, "task", 4) == 0.0);
  CHECK(vexa_session_label_count(NULL) == 0);
  CHECK(is_empty_text(vexa_session_label_ptr(NULL, 0)));
  CHECK(vexa_session_label_len(NULL, 0) == 0);
  CHECK(vexa_session_error_code(NULL) == 1);
  CHECK(strcmp(vexa_session_error_message_ptr(NULL), "Null Session handle") == 0);
  CHECK(vexa_session_error_message_len(NULL) == 19);

  /* A fresh session: nothing open, every getter neutral, requests refused with code 1. */
  vexa_session* s = vexa_session_new(NULL);
  CHECK(s != NULL);
  CHECK(vexa_session_error_code(s) == 0);
  CHECK(vexa_session_input_dim(s, 0, 0) == -1);
  CHECK(vexa_session_has_meta(s, NULL, 0) == 0);
  vexa_input* in = vexa_input_new();
  vexa_output* out = vexa_output_new();
  CHECK(vexa_session_run(s, in, out) == 0);
  CHECK(vexa_session_error_code(s) == 1);
  CHECK(vexa_session_run(s, NULL, out) == 0);
  CHECK(vexa_session_next(s, out) == -1);
  CHECK(vexa_session_start(s, in, out) == 0);
  CHECK(vexa_session_check_backend(s, 0) == 0);
  CHECK(vexa_session_inspect(s, "", 0) == 0);
  CHECK(vexa_session_error_code(s) == 1);
  vexa_session_cancel(s);
  CHECK(vexa_session_reset(s) == 1);
  CHECK(vexa_session_unload(s) == 1);
  vexa_output_free(out);
  vexa_input_free(in);
  vexa_session_free(s);
  return failures == 0 ? 0 : 1;
}
