#include "generative/background_prepare.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

#include "core/clock.h"

namespace vexa {

VXPreparation::~VXPreparation() {
  join();
  if (fd_ >= 0) close(fd_);
}

void VXPreparation::join() {
  if (worker_.joinable()) worker_.join();
}

void VXPreparation::run() {
  // Every failure is kept for wait(): an exception leaving a thread would end the process.
  try {
    const double t0 = monotonic_seconds();
    processor_ = std::make_unique<VXProcessor>(metadata_.data(), metadata_.size(), fd_,
                                               base_offset_);
    processor_ms_ = (monotonic_seconds() - t0) * 1000.0;
    const double t1 = monotonic_seconds();
    prepared_.emplace(processor_->prepare(request_));
    prepare_ms_ = (monotonic_seconds() - t1) * 1000.0;
  } catch (...) {
    error_ = std::current_exception();
  }
  close(fd_);
  fd_ = -1;
}

void VXPreparation::wait() {
  join();
  if (error_) std::rethrow_exception(error_);
}

std::unique_ptr<VXPreparation> preparation_start(const uint8_t* metadata, uint64_t length, int fd,
                                                 uint64_t base_offset, RequestDocument request) {
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  std::unique_ptr<VXPreparation> p(new VXPreparation());
  p->fd_ = own;
  p->base_offset_ = base_offset;
  p->request_ = std::move(request);
  p->started_ = monotonic_seconds();
  try {
    if (metadata != nullptr) p->metadata_.assign(metadata, metadata + length);
    p->worker_ = std::thread([raw = p.get()] { raw->run(); });
  } catch (const std::system_error&) {
    // No thread to be had: the work runs here instead, and wait() still sees its outcome.
    p->run();
  } catch (const std::bad_alloc&) {
    p->error_ = std::current_exception();
    close(p->fd_);
    p->fd_ = -1;
  }
  return p;
}

void preparation_finish(std::unique_ptr<VXPreparation> preparation) {
  if (preparation != nullptr) preparation->join();
}

}  // namespace vexa
