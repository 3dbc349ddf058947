// The session layer: open parameters, opening from a path and a descriptor range, what a bad
// container or processor gives, weight verification, unload / reload / reset / cancel, the busy
// guard, and the error codes exceptions map to.
#include <gtest/gtest.h>

#include <fstream>
#include <new>

#include "core/atomics.h"
#include "core/domain_error.h"
#include "gpu/gpu_context.h"
#include "tests/generative/tiny_session.h"

namespace {

using namespace vexa;
using namespace vexa::testing;

struct Opened {
  int ok = 0;
  VlmError error{};
  HandlePtr handle;
};

Opened open_path(const std::string& path, const VlmOpenParams* params = nullptr) {
  Opened o;
  VlmHandle* h = nullptr;
  o.ok = vlm_open_path(path.c_str(), params, &h, &o.error);
  o.handle.reset(h);
  return o;
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t code_of(std::exception_ptr e, std::string* message = nullptr) {
  VlmError error{};
  vlm_error_from_exception(e, &error);
  if (message != nullptr) *message = error.message;
  return error.code;
}

template <typename E>
std::exception_ptr ptr(E e) {
  return std::make_exception_ptr(std::move(e));
}

}  // namespace

TEST(VlmOpenParams, ChecksInTheirOrder) {
  VlmHandle* h = reinterpret_cast<VlmHandle*>(1);
  VlmError e{};
  VlmOpenParams p = vlm_open_params_default();
  EXPECT_EQ(p.context_length, 2048u);
  EXPECT_STREQ(p.backend, "auto");
  EXPECT_EQ(vlm_open_params_validate("m", &p, &h, &e), 1);
  EXPECT_EQ(h, nullptr);  // zeroed first
  EXPECT_EQ(vlm_open_params_validate("m", nullptr, &h, &e), 1);
  EXPECT_EQ(vlm_open_params_validate("", &p, &h, &e), 0);
  EXPECT_STREQ(e.message, "Model path and output are required");
  EXPECT_EQ(vlm_open_params_validate("m", &p, nullptr, &e), 0);
  EXPECT_EQ(e.code, 1u);
  p.context_length = 8192;
  EXPECT_EQ(vlm_open_params_validate("m", &p, &h, &e), 1);
  EXPECT_EQ(e.code, 0u);
  for (uint32_t bad : {0u, 8193u}) {
    p.context_length = bad;
    EXPECT_EQ(vlm_open_params_validate("m", &p, &h, &e), 0);
    EXPECT_STREQ(e.message, "Invalid open parameters");
  }
  p.context_length = 64;
  p.activation_fp16 = 2;
  EXPECT_EQ(vlm_open_params_validate("m", &p, &h, &e), 0);
  EXPECT_STREQ(e.message, "Invalid open parameters");
  // The backend is checked before the numbers.
  p.context_length = 0;
  p.backend = "vulkan";
  EXPECT_EQ(vlm_open_params_validate("m", &p, &h, &e), 0);
  EXPECT_STREQ(e.message, "Unknown backend policy");
  EXPECT_EQ(vlm_probe_metal(nullptr, &e), 1);
  EXPECT_EQ(vlm_probe_metal(&p, &e), 0);
}

TEST(VlmOpen, FromAPathAndFromADescriptorRange) {
  ScratchDir dir;
  const std::vector<uint8_t>& bytes = tiny_model_container(VlmWeights::fp16);
  write_bytes(dir.file("m.vexa"), bytes);
  VlmOpenParams params = vlm_open_params_default();
  params.backend = "mps";
  params.verify_weights = 1;
  Opened o = open_path(dir.file("m.vexa"), &params);
  ASSERT_EQ(o.ok, 1) << o.error.message;
  VXSessionState* s = o.handle->session;
  EXPECT_EQ(s->path, dir.file("m.vexa"));
  EXPECT_EQ(s->source_fd, -1);
  EXPECT_EQ(s->backend, "mps");
  EXPECT_EQ(s->params.backend, s->backend.c_str());
  EXPECT_NE(s->graph, nullptr);
  EXPECT_NE(s->processor, nullptr);
  EXPECT_NE(s->context, nullptr);
  EXPECT_EQ(s->graph->activation(), kVXActivationF32);
  EXPECT_EQ(s->metadata.size(), word_of(bytes, 48));
  EXPECT_EQ(o.handle->busy, 0u);

  // A container after 100 bytes of something else in the file.
  const int fd = memory_file(bytes, 100);
  VlmHandle* h = nullptr;
  VlmError e{};
  params.activation_fp16 = 1;
  params.backend = nullptr;
  ASSERT_EQ(vlm_open_fd(fd, 100, bytes.size(), &params, &h, &e), 1) << e.message;
  close(fd);  // the session keeps its own duplicate
  HandlePtr fd_handle(h);
  EXPECT_GE(h->session->source_fd, 0);
  EXPECT_EQ(h->session->source_base, 100u);
  EXPECT_EQ(h->session->source_length, bytes.size());
  EXPECT_EQ(h->session->backend, "auto");
  EXPECT_EQ(h->session->graph->activation(), kVXActivationF16);
  // Unload, then reload from the duplicated descriptor.
  ASSERT_EQ(vlm_unload_impl(h, &e), 1);
  EXPECT_EQ(h->session->graph, nullptr);
  EXPECT_EQ(h->session->context, nullptr);
  ASSERT_EQ(vlm_reload_impl(h, &e), 1) << e.message;
  EXPECT_NE(h->session->graph, nullptr);
  EXPECT_EQ(h->session->graph->activation(), kVXActivationF16);
}

TEST(VlmOpen, BadContainersAndProcessorsGiveClearCodes) {
  ScratchDir dir;
  Opened missing = open_path(dir.file("none.vexa"));
  EXPECT_EQ(missing.ok, 0);
  EXPECT_EQ(missing.error.code, 2u);
  EXPECT_EQ(missing.handle, nullptr);

  std::vector<uint8_t> bytes = tiny_model_container(VlmWeights::fp16);
  std::vector<uint8_t> header = bytes;
  header[0] = 'X';
  write_bytes(dir.file("header.vexa"), header);
  Opened bad_header = open_path(dir.file("header.vexa"));
  EXPECT_EQ(bad_header.error.code, 3u);
  EXPECT_STREQ(bad_header.error.message, "invalid header/version/file size");

  write_bytes(dir.file("short.vexa"), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 300));
  EXPECT_EQ(open_path(dir.file("short.vexa")).error.code, 3u);

