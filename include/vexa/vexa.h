/* vexa: on-device inference runtime. The public C interface.
 *
 * Every handle is opaque, created by a *_new function and freed by the matching *_free.
 * Every function accepts a null handle and then does nothing or returns a neutral value
 * (0, -1 for indices and dimensions, 1.0 for scales, "" for text). Text crosses the boundary
 * as (pointer, length); returned text is owned by the handle it came from.
 *
 * Error codes (frames and sessions keep the last one with a message of at most 255 bytes):
 *   0 ok, 1 invalid argument or call order, 2 I/O failure, 3 invalid model, 4 invalid image,
 *   5 unsupported image format, 6 context budget exceeded, 7 out of memory,
 *   8 backend unavailable or GPU failure, 9 busy, 10 cancelled, 11 non-finite values,
 *   12 unsupported operation or tensor layout, 13 integrity mismatch, 14 inference failure.
 */
#ifndef VEXA_VEXA_H
#define VEXA_VEXA_H

#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define VEXA_API __attribute__((visibility("default")))
#else
#define VEXA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vexa_config vexa_config;
typedef struct vexa_frame vexa_frame;
typedef struct vexa_input vexa_input;
typedef struct vexa_output vexa_output;
typedef struct vexa_session vexa_session;

/* Backends. */
#define VEXA_BACKEND_AUTO 0u
#define VEXA_BACKEND_CPU 1u
#define VEXA_BACKEND_GPU 2u
#define VEXA_BACKEND_NPU 3u

/* Pixel formats: bytes per pixel 3, 3, 4, 4, 1. */
#define VEXA_PIXEL_RGB8 1u
#define VEXA_PIXEL_BGR8 2u
#define VEXA_PIXEL_RGBA8 3u
#define VEXA_PIXEL_BGRA8 4u
#define VEXA_PIXEL_GRAY8 5u

/* Tensor element types. */
#define VEXA_DTYPE_F16 1u
#define VEXA_DTYPE_F32 2u
#define VEXA_DTYPE_I64 3u
#define VEXA_DTYPE_U8 5u

/* ---- library ---- */

/* "0.1.0-ea.1", owned by the library. */
VEXA_API const char* vexa_version(void);
/* 1 when the backend can run on this device, else 0. config may be null. */
VEXA_API int32_t vexa_probe_backend(const vexa_config* config, uint32_t backend);

/* ---- configuration ---- */

VEXA_API vexa_config* vexa_config_new(void);
VEXA_API void vexa_config_free(vexa_config* config);
/* Directories are cut to 511 bytes; an empty text clears the field. */
VEXA_API void vexa_config_set_models_dir(vexa_config* config, const char* dir, uint64_t len);
VEXA_API void vexa_config_set_cache_dir(vexa_config* config, const char* dir, uint64_t len);
VEXA_API void vexa_config_set_skel_dir(vexa_config* config, const char* dir, uint64_t len);
/* 0..3; other values are ignored. */
VEXA_API void vexa_config_set_backend(vexa_config* config, uint32_t backend);
/* Below 1 means 8; at most 32. */
VEXA_API void vexa_config_set_threads(vexa_config* config, int32_t threads);
VEXA_API void vexa_config_set_verify_weights(vexa_config* config, int32_t flag);

/* ---- frames ---- */

VEXA_API vexa_frame* vexa_frame_new(void);
VEXA_API void vexa_frame_free(vexa_frame* frame);
/* Sets the frame from caller pixels. stride 0 means packed rows; orientation is the EXIF code
 * (0 or 1 upright, 2..8 rotated into a new RGB8 image). Without copy the frame borrows the
 * caller's memory, which must outlive every use of the frame and its crops. 1 ok, 0 failure. */
VEXA_API int32_t vexa_frame_set_pixels(vexa_frame* frame, const uint8_t* pixels, uint64_t len,
                                       uint32_t width, uint32_t height, uint64_t stride,
                                       uint32_t format, uint32_t orientation, int32_t copy);
/* JPEG, PNG or binary PPM, decoded upright into RGB8. 1 ok, 0 failure. */
VEXA_API int32_t vexa_frame_load_file(vexa_frame* frame, const char* path, uint64_t path_len);
VEXA_API int32_t vexa_frame_load_encoded(vexa_frame* frame, const uint8_t* bytes, uint64_t len);
/* dst shares src's pixels (no copy); the rectangle is clamped to src. Errors go into dst. */
VEXA_API int32_t vexa_frame_crop_into(const vexa_frame* src, vexa_frame* dst, int32_t x,
                                      int32_t y, int32_t width, int32_t height);
