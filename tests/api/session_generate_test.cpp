// Generative requests against a scripted engine: what crosses the bridge, plain runs,
// replayed streaming, the chunk store limit, cancellation and lifecycle forwarding.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "api/api_alloc.h"
#include "api/api_test_util.h"
#include "api/fake_generative_engine.h"
#include "api/session_test_util.h"
#include "core/atomics.h"

using namespace vexa_test;

namespace {

// A container without a graph is a generative model.
std::string generative_model(const TempDir& dir) {
  ModelBuilder m;
  m.writer().set_meta_string("task", "chat");
  return m.write(dir, "llm.vexa");
}

struct SessionGenerate : ::testing::Test {
  FakeEngineScope fake;
  TempDir dir;
  SessionPtr s;
  void SetUp() override {
    s = new_session();
    ASSERT_EQ(open_path(s.get(), generative_model(dir)), 1) << session_message(s.get());
  }
  FakeScript& script() { return fake.script(); }
};

std::string text_of(const vexa_output* o) {
  return std::string(vexa_output_text_ptr(o), vexa_output_text_len(o));
}
std::string full_text_of(const vexa_output* o) {
  return std::string(vexa_output_full_text_ptr(o), vexa_output_full_text_len(o));
}

}  // namespace

TEST(SessionGenerative, OpenFailuresCarryTheEngineCodeAndMessage) {
  TempDir dir;
  const std::string path = generative_model(dir);
  SessionPtr s = new_session();
  // No processor documents: the real engine refuses the model.
  EXPECT_EQ(open_path(s.get(), path), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 3u);
  EXPECT_NE(session_message(s.get()), "");
  EXPECT_EQ(vexa_session_is_generative(s.get()), 1);
  EXPECT_EQ(vexa_session_check_backend(s.get(), VEXA_BACKEND_CPU), 1);

  FakeEngineScope fake;
  SessionPtr npu = new_session(VEXA_BACKEND_NPU);
  EXPECT_EQ(open_path(npu.get(), path), 0);
  EXPECT_EQ(session_message(npu.get()), "Generative LLM/VLM models do not support NPU backend");
  fake.script().open_ok = false;
  SessionPtr refused = new_session();
  EXPECT_EQ(open_path(refused.get(), path), 0);
  EXPECT_EQ(vexa_session_error_code(refused.get()), 3u);
  EXPECT_EQ(session_message(refused.get()), "Failed to open generative LLM/VLM session");
  fake.script().open_code = 6;
  fake.script().open_message = "context budget exceeded";
  EXPECT_EQ(open_path(refused.get(), path), 0);
  EXPECT_EQ(vexa_session_error_code(refused.get()), 6u);
  EXPECT_EQ(session_message(refused.get()), "context budget exceeded");
}