  // A model whose processor documents are not a supported processor: code 3 from the processor.
  VlmModelDesc desc = tiny_vlm_desc(VlmWeights::fp16);
  desc.assets = std::vector<AuxBlob>{{"config.json", "{}"}};
  std::vector<uint8_t> no_assets;
  VlmModelInfo info;
  std::string error;
  ASSERT_TRUE(write_vlm_model(desc, &no_assets, &info, &error)) << error;
  write_bytes(dir.file("assets.vexa"), no_assets);
  Opened refused = open_path(dir.file("assets.vexa"));
  EXPECT_EQ(refused.ok, 0);
  EXPECT_EQ(refused.error.code, 3u);
  EXPECT_NE(std::string(refused.error.message), "");

  // A graph model (one with graph values) is named as such, not by the processor's first
  // complaint about its aux table.
  write_bytes(dir.file("graph.vexa"), make_sample().bytes);
  Opened graph = open_path(dir.file("graph.vexa"));
  EXPECT_EQ(graph.ok, 0);
  EXPECT_EQ(graph.error.code, 3u);
  EXPECT_STREQ(graph.error.message, "Model is not a generative model");
  EXPECT_EQ(graph.handle, nullptr);
  const int graph_fd = memory_file(make_sample().bytes);
  VlmHandle* graph_handle = nullptr;
  VlmError graph_error{};
  EXPECT_EQ(vlm_open_fd(graph_fd, 0, make_sample().bytes.size(), nullptr, &graph_handle, &graph_error), 0);
  close(graph_fd);
  EXPECT_EQ(graph_handle, nullptr);
  EXPECT_EQ(graph_error.code, 3u);
  EXPECT_STREQ(graph_error.message, "Model is not a generative model");

  // A weight byte changed after sealing: opens, but not with verification.
  std::vector<uint8_t> tampered = bytes;
  tampered[word_of(bytes, 48) + 5] ^= 0x40;
  write_bytes(dir.file("tampered.vexa"), tampered);
  EXPECT_EQ(open_path(dir.file("tampered.vexa")).ok, 1);
  VlmOpenParams verify = vlm_open_params_default();
  verify.verify_weights = 1;
  Opened checked = open_path(dir.file("tampered.vexa"), &verify);
  EXPECT_EQ(checked.ok, 0);
  EXPECT_EQ(checked.error.code, 13u);
  EXPECT_STREQ(checked.error.message, "tensor hash mismatch");

  // A descriptor that is not open.
  VlmHandle* h = nullptr;
  VlmError e{};
  EXPECT_EQ(vlm_open_fd(-1, 0, bytes.size(), nullptr, &h, &e), 0);
  EXPECT_EQ(h, nullptr);
  EXPECT_NE(e.code, 0u);
}

