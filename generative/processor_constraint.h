// The output constraint of one generation request, built over the processor's vocabulary.
#pragma once

#include <memory>

#include "generative/constraint.h"
#include "generative/model_config.h"
#include "generative/request_records.h"

namespace vexa {

// None when the request has neither a JSON schema nor amount decimals. Otherwise the raw bytes
// of every id below the vocabulary size are collected and compiled with the processor's EOS
// ids and the request's max_new_tokens; refusals throw ConstraintError, including "Output
// constraints cannot be combined with stops or custom masks".
std::unique_ptr<Constraint> processor_make_constraint(const Processor& processor,
                                                      const VlmRequest& request);

}  // namespace vexa