VEXA_API uint32_t vexa_frame_width(const vexa_frame* frame);
VEXA_API uint32_t vexa_frame_height(const vexa_frame* frame);
VEXA_API uint32_t vexa_frame_format(const vexa_frame* frame);
VEXA_API uint64_t vexa_frame_stride(const vexa_frame* frame);
VEXA_API const uint8_t* vexa_frame_data_ptr(const vexa_frame* frame);
VEXA_API uint32_t vexa_frame_error_code(const vexa_frame* frame);
VEXA_API const char* vexa_frame_error_message_ptr(const vexa_frame* frame);
VEXA_API uint64_t vexa_frame_error_message_len(const vexa_frame* frame);

/* ---- inputs ---- */
/* Frames and uncopied tensors are borrowed and must outlive every run that uses the input.
 * Status-returning setters give 1 on success and 0 on refusal. */

VEXA_API vexa_input* vexa_input_new(void);
VEXA_API void vexa_input_clear(vexa_input* input);
VEXA_API void vexa_input_free(vexa_input* input);
VEXA_API void vexa_input_set_frame(vexa_input* input, const vexa_frame* frame);
VEXA_API void vexa_input_set_named_frame(vexa_input* input, const char* name, uint64_t name_len,
                                         const vexa_frame* frame);
/* At most 64 batch frames; the first also becomes the primary frame. */
VEXA_API int32_t vexa_input_add_batch_frame(vexa_input* input, const vexa_frame* frame);
/* Raw tensors by model-input index (0..7) or name; at most 8 distinct bindings. */
VEXA_API int32_t vexa_input_set_f32(vexa_input* input, uint32_t index, const float* data,
                                    uint64_t count, int32_t copy);
VEXA_API int32_t vexa_input_set_named_f32(vexa_input* input, const char* name, uint64_t name_len,
                                          const float* data, uint64_t count, int32_t copy);
VEXA_API int32_t vexa_input_set_i64(vexa_input* input, uint32_t index, const int64_t* data,
                                    uint64_t count, int32_t copy);
VEXA_API int32_t vexa_input_set_named_i64(vexa_input* input, const char* name, uint64_t name_len,
                                          const int64_t* data, uint64_t count, int32_t copy);
/* F16 data is raw binary16 bits. */
VEXA_API int32_t vexa_input_set_f16(vexa_input* input, uint32_t index, const uint16_t* data,
                                    uint64_t count, int32_t copy);
VEXA_API int32_t vexa_input_set_named_f16(vexa_input* input, const char* name, uint64_t name_len,
                                          const uint16_t* data, uint64_t count, int32_t copy);
VEXA_API int32_t vexa_input_set_u8(vexa_input* input, uint32_t index, const uint8_t* data,
                                   uint64_t count, int32_t copy);
VEXA_API int32_t vexa_input_set_named_u8(vexa_input* input, const char* name, uint64_t name_len,
                                         const uint8_t* data, uint64_t count, int32_t copy);
/* Generative requests. */
VEXA_API void vexa_input_set_prompt(vexa_input* input, const char* text, uint64_t len);
VEXA_API int32_t vexa_input_add_message(vexa_input* input, const char* role, uint64_t role_len,
                                        const char* content, uint64_t content_len);
VEXA_API int32_t vexa_input_add_image_message(vexa_input* input, const char* role,
                                              uint64_t role_len, const vexa_frame* frame,
                                              const char* content, uint64_t content_len);
VEXA_API void vexa_input_set_max_tokens(vexa_input* input, uint32_t max_tokens);
VEXA_API void vexa_input_set_temperature(vexa_input* input, float temperature);
VEXA_API void vexa_input_set_top_p(vexa_input* input, float top_p);
VEXA_API void vexa_input_set_top_k(vexa_input* input, uint32_t top_k);
VEXA_API void vexa_input_set_min_p(vexa_input* input, float min_p);
VEXA_API void vexa_input_set_repeat_penalty(vexa_input* input, float penalty);
VEXA_API void vexa_input_set_seed(vexa_input* input, uint64_t seed);
VEXA_API int32_t vexa_input_add_stop(vexa_input* input, const char* text, uint64_t len);
VEXA_API void vexa_input_set_image_tiled(vexa_input* input, int32_t flag, uint32_t tile);
VEXA_API void vexa_input_set_json_schema(vexa_input* input, const char* text, uint64_t len);
VEXA_API void vexa_input_set_amount_decimals(vexa_input* input, int32_t decimals);