TEST_F(SessionGenerate, RequestFieldsCrossTheBridge) {
  EXPECT_EQ(vexa_session_active_backend(s.get()), VEXA_BACKEND_GPU);
  EXPECT_EQ(script().context_length, 2048u);
  script().deltas = {"Hel", "lo"};
  InputPtr in = new_input();
  OutputPtr out = new_output();
  EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0);
  EXPECT_EQ(session_message(s.get()), "Generative Input requires a prompt or at least one chat message");

  vexa_input_set_prompt(in.get(), "Say hi", 6);
  vexa_input_set_max_tokens(in.get(), 0);
  vexa_input_set_top_k(in.get(), static_cast<uint32_t>(-5));
  vexa_input_set_image_tiled(in.get(), 1, 0);
  vexa_input_set_json_schema(in.get(), "", 0);
  vexa_input_set_temperature(in.get(), 0.5f);
  vexa_input_set_seed(in.get(), 99);
  vexa_input_add_stop(in.get(), "END", 3);
  ASSERT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 1) << session_message(s.get());
  EXPECT_EQ(script().max_new_tokens, 64u);
  EXPECT_EQ(script().top_k, 0u);
  EXPECT_EQ(script().image_longest_edge, 512u);
  EXPECT_EQ(script().image_tiled, 1);
  EXPECT_FALSE(script().has_schema);
  EXPECT_EQ(script().temperature, 0.5);
  EXPECT_EQ(script().seed, 99u);
  EXPECT_EQ(script().stops, std::vector<std::string>{"END"});
  // A plain run's callback only listens for cancellation: nothing is stored for next().
  EXPECT_TRUE(script().had_callback);
  EXPECT_EQ(rec(s.get())->stream_chunk_count, 0u);
  ASSERT_EQ(script().messages.size(), 1u);
  EXPECT_EQ(script().messages[0].role, "user");
  EXPECT_EQ(script().messages[0].content, "Say hi");
  EXPECT_FALSE(script().messages[0].has_image);

  EXPECT_EQ(text_of(out.get()), "Hello");
  EXPECT_EQ(full_text_of(out.get()), "Hello");
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 1u);
  EXPECT_EQ(vexa_output_prompt_tokens(out.get()), 7u);
  EXPECT_EQ(vexa_output_generated_tokens(out.get()), 2u);
  EXPECT_EQ(vexa_output_cached_prompt_tokens(out.get()), 2u);
  EXPECT_EQ(vexa_output_latency_ms(out.get()), 12.5);
  EXPECT_EQ(vexa_output_backend_used(out.get()), VEXA_BACKEND_GPU);

  vexa_input_set_max_tokens(in.get(), 5);
  vexa_input_set_top_k(in.get(), 40);
  vexa_input_set_image_tiled(in.get(), 0, 384);
  vexa_input_set_json_schema(in.get(), "{}", 2);
  ASSERT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 1);
  EXPECT_EQ(script().max_new_tokens, 5u);
  EXPECT_EQ(script().top_k, 40u);
  EXPECT_EQ(script().image_longest_edge, 384u);
  EXPECT_EQ(script().schema, "{}");
}

TEST_F(SessionGenerate, ImagesAreRepackedAndAttached) {
  // A BGRA frame with padded rows becomes packed RGB on the last message.
  const uint32_t w = 3, h = 2;
  const uint64_t stride = w * 4 + 16;
  std::vector<uint8_t> bgra(stride * h, 0xEE);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &bgra[y * stride + x * 4];
      p[0] = uint8_t(10 * x + y);        // B
      p[1] = uint8_t(100 + 10 * x + y);  // G
      p[2] = uint8_t(200 + 10 * x + y);  // R
      p[3] = 0x55;
    }
  FramePtr frame = new_frame();
  ASSERT_EQ(vexa_frame_set_pixels(frame.get(), bgra.data(), bgra.size(), w, h, stride,
                                  VEXA_PIXEL_BGRA8, 1, 0), 1);
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_add_message(in.get(), "system", 6, "Be brief", 8);
  vexa_input_add_message(in.get(), "user", 4, "What is this?", 13);
  vexa_input_set_frame(in.get(), frame.get());
  script().deltas = {"A", " picture"};
  ASSERT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 1) << session_message(s.get());
  ASSERT_EQ(script().messages.size(), 2u);
  EXPECT_FALSE(script().messages[0].has_image);
  const SeenMessage& m = script().messages[1];
  EXPECT_EQ(m.role, "user");
  ASSERT_TRUE(m.has_image);
  EXPECT_EQ(m.width, w);
  EXPECT_EQ(m.height, h);
  EXPECT_EQ(m.row_bytes, 9u);
  EXPECT_EQ(m.pixel_format, 1u);
  EXPECT_EQ(m.orientation, 1u);
  ASSERT_EQ(m.image.size(), 18u);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* p = &m.image[y * 9 + x * 3];
      EXPECT_EQ(p[0], 200 + 10 * x + y);
      EXPECT_EQ(p[1], 100 + 10 * x + y);
      EXPECT_EQ(p[2], 10 * x + y);
    }

  // Packed RGB8 goes without a copy.
  std::vector<uint8_t> rgb(w * 3 * h, 42);
  FramePtr packed = new_frame();
  ASSERT_EQ(vexa_frame_set_pixels(packed.get(), rgb.data(), rgb.size(), w, h, 0, VEXA_PIXEL_RGB8, 1, 0), 1);
  InputPtr in2 = new_input();
  vexa_input_set_prompt(in2.get(), "Describe", 8);
  vexa_input_set_frame(in2.get(), packed.get());
  ASSERT_EQ(vexa_session_run(s.get(), in2.get(), out.get()), 1);
  ASSERT_EQ(script().messages.size(), 1u);
  EXPECT_EQ(script().messages[0].image_ptr, rgb.data());

  // An image message keeps its own frame; the primary frame is not added a second time.
  InputPtr in3 = new_input();
  vexa_input_add_image_message(in3.get(), "user", 4, packed.get(), "one", 3);
  vexa_input_add_message(in3.get(), "user", 4, "two", 3);
  vexa_input_set_frame(in3.get(), frame.get());
  ASSERT_EQ(vexa_session_run(s.get(), in3.get(), out.get()), 1);
  ASSERT_EQ(script().messages.size(), 2u);
  EXPECT_TRUE(script().messages[0].has_image);
  EXPECT_FALSE(script().messages[1].has_image);
}

