// A scripted generative engine installed behind the bridge for the session tests: it records
// each request, streams the deltas of its script and can block until the test lets it go.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "generative/bridge.h"

namespace vexa_test {

struct SeenMessage {
  std::string role;
  std::string content;
  bool has_image = false;
  std::vector<uint8_t> image;
  const uint8_t* image_ptr = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  uint64_t row_bytes = 0;
  uint32_t pixel_format = 0;
  uint32_t orientation = 0;
};

struct FakeScript {
  // Behaviour.
  bool open_ok = true;
  uint32_t open_code = 0;
  std::string open_message;
  std::vector<std::string> deltas;  // streamed through the callback when there is one
  bool use_callback = true;
  std::string answer;  // the returned text; the deltas joined when empty
  uint32_t finish_reason = 1;
  uint32_t prompt_tokens = 7;
  uint32_t generated_tokens = 0;  // 0: the number of deltas
  uint32_t cached_prompt_tokens = 2;
  double elapsed_ms = 12.5;
  bool fail = false;
  uint32_t fail_code = 0;
  std::string fail_message;
  bool unload_ok = true;
  bool reload_ok = true;
  bool block = false;  // chat waits until release() is called
  // Called before each delta goes to the callback, with its index: lets a test act mid-stream.
  std::function<void(size_t)> before_delta;

  // What the engine saw.
  std::vector<SeenMessage> messages;
  uint32_t max_new_tokens = 0;
  uint32_t top_k = 0;
  uint64_t seed = 0;
  std::vector<std::string> stops;
  double temperature = 0, top_p = 0, min_p = 0, repetition_penalty = 0;
  uint8_t image_tiled = 0;
  uint32_t image_longest_edge = 0;
  bool has_schema = false;
  std::string schema;
  int32_t amount_decimals = 0;
  bool had_callback = false;
  uint32_t delivered = 0;  // deltas the callback took before it asked to stop
  std::string opened_path;
  uint32_t context_length = 0;
  std::atomic<int> frees{0}, unloads{0}, reloads{0}, resets{0}, cancels{0}, chats{0};

  // Blocking.
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;