/* ---- outputs ---- */

VEXA_API vexa_output* vexa_output_new(void);
VEXA_API void vexa_output_free(vexa_output* output);

VEXA_API double vexa_output_latency_ms(const vexa_output* output);
VEXA_API uint32_t vexa_output_backend_used(const vexa_output* output);
VEXA_API float vexa_output_scale_x(const vexa_output* output);
VEXA_API float vexa_output_scale_y(const vexa_output* output);
VEXA_API float vexa_output_pad_x(const vexa_output* output);
VEXA_API float vexa_output_pad_y(const vexa_output* output);
VEXA_API uint32_t vexa_output_tensor_count(const vexa_output* output);

/* Tensor getters: i is valid when 0 <= i < tensor count. */
VEXA_API int32_t vexa_output_index_of(const vexa_output* output, const char* name,
                                      uint64_t name_len);
VEXA_API uint32_t vexa_output_dtype(const vexa_output* output, int32_t i);
VEXA_API uint32_t vexa_output_rank(const vexa_output* output, int32_t i);
VEXA_API int64_t vexa_output_dim(const vexa_output* output, int32_t i, int32_t j);
VEXA_API uint64_t vexa_output_elem_count(const vexa_output* output, int32_t i);
VEXA_API uint64_t vexa_output_f32_len(const vexa_output* output, int32_t i);
VEXA_API const float* vexa_output_f32_ptr(const vexa_output* output, int32_t i);
VEXA_API const int64_t* vexa_output_i64_ptr(const vexa_output* output, int32_t i);
VEXA_API const uint16_t* vexa_output_f16_ptr(const vexa_output* output, int32_t i);
VEXA_API const uint8_t* vexa_output_u8_ptr(const vexa_output* output, int32_t i);
VEXA_API uint64_t vexa_output_copy_f32(const vexa_output* output, int32_t i, float* dst,
                                       uint64_t capacity);
VEXA_API uint64_t vexa_output_copy_i64(const vexa_output* output, int32_t i, int64_t* dst,
                                       uint64_t capacity);

/* Top-k of a classifier tensor (first batch item), at most 256 entries. */
VEXA_API int32_t vexa_output_compute_top_k(vexa_output* output, int32_t tensor, int32_t k,
                                           int32_t softmax);
/* Class id of entry k; 0xFFFFFFFF when invalid. */
VEXA_API uint32_t vexa_output_top_class_id(const vexa_output* output, int32_t k);
VEXA_API float vexa_output_top_score(const vexa_output* output, int32_t k);
VEXA_API const char* vexa_output_top_label_ptr(const vexa_output* output, int32_t k);
VEXA_API uint64_t vexa_output_top_label_len(const vexa_output* output, int32_t k);

/* Detection boxes in source-image pixels, at most 256; -1 when the layout is not supported
 * (the session that filled the output then holds code 12). */
VEXA_API int32_t vexa_output_decode_boxes(vexa_output* output, int32_t max_boxes,
                                          float score_threshold, float iou_threshold);
VEXA_API float vexa_output_box_x1(const vexa_output* output, int32_t b);
VEXA_API float vexa_output_box_y1(const vexa_output* output, int32_t b);
VEXA_API float vexa_output_box_x2(const vexa_output* output, int32_t b);
VEXA_API float vexa_output_box_y2(const vexa_output* output, int32_t b);
VEXA_API float vexa_output_box_score(const vexa_output* output, int32_t b);
/* 0xFFFFFFFF when invalid. */
VEXA_API uint32_t vexa_output_box_class_id(const vexa_output* output, int32_t b);
VEXA_API const char* vexa_output_box_label_ptr(const vexa_output* output, int32_t b);
VEXA_API uint64_t vexa_output_box_label_len(const vexa_output* output, int32_t b);
VEXA_API uint32_t vexa_output_box_landmark_count(const vexa_output* output, int32_t b);
VEXA_API float vexa_output_box_landmark_x(const vexa_output* output, int32_t b, int32_t j);
VEXA_API float vexa_output_box_landmark_y(const vexa_output* output, int32_t b, int32_t j);