TEST_F(SessionGenerate, StreamingReplaysEveryDelta) {
  InputPtr in = new_input();
  OutputPtr out = new_output();
  EXPECT_EQ(vexa_session_next(s.get(), out.get()), -1);
  EXPECT_EQ(session_message(s.get()), "No active generation stream; call start() first");

  script().deltas = {"The", " quick", " fox"};
  script().generated_tokens = 9;
  vexa_input_set_prompt(in.get(), "Go", 2);
  ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1) << session_message(s.get());
  EXPECT_TRUE(script().had_callback);
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 0u);
  std::string joined;
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(vexa_session_next(s.get(), out.get()), 1);
    EXPECT_EQ(text_of(out.get()), script().deltas[i]);
    joined += script().deltas[i];
    EXPECT_EQ(full_text_of(out.get()), joined);
    EXPECT_EQ(vexa_output_generated_tokens(out.get()), i + 1);
    EXPECT_EQ(vexa_output_finish_reason(out.get()), 0u);
  }
  EXPECT_EQ(vexa_session_next(s.get(), out.get()), 0);
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 1u);
  EXPECT_EQ(vexa_output_generated_tokens(out.get()), 9u);
  EXPECT_EQ(vexa_output_prompt_tokens(out.get()), 7u);
  EXPECT_EQ(vexa_output_text_len(out.get()), 0u);
  EXPECT_EQ(vexa_session_next(s.get(), out.get()), -1);
  EXPECT_EQ(vexa_session_error_code(s.get()), 1u);

  // An engine that never calls back still yields one delta holding the whole answer.
  script().use_callback = false;
  script().answer = "all at once";
  ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1);
  ASSERT_EQ(vexa_session_next(s.get(), out.get()), 1);
  EXPECT_EQ(text_of(out.get()), "all at once");
  EXPECT_EQ(vexa_session_next(s.get(), out.get()), 0);

  // Streaming needs a generative model.
  TempDir gdir;
  ModelBuilder m;
  build_passthrough(m, 1, 1);
  SessionPtr graph = new_session();
  ASSERT_EQ(open_path(graph.get(), m.write(gdir)), 1);
  EXPECT_EQ(vexa_session_start(graph.get(), in.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(graph.get()), 12u);
}

// More deltas than the store holds: the text past the last slot joins the last chunk, so the
// replay still adds up to the whole answer.
TEST_F(SessionGenerate, FullChunkStoreKeepsTheWholeAnswer) {
  std::string answer;
  for (int i = 0; i < 2100; ++i) {
    script().deltas.push_back("t" + std::to_string(i) + " ");
    answer += script().deltas.back();
  }
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_prompt(in.get(), "Count", 5);
  ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1);
  int deltas = 0;
  int32_t r;
  while ((r = vexa_session_next(s.get(), out.get())) == 1) ++deltas;
  EXPECT_EQ(r, 0);
  EXPECT_EQ(deltas, 2048);
  EXPECT_EQ(full_text_of(out.get()), answer);
  EXPECT_EQ(vexa_output_generated_tokens(out.get()), 2100u);
}