TEST(VlmLifecycle, UnloadReloadResetCancelAndTheBusyGuard) {
  ScratchDir dir;
  write_bytes(dir.file("m.vexa"), tiny_model_container(VlmWeights::fp16));
  Opened o = open_path(dir.file("m.vexa"));
  ASSERT_EQ(o.ok, 1);
  VlmHandle* h = o.handle.get();
  VlmError e{};

  // Reload of an open session changes nothing.
  VXSessionState* before = h->session;
  EXPECT_EQ(vlm_reload_impl(h, &e), 1);
  EXPECT_EQ(h->session, before);

  // Reset drops the reuse cache and the cancel flag.
  h->session->graph->set_cached_tokens({1, 2, 3});
  vlm_cancel_impl(h);
  EXPECT_EQ(h->cancel, 1u);
  EXPECT_EQ(vlm_reset_impl(h, &e), 1);
  EXPECT_EQ(h->cancel, 0u);
  EXPECT_TRUE(h->session->graph->cached_tokens().empty());
  vlm_cancel_impl(nullptr);

  // Every guarded operation refuses a busy handle at once and leaves it busy.
  atomic_store_u32(&h->busy, 1, kOrderSeqCst);
  EXPECT_EQ(vlm_reset_impl(h, &e), 0);
  EXPECT_EQ(e.code, 9u);
  EXPECT_STREQ(e.message, "Session is busy");
  EXPECT_EQ(vlm_unload_impl(h, &e), 0);
  EXPECT_EQ(vlm_reload_impl(h, &e), 0);
  EXPECT_EQ(h->busy, 1u);
  atomic_store_u32(&h->busy, 0, kOrderSeqCst);
  EXPECT_EQ(vlm_reset_impl(nullptr, &e), 0);
  EXPECT_STREQ(e.message, "Session is required");

  // Unloaded: reset and unload again have no graph to touch; the processor stays.
  ASSERT_EQ(vlm_unload_impl(h, &e), 1);
  EXPECT_EQ(h->session->graph, nullptr);
  EXPECT_NE(h->session->processor, nullptr);
  EXPECT_EQ(vlm_reset_impl(h, &e), 1);
  EXPECT_EQ(vlm_unload_impl(h, &e), 1);

  // A reload that fails leaves the session unloaded and usable for another reload.
  std::filesystem::rename(dir.file("m.vexa"), dir.file("away.vexa"));
  EXPECT_EQ(vlm_reload_impl(h, &e), 0);
  EXPECT_EQ(e.code, 2u);
  EXPECT_EQ(h->session->graph, nullptr);
  EXPECT_EQ(h->busy, 0u);
  std::filesystem::rename(dir.file("away.vexa"), dir.file("m.vexa"));
  ASSERT_EQ(vlm_reload_impl(h, &e), 1) << e.message;
  EXPECT_NE(h->session->graph, nullptr);
  EXPECT_EQ(h->session->path, dir.file("m.vexa"));
  vlm_handle_destroy(nullptr);
}

TEST(VlmErrors, ExceptionsMapToCodesInTheFixedOrder) {
  std::string message;
  EXPECT_EQ(code_of(ptr(DomainError("VexaUnsupported", "allocation")), &message), 12u);
  EXPECT_EQ(code_of(ptr(DomainError("NSMallocException", "no room"))), 7u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaInference", "Stream Allocation failed"))), 7u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaInference", "while allocating"))), 7u);
  EXPECT_EQ(code_of(ptr(std::bad_alloc()), &message), 7u);
  EXPECT_EQ(message, "Memory allocation failed");
  EXPECT_EQ(code_of(ptr(DomainError("VexaImage", "only 8-bit PNG"))), 5u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaImage", "UNSUPPORTED thing"))), 5u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaImage", "Cannot read image"))), 4u);
  // The context test comes before the domain tests.
  EXPECT_EQ(code_of(ptr(DomainError("VexaArgument", "Prompt plus output exceeds context budget"))), 6u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaInference", "Nonfinite logits"))), 11u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaInference", "Input contains nonfinite values"))), 11u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaModel", "bad"))), 3u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaFrontend", "bad"))), 1u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaArgument", "bad"))), 1u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaCancelled", "Generation cancelled"))), 10u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaInference", "Metal execution failed"))), 8u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaInference", "Profile command failed"))), 8u);
  EXPECT_EQ(code_of(ptr(DomainError("VexaInference", "Logits shape")), &message), 14u);
  EXPECT_EQ(message, "Logits shape");
  // Without a reason the name is the message.
  EXPECT_EQ(code_of(ptr(DomainError("VexaModel", "")), &message), 3u);
  EXPECT_EQ(message, "VexaModel");
  EXPECT_EQ(code_of(ptr(std::runtime_error("plain")), &message), 14u);
  EXPECT_EQ(code_of(ptr(42), &message), 14u);
  // Long reasons are cut to 255 bytes.
  EXPECT_EQ(code_of(ptr(DomainError("VexaInference", std::string(400, 'x'))), &message), 14u);
  EXPECT_EQ(message.size(), 255u);

  VlmError e{};
  EXPECT_EQ(vlm_error_set(&e, 9, nullptr), 0);
  EXPECT_EQ(e.code, 9u);
  EXPECT_STREQ(e.message, "");
  EXPECT_EQ(vlm_error_set(nullptr, 9, "x"), 0);
}