/* Embeddings: in-place L2 normalisation (1 when every batch item was normalised) and cosine
 * similarity of the first items of two tensors. */
VEXA_API int32_t vexa_output_normalize_l2(vexa_output* output, int32_t tensor);
VEXA_API float vexa_output_cosine_similarity(const vexa_output* output_a, int32_t tensor_a,
                                             const vexa_output* output_b, int32_t tensor_b);
/* A planar [1,]C,H,W tensor (C 1 or 3) as an RGB8 frame: byte = round(value * scale + offset)
 * clamped to 0..255. Errors go into the frame. */
VEXA_API int32_t vexa_output_to_frame(const vexa_output* output, int32_t tensor,
                                      vexa_frame* frame, float scale, float offset);

/* Generated text: never null; owned by the output until its next run, reset or free. */
VEXA_API const char* vexa_output_text_ptr(const vexa_output* output);
VEXA_API uint64_t vexa_output_text_len(const vexa_output* output);
VEXA_API const char* vexa_output_full_text_ptr(const vexa_output* output);
VEXA_API uint64_t vexa_output_full_text_len(const vexa_output* output);
VEXA_API uint32_t vexa_output_finish_reason(const vexa_output* output);
VEXA_API uint32_t vexa_output_prompt_tokens(const vexa_output* output);
VEXA_API uint32_t vexa_output_generated_tokens(const vexa_output* output);
VEXA_API uint32_t vexa_output_cached_prompt_tokens(const vexa_output* output);

/* ---- sessions ---- */
/* A session opens one model (a graph model on the CPU, GPU or NPU, or a generative model) and
 * runs requests on it, one at a time: a call made while another holds the session fails with
 * code 9. vexa_session_cancel may be called from any thread. Status functions return 1 on
 * success and 0 on failure, with the failure in the session's error fields. */

/* config may be null (AUTO, 8 threads); the session keeps its own copy. */
VEXA_API vexa_session* vexa_session_new(const vexa_config* config);
VEXA_API void vexa_session_free(vexa_session* session);
/* Settings take effect at the next inspect or open. */
VEXA_API void vexa_session_set_backend(vexa_session* session, uint32_t backend);
/* Only "main" (or empty) is present in any model. */
VEXA_API void vexa_session_set_subgraph(vexa_session* session, const char* name, uint64_t len);
/* 1..64, checked at open. */
VEXA_API void vexa_session_set_batch_size(vexa_session* session, uint32_t batch_size);
VEXA_API void vexa_session_set_context_length(vexa_session* session, uint32_t tokens);
VEXA_API void vexa_session_set_activation_fp16(vexa_session* session, int32_t flag);
/* Open by path then runs one inference on zeroed inputs. */
VEXA_API void vexa_session_set_warmup(vexa_session* session, int32_t flag);
/* Frame preprocessing; values set here win over the model's metadata.
 * Resize modes: 0 stretch, 1 letterbox, 2 center crop. */
VEXA_API void vexa_session_set_resize_mode(vexa_session* session, uint32_t mode);
VEXA_API void vexa_session_set_letterbox_pad(vexa_session* session, int32_t value);
VEXA_API void vexa_session_set_color_bgr(vexa_session* session, int32_t flag);
/* Plane c = (pixel * scale - mean[c]) / std[c]. */
VEXA_API void vexa_session_set_normalization(vexa_session* session, float scale, float mean0,
                                             float mean1, float mean2, float std0, float std1,
                                             float std2);

/* Reads the model and its information without building an engine. A relative path is joined
 * to the configured models directory. */
VEXA_API int32_t vexa_session_inspect(vexa_session* session, const char* path, uint64_t len);
/* The model is the byte range [offset, offset + length) of fd, which stays the caller's. */
VEXA_API int32_t vexa_session_inspect_fd(vexa_session* session, int32_t fd, uint64_t offset,
                                         uint64_t length);
/* Whether the inspected or opened model can run on the backend here. */
VEXA_API int32_t vexa_session_check_backend(vexa_session* session, uint32_t backend);
VEXA_API int32_t vexa_session_open(vexa_session* session, const char* path, uint64_t len);
VEXA_API int32_t vexa_session_open_fd(vexa_session* session, int32_t fd, uint64_t offset,
                                      uint64_t length);