TEST_F(SessionGenerate, FailuresAndCancellation) {
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_prompt(in.get(), "x", 1);
  script().fail = true;
  script().fail_code = 11;
  script().fail_message = "Nonfinite logits";
  EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 11u);
  EXPECT_EQ(session_message(s.get()), "Nonfinite logits");
  script().fail_code = 0;
  script().fail_message.clear();
  EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 14u);
  EXPECT_EQ(session_message(s.get()), "Generative inference failed");
  script().fail = false;

  // A plain run that ends cancelled fails with code 10.
  script().finish_reason = 4;
  script().deltas = {"partial"};
  EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 10u);
  EXPECT_EQ(session_message(s.get()), "Generation was cancelled");
  script().finish_reason = 1;

  // Cancelling during start: start succeeds, the first next reports the cancellation.
  script().block = true;
  script().deltas = {"a", "b"};
  int32_t started = -1;
  std::thread worker([&] { started = vexa_session_start(s.get(), in.get(), out.get()); });
  script().wait_entered();
  vexa_session_cancel(s.get());
  EXPECT_EQ(script().cancels.load(), 1);
  script().release();
  worker.join();
  EXPECT_EQ(started, 1);
  OutputPtr next_out = new_output();
  EXPECT_EQ(vexa_session_next(s.get(), next_out.get()), 0);
  EXPECT_EQ(vexa_output_finish_reason(next_out.get()), 4u);
  EXPECT_EQ(vexa_session_error_code(s.get()), 10u);
  EXPECT_EQ(session_message(s.get()), "Generation stream was cancelled");
  EXPECT_EQ(vexa_session_next(s.get(), next_out.get()), -1);
  // Reset clears the flag and tells the engine.
  EXPECT_EQ(vexa_session_reset(s.get()), 1);
  EXPECT_EQ(script().resets.load(), 1);
  script().block = false;
  ASSERT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 1) << session_message(s.get());
  EXPECT_EQ(text_of(out.get()), "ab");
}

// A cancel that arrives while the engine streams stops it at its next delta: the session's
// callback refuses that delta, so the engine ends cancelled with only the earlier text stored.
// The start still succeeds and its first next reports the cancellation; a plain run fails.
TEST_F(SessionGenerate, CancelMidStreamStopsTheEngineAtItsNextDelta) {
  script().deltas = {"a", "b", "c"};
  script().before_delta = [&](size_t i) {
    if (i == 1) vexa_session_cancel(s.get());
  };
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_prompt(in.get(), "x", 1);
  ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1) << session_message(s.get());
  EXPECT_EQ(script().delivered, 1u);
  EXPECT_EQ(script().cancels.load(), 1);
  EXPECT_EQ(rec(s.get())->stream_chunk_count, 1u);
  EXPECT_EQ(rec(s.get())->stream_finish_reason, 4u);
  EXPECT_EQ(vexa_session_next(s.get(), out.get()), 0);
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 4u);
  EXPECT_EQ(vexa_output_text_len(out.get()), 0u);
  EXPECT_EQ(vexa_session_error_code(s.get()), 10u);
  EXPECT_EQ(session_message(s.get()), "Generation stream was cancelled");

  // A plain run listens for the cancel the same way.
  ASSERT_EQ(vexa_session_reset(s.get()), 1);
  EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0);
  EXPECT_EQ(script().delivered, 1u);
  EXPECT_EQ(vexa_session_error_code(s.get()), 10u);
  EXPECT_EQ(session_message(s.get()), "Generation was cancelled");

  // Without a cancel every delta goes through.
  script().before_delta = nullptr;
  ASSERT_EQ(vexa_session_reset(s.get()), 1);
  ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1);
  EXPECT_EQ(script().delivered, 3u);
  int deltas = 0;
  while (vexa_session_next(s.get(), out.get()) == 1) ++deltas;
  EXPECT_EQ(deltas, 3);
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 1u);
}

