// Random bytes almost never carry valid digests, so a fuzzer would stop at the digest checks:
// each input runs as it is and, when its header names a weights offset inside it, once more
// resealed, so the mutations reach the checks behind the digests.
#pragma once

#include <cstdint>
#include <vector>

#include "core/container_digest.h"
#include "core/container_format.h"

namespace vexa::fuzz {

template <typename Run>
void run_as_is_and_resealed(std::vector<uint8_t>& bytes, Run&& run) {
  run(bytes);
  if (bytes.size() < kContainerHeaderBytes) return;
  const uint64_t weights_offset = load_record<uint64_t>(bytes.data() + 48);
  if (weights_offset >= kContainerHeaderBytes && weights_offset <= bytes.size()) {
    container_seal_plain(bytes.data(), bytes.size());
    run(bytes);
  }
}

}  // namespace vexa::fuzz