/* Unload releases the engine and keeps the model information; reload rebuilds the engine. */
VEXA_API int32_t vexa_session_unload(vexa_session* session);
VEXA_API int32_t vexa_session_reload(vexa_session* session);
/* Clears the cancel flag and any stream; the engine stays. */
VEXA_API int32_t vexa_session_reset(vexa_session* session);
VEXA_API void vexa_session_cancel(vexa_session* session);

/* One request: the whole result goes into the output. */
VEXA_API int32_t vexa_session_run(vexa_session* session, const vexa_input* input,
                                  vexa_output* output);
/* Streaming of generative models: start runs the generation, then each next places one text
 * delta (and the grown full text) in the output. next returns 1 for a delta, 0 at the end
 * (the output then carries the final counts and finish reason) and -1 on error, code 9 while
 * another call holds the session. */
VEXA_API int32_t vexa_session_start(vexa_session* session, const vexa_input* input,
                                    vexa_output* output);
VEXA_API int32_t vexa_session_next(vexa_session* session, vexa_output* output);

VEXA_API uint32_t vexa_session_requested_backend(const vexa_session* session);
/* The backend the open engine uses; 0 while nothing is open. */
VEXA_API uint32_t vexa_session_active_backend(const vexa_session* session);
VEXA_API int32_t vexa_session_is_generative(const vexa_session* session);
VEXA_API uint64_t vexa_session_estimated_memory_bytes(const vexa_session* session);
VEXA_API int32_t vexa_session_subgraph_count(const vexa_session* session);
VEXA_API const char* vexa_session_subgraph_name_ptr(const vexa_session* session, int32_t index);
VEXA_API uint64_t vexa_session_subgraph_name_len(const vexa_session* session, int32_t index);

/* Model inputs and outputs: i is valid when 0 <= i < count; dim j when 0 <= j < rank. */
VEXA_API uint32_t vexa_session_input_count(const vexa_session* session);
VEXA_API const char* vexa_session_input_name_ptr(const vexa_session* session, int32_t i);
VEXA_API uint64_t vexa_session_input_name_len(const vexa_session* session, int32_t i);
VEXA_API uint32_t vexa_session_input_dtype(const vexa_session* session, int32_t i);
VEXA_API uint32_t vexa_session_input_rank(const vexa_session* session, int32_t i);
VEXA_API int64_t vexa_session_input_dim(const vexa_session* session, int32_t i, int32_t j);
VEXA_API uint64_t vexa_session_input_bytes(const vexa_session* session, int32_t i);
VEXA_API uint32_t vexa_session_output_count(const vexa_session* session);
VEXA_API const char* vexa_session_output_name_ptr(const vexa_session* session, int32_t i);
VEXA_API uint64_t vexa_session_output_name_len(const vexa_session* session, int32_t i);
VEXA_API uint32_t vexa_session_output_dtype(const vexa_session* session, int32_t i);
VEXA_API uint32_t vexa_session_output_rank(const vexa_session* session, int32_t i);
VEXA_API int64_t vexa_session_output_dim(const vexa_session* session, int32_t i, int32_t j);
VEXA_API uint64_t vexa_session_output_bytes(const vexa_session* session, int32_t i);

/* Model metadata (also after unload). Strings stay valid until the model is closed. */
VEXA_API int32_t vexa_session_has_meta(const vexa_session* session, const char* key,
                                       uint64_t len);
VEXA_API const char* vexa_session_meta_str_ptr(vexa_session* session, const char* key,
                                               uint64_t len);
VEXA_API uint64_t vexa_session_meta_str_len(vexa_session* session, const char* key,
                                            uint64_t len);
VEXA_API int64_t vexa_session_meta_i64(const vexa_session* session, const char* key,
                                       uint64_t len);
VEXA_API double vexa_session_meta_f64(const vexa_session* session, const char* key,
                                      uint64_t len);
VEXA_API uint32_t vexa_session_label_count(const vexa_session* session);
VEXA_API const char* vexa_session_label_ptr(const vexa_session* session, int32_t i);
VEXA_API uint64_t vexa_session_label_len(const vexa_session* session, int32_t i);

VEXA_API uint32_t vexa_session_error_code(const vexa_session* session);
VEXA_API const char* vexa_session_error_message_ptr(const vexa_session* session);
VEXA_API uint64_t vexa_session_error_message_len(const vexa_session* session);

#ifdef __cplusplus
}
#endif

#endif /* VEXA_VEXA_H */