// While a generation holds the session, every other operation is refused with code 9.
TEST_F(SessionGenerate, BusyWhileGenerating) {
  script().block = true;
  script().deltas = {"done"};
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_prompt(in.get(), "x", 1);
  int32_t result = -1;
  std::thread worker([&] { result = vexa_session_run(s.get(), in.get(), out.get()); });
  script().wait_entered();
  OutputPtr other = new_output();
  EXPECT_EQ(vexa_session_run(s.get(), in.get(), other.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 9u);
  EXPECT_EQ(session_message(s.get()), "Session is already executing an operation");
  EXPECT_EQ(vexa_session_start(s.get(), in.get(), other.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 9u);
  EXPECT_EQ(vexa_session_unload(s.get()), 0);
  EXPECT_EQ(session_message(s.get()), "Session is busy");
  const std::string path = dir.file("llm.vexa");
  EXPECT_EQ(vexa_session_open(s.get(), path.data(), path.size()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 9u);
  EXPECT_EQ(script().frees.load(), 0);  // the running engine was not freed
  script().release();
  worker.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(text_of(out.get()), "done");
}

// next reads the chunk store that a start or run on another thread frees and refills, so it
// takes the session like they do: while another call holds it, next is refused with code 9 and
// leaves the stream where it was.
TEST_F(SessionGenerate, NextIsRefusedWhileAnotherCallHoldsTheSession) {
  script().deltas = {"one", " two"};
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_prompt(in.get(), "x", 1);
  ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1) << session_message(s.get());

  // Null arguments come first and write no error.
  EXPECT_EQ(vexa_session_next(nullptr, out.get()), -1);
  EXPECT_EQ(vexa_session_next(s.get(), nullptr), -1);
  EXPECT_EQ(vexa_session_error_code(s.get()), 0u);

  // The flag held by someone else: refused, and the flag stays theirs.
  uint32_t* busy = &rec(s.get())->busy;
  vexa::atomic_store_u32(busy, 1, vexa::kOrderRelease);
  EXPECT_EQ(vexa_session_next(s.get(), out.get()), -1);
  EXPECT_EQ(vexa_session_error_code(s.get()), 9u);
  EXPECT_EQ(session_message(s.get()), "Session is already executing an operation");
  EXPECT_EQ(vexa::atomic_load_u32(busy, vexa::kOrderAcquire), 1u);
  EXPECT_EQ(vexa_output_text_len(out.get()), 0u);
  vexa::atomic_store_u32(busy, 0, vexa::kOrderRelease);

  // Let go: the stream goes on from its first delta, and every return gives the flag back.
  ASSERT_EQ(vexa_session_next(s.get(), out.get()), 1);
  EXPECT_EQ(text_of(out.get()), "one");
  EXPECT_EQ(vexa::atomic_load_u32(busy, vexa::kOrderAcquire), 0u);
  ASSERT_EQ(vexa_session_next(s.get(), out.get()), 1);
  EXPECT_EQ(full_text_of(out.get()), "one two");
  EXPECT_EQ(vexa_session_next(s.get(), out.get()), 0);
  EXPECT_EQ(vexa::atomic_load_u32(busy, vexa::kOrderAcquire), 0u);
  EXPECT_EQ(vexa_session_next(s.get(), out.get()), -1);
  EXPECT_EQ(vexa_session_error_code(s.get()), 1u);
  EXPECT_EQ(vexa::atomic_load_u32(busy, vexa::kOrderAcquire), 0u);

  // A start and a plain run on another thread, each caught inside the engine: the earlier
  // stream is being replaced, and next is refused rather than reading it.
  for (bool streaming : {true, false}) {
    SCOPED_TRACE(streaming ? "start" : "run");
    ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1);
    script().block = true;
    script().entered = false;
    script().released = false;
    OutputPtr other = new_output();
    int32_t result = -1;
    std::thread worker([&] {
      result = streaming ? vexa_session_start(s.get(), in.get(), other.get())
                         : vexa_session_run(s.get(), in.get(), other.get());
    });
    script().wait_entered();
    OutputPtr reader = new_output();
    EXPECT_EQ(vexa_session_next(s.get(), reader.get()), -1);
    EXPECT_EQ(vexa_session_error_code(s.get()), 9u);
    EXPECT_EQ(session_message(s.get()), "Session is already executing an operation");
    EXPECT_EQ(vexa_output_text_len(reader.get()), 0u);
    script().release();
    worker.join();
    script().block = false;
    EXPECT_EQ(result, 1) << session_message(s.get());
    // The new stream, whole; a run leaves none.
    if (streaming) {
      ASSERT_EQ(vexa_session_next(s.get(), other.get()), 1);
      EXPECT_EQ(text_of(other.get()), "one");
    } else {
      EXPECT_EQ(vexa_session_next(s.get(), other.get()), -1);
      EXPECT_EQ(vexa_session_error_code(s.get()), 1u);
    }
  }
}

TEST_F(SessionGenerate, LifecycleForwardsToTheEngine) {
  ASSERT_EQ(vexa_session_unload(s.get()), 1);
  EXPECT_EQ(script().unloads.load(), 1);
  EXPECT_EQ(vexa_session_active_backend(s.get()), VEXA_BACKEND_GPU);  // the handle stays
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_prompt(in.get(), "x", 1);
  EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 1u);
  ASSERT_EQ(vexa_session_reload(s.get()), 1);
  EXPECT_EQ(script().reloads.load(), 1);
  script().unload_ok = false;
  EXPECT_EQ(vexa_session_unload(s.get()), 0);
  EXPECT_EQ(session_message(s.get()), "Failed to unload generative session");
  script().unload_ok = true;
  ASSERT_EQ(vexa_session_unload(s.get()), 1);
  script().reload_ok = false;
  EXPECT_EQ(vexa_session_reload(s.get()), 0);
  EXPECT_EQ(session_message(s.get()), "Failed to reload generative session");
  s.reset();
  EXPECT_EQ(script().frees.load(), 1);
}

