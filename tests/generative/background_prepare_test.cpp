// Background preparation: processor and request prepared on another thread, over a container
// that starts inside a larger file; failures kept for wait(); the caller's buffer and
// descriptor released at once.
#include "generative/background_prepare.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include "core/container.h"
#include "core/domain_error.h"
#include "prepare_fixture.h"

namespace vexa {
namespace {

using nlohmann::json;
using testing::TinyContainer;

RequestDocument hello() {
  return RequestDocument(json{{"prompt", "Hello"}, {"max_new_tokens", 16}, {"activation", "fp16"}});
}

std::string domain_and_reason(const std::function<void()>& body) {
  try {
    body();
  } catch (const DomainError& e) {
    return e.domain() + ": " + e.reason();
  }
  return "(done)";
}

TEST(BackgroundPrepare, ContainerAtAnOffsetInsideAFile) {
  // The container starts 20,000 bytes into the file: the processor's assets are only found when
  // the base offset reaches the reader.
  constexpr uint64_t kPrefix = 20000;
  TinyContainer file(kPrefix);
  OpenResult opened = container_open_fd(file.fd, kPrefix, file.bytes.size(), 0);
  ASSERT_TRUE(opened.ok()) << opened.status;
  std::unique_ptr<VXPreparation> p = preparation_start(
      opened.container.image, opened.container.image_size, file.fd, kPrefix, hello());
  container_close(&opened.container);  // the work has its own copies
  ASSERT_NE(p, nullptr);
  p->wait();
  ASSERT_NE(p->processor(), nullptr);
  ASSERT_TRUE(p->prepared().has_value());
  EXPECT_GT(p->started(), 0.0);
  EXPECT_GE(p->processor_ms(), 0.0);
  EXPECT_GE(p->prepare_ms(), 0.0);

  // The same request prepared in the foreground.
  TinyContainer plain;
  const VXProcessor direct(plain.bytes.data(), plain.metadata_length, plain.fd);
  const PreparedInputs want = direct.prepare(hello());
  EXPECT_EQ(p->prepared()->prompt_token_ids, want.prompt_token_ids);
  EXPECT_EQ(p->prepared()->tensors.at("text_attention_mask").data,
            want.tensors.at("text_attention_mask").data);

  // The same container with the wrong base offset cannot find its assets.
  std::unique_ptr<VXPreparation> wrong =
      preparation_start(file.bytes.data(), file.metadata_length, file.fd, 0, hello());
  ASSERT_NE(wrong, nullptr);
  EXPECT_EQ(domain_and_reason([&] { wrong->wait(); }).rfind("VexaModel: ", 0), 0u);
  EXPECT_EQ(wrong->processor(), nullptr);
  EXPECT_FALSE(wrong->prepared().has_value());
}

TEST(BackgroundPrepare, CallerMayReleaseItsBufferAndDescriptorAtOnce) {
  TinyContainer file;
  std::vector<uint8_t> metadata(file.bytes.begin(), file.bytes.begin() + file.metadata_length);
  const int fd = fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
  std::unique_ptr<VXPreparation> p = preparation_start(metadata.data(), metadata.size(), fd, 0, hello());
  ASSERT_NE(p, nullptr);
  std::fill(metadata.begin(), metadata.end(), 0);
  close(fd);
  p->wait();
  EXPECT_TRUE(p->prepared().has_value());
}

TEST(BackgroundPrepare, FailuresWaitForTheCaller) {
  TinyContainer file;
  // Preparation fails after the processor was built: wait() raises what prepare() raises.
  const RequestDocument bad(json{{"prompt", "Hello"}});
  std::unique_ptr<VXPreparation> p =
      preparation_start(file.bytes.data(), file.metadata_length, file.fd, 0, bad);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(domain_and_reason([&] { p->wait(); }), "VexaFrontend: Invalid context/output budget");
  EXPECT_NE(p->processor(), nullptr);
  EXPECT_GE(p->processor_ms(), 0.0);
  EXPECT_FALSE(p->prepared().has_value());
  EXPECT_NE(p->error(), nullptr);
  // Waiting again raises the same failure again.
  EXPECT_EQ(domain_and_reason([&] { p->wait(); }), "VexaFrontend: Invalid context/output budget");

  // No processor from a metadata region without assets.
  std::vector<uint8_t> empty(512, 0);
  std::unique_ptr<VXPreparation> q = preparation_start(empty.data(), empty.size(), file.fd, 0, hello());
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(domain_and_reason([&] { q->wait(); }).rfind("VexaModel: ", 0), 0u);
  EXPECT_EQ(q->processor(), nullptr);

  // A finished object can be ended without looking at its failure.
  preparation_finish(preparation_start(empty.data(), empty.size(), file.fd, 0, hello()));
  preparation_finish(nullptr);
}

TEST(BackgroundPrepare, InvalidDescriptorStartsNothing) {
  std::vector<uint8_t> metadata(512, 0);
  EXPECT_EQ(preparation_start(metadata.data(), metadata.size(), -1, 0, hello()), nullptr);
  EXPECT_EQ(preparation_start(metadata.data(), metadata.size(), 987654, 0, hello()), nullptr);
}

}  // namespace
}  // namespace vexa