  void wait_entered() {
    std::unique_lock<std::mutex> g(lock);
    changed.wait(g, [&] { return entered; });
  }
  void release() {
    std::lock_guard<std::mutex> g(lock);
    released = true;
    changed.notify_all();
  }
};

inline FakeScript*& fake_script() {
  static FakeScript* script = nullptr;
  return script;
}

inline char& fake_handle_token() {
  static char token = 0;
  return token;
}

namespace fake_detail {

inline void put_message(char* message, uint64_t capacity, const std::string& text) {
  if (message == nullptr || capacity == 0) return;
  const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  std::memcpy(message, text.data(), n);
  message[n] = '\0';
}

inline int open_common(const char* path, uint32_t context_length, vexa::VlmHandle** out,
                       uint32_t* code, char* message, uint64_t capacity) {
  FakeScript* f = fake_script();
  f->opened_path = path != nullptr ? path : "";
  f->context_length = context_length;
  if (!f->open_ok) {
    *out = nullptr;
    *code = f->open_code;
    put_message(message, capacity, f->open_message);
    return 0;
  }
  *out = reinterpret_cast<vexa::VlmHandle*>(&fake_handle_token());
  return 1;
}

inline int chat(vexa::VlmHandle*, const vexa::VlmChatRequest& r, vexa::VlmChatResult* res) {
  FakeScript* f = fake_script();
  ++f->chats;
  f->messages.clear();
  for (uint64_t i = 0; i < r.message_count; ++i) {
    const vexa::VlmMessage& m = r.messages[i];
    SeenMessage s;
    s.role = m.role;
    s.content = m.text;
    s.has_image = m.kind == vexa::kVlmMessageHasImage;
    if (s.has_image) {
      s.image.assign(m.image, m.image + m.length);
      s.image_ptr = m.image;
      s.width = m.width;
      s.height = m.height;
      s.row_bytes = m.stride;
      s.pixel_format = m.format;
      s.orientation = m.orientation;
    }
    f->messages.push_back(std::move(s));
  }
  f->max_new_tokens = r.max_new_tokens;
  f->top_k = r.top_k;
  f->seed = r.seed;
  f->stops.clear();
  for (uint64_t i = 0; i < r.stop_count; ++i) f->stops.emplace_back(r.stops[i]);
  f->temperature = r.temperature;
  f->top_p = r.top_p;
  f->min_p = r.min_p;
  f->repetition_penalty = r.repetition_penalty;
  f->image_tiled = static_cast<uint8_t>(r.image_options & 1);
  f->image_longest_edge = static_cast<uint32_t>(r.image_options >> 32);
  f->has_schema = r.json_schema != nullptr;
  f->schema = r.json_schema != nullptr ? r.json_schema : "";
  f->amount_decimals = r.amount_decimals;
  f->had_callback = r.callback != nullptr;
  if (f->block) {
    std::unique_lock<std::mutex> g(f->lock);
    f->entered = true;
    f->changed.notify_all();
    f->changed.wait(g, [&] { return f->released; });
  }
  if (f->fail) {
    res->error_code = f->fail_code;
    put_message(res->message, sizeof res->message, f->fail_message);
    return 0;
  }
  std::string answer = f->answer;
  uint32_t finish = f->finish_reason;
  uint32_t sent = 0;
  for (size_t i = 0; i < f->deltas.size(); ++i) {
    const std::string& d = f->deltas[i];
    if (f->answer.empty()) answer += d;
    if (r.callback == nullptr || !f->use_callback) continue;
    if (f->before_delta) f->before_delta(i);
    if (r.callback(r.user_data, d.data(), d.size(), 0) != 0) {
      finish = 4;
      break;
    }
    ++sent;
  }
  f->delivered = sent;
  res->answer = static_cast<char*>(std::malloc(answer.size() + 1));
  std::memcpy(res->answer, answer.data(), answer.size());
  res->answer[answer.size()] = '\0';
  res->answer_length = answer.size();
  res->prompt_tokens = f->prompt_tokens;
  res->generated_tokens = f->generated_tokens != 0 ? f->generated_tokens
                                                   : static_cast<uint32_t>(f->deltas.size());
  res->reused_prompt_tokens = f->cached_prompt_tokens;
  res->finish_reason = finish;
  res->wall_ms = f->elapsed_ms;
  return 1;
}

}  // namespace fake_detail

inline const vexa::VlmEngine& fake_engine() {
  static const vexa::VlmEngine engine = {
      [](const char* path, uint32_t context_length, uint32_t, const char*, uint32_t,
         vexa::VlmHandle** out, uint32_t* code, char* message, uint64_t capacity) {
        return fake_detail::open_common(path, context_length, out, code, message, capacity);
      },
      [](int, uint64_t, uint64_t, uint32_t context_length, uint32_t, const char*, uint32_t,
         vexa::VlmHandle** out, uint32_t* code, char* message, uint64_t capacity) {
        return fake_detail::open_common("<fd>", context_length, out, code, message, capacity);
      },
      [](vexa::VlmHandle*) { ++fake_script()->frees; },
      [](vexa::VlmHandle*) {
        ++fake_script()->unloads;
        return fake_script()->unload_ok ? 1 : 0;
      },
      [](vexa::VlmHandle*) {
        ++fake_script()->reloads;
        return fake_script()->reload_ok ? 1 : 0;
      },
      [](vexa::VlmHandle*) {
        ++fake_script()->resets;
        return 1;
      },
      [](vexa::VlmHandle*) { ++fake_script()->cancels; },
      fake_detail::chat,
  };
  return engine;
}

// Installs the fake with a fresh script for the scope of a test.
class FakeEngineScope {
 public:
  FakeEngineScope() {
    fake_script() = &script_;
    vexa::vlm_install_engine(&fake_engine());
  }
  ~FakeEngineScope() {
    vexa::vlm_install_engine(nullptr);
    fake_script() = nullptr;
  }
  FakeScript& script() { return script_; }

 private:
  FakeScript script_;
};

}  // namespace vexa_test