TEST_F(SessionGenerate, EachAllocationFailingInTurn) {
  script().deltas = {"one ", "two ", "three"};
  std::vector<uint8_t> bgr(4 * 4 * 3, 77);
  FramePtr frame = new_frame();
  ASSERT_EQ(vexa_frame_set_pixels(frame.get(), bgr.data(), bgr.size(), 4, 4, 0, VEXA_PIXEL_BGR8, 1, 0), 1);
  bool completed = false;
  for (int64_t nth = 1; nth < 64 && !completed; ++nth) {
    SCOPED_TRACE(nth);
    InputPtr in = new_input();
    OutputPtr out = new_output();
    vexa_input_set_prompt(in.get(), "hi", 2);
    vexa_input_set_frame(in.get(), frame.get());
    vexa::api_test_fail_allocation(nth);
    const int32_t run = vexa_session_run(s.get(), in.get(), out.get());
    if (run == 0) {
      EXPECT_EQ(vexa_session_error_code(s.get()), 7u) << session_message(s.get());
    }
    const int32_t start = vexa_session_start(s.get(), in.get(), out.get());
    int32_t r = start == 1 ? 1 : -1;
    int deltas = 0;
    while (r == 1) {
      r = vexa_session_next(s.get(), out.get());
      if (r == 1) ++deltas;
    }
    vexa::api_test_fail_allocation(0);
    if (r == -1 && start == 1) {
      EXPECT_EQ(vexa_session_error_code(s.get()), 7u);
    }
    completed = run == 1 && start == 1 && r == 0 && deltas == 3 &&
                full_text_of(out.get()) == "one two three";
  }
  EXPECT_TRUE(completed);
}
