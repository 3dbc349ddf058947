// Background preparation: the two slow front-end steps of a generative request, building the
// processor from the model's assets and preparing one request, run on a thread of their own
// while the caller does other work (loading weights, say). Results, timings and any failure
// wait in the object until the caller asks for them.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "generative/processor.h"
#include "generative/request_document.h"

namespace vexa {

class VXPreparation {
 public:
  ~VXPreparation();
  VXPreparation(const VXPreparation&) = delete;
  VXPreparation& operator=(const VXPreparation&) = delete;

  // Blocks until the work is done, then rethrows its failure, if any: DomainError "VexaModel"
  // or "NSMallocException" from the processor, "VexaFrontend", "VexaImage" or
  // "NSMallocException" from the preparation.
  void wait();

  // Read after wait(): null or empty when their step did not run or failed.
  const VXProcessor* processor() const { return processor_.get(); }
  const std::optional<PreparedInputs>& prepared() const { return prepared_; }
  std::exception_ptr error() const { return error_; }
  double started() const { return started_; }  // monotonic seconds
  double processor_ms() const { return processor_ms_; }
  double prepare_ms() const { return prepare_ms_; }

 private:
  friend std::unique_ptr<VXPreparation> preparation_start(const uint8_t*, uint64_t, int, uint64_t,
                                                          RequestDocument);
  friend void preparation_finish(std::unique_ptr<VXPreparation>);
  VXPreparation() = default;
  void run();
  void join();

  std::vector<uint8_t> metadata_;
  int fd_ = -1;
  uint64_t base_offset_ = 0;
  RequestDocument request_;
  std::unique_ptr<VXProcessor> processor_;
  std::optional<PreparedInputs> prepared_;
  std::exception_ptr error_;
  double started_ = 0;
  double processor_ms_ = 0;
  double prepare_ms_ = 0;
  std::thread worker_;
};

// Starts the work on a copy of the metadata [0, length) and a duplicate of `fd`, so the caller
// may free the one and close the other at once; processor assets are read at base_offset +
// their offset, as for a container that starts inside a larger file. The request's lent byte
// ranges stay borrowed until the work ends. Null when the descriptor cannot be duplicated.
std::unique_ptr<VXPreparation> preparation_start(const uint8_t* metadata, uint64_t length, int fd,
                                                 uint64_t base_offset, RequestDocument request);

// Waits without limit and ends the object; a stored failure is dropped. Null does nothing.
void preparation_finish(std::unique_ptr<VXPreparation> preparation);

}  // namespace vexa
