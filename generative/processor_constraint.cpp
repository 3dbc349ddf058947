#include "generative/processor_constraint.h"

#include "generative/constraint_handle.h"
#include "generative/processor.h"
#include "generative/tokenizer.h"

namespace vexa {

namespace {

ConstraintRequest constraint_request(const VlmRequest& request) {
  ConstraintRequest c;
  c.json_schema = request.json_schema;
  c.amount_decimals = request.amount_decimals;
  c.stop_count = request.stop_count;
  c.has_mask_callback = request.mask_callback != nullptr;
  c.max_new_tokens = request.max_new_tokens;
  return c;
}

}  // namespace

std::unique_ptr<Constraint> processor_make_constraint(const Processor& processor,
                                                      const VlmRequest& request) {
  return make_request_constraint(
      constraint_request(request), processor.tokens.vocab_size,
      [&](int64_t id) { return processor_token_bytes(processor, id); }, processor.eos_ids);
}

std::unique_ptr<VXConstraint> VXProcessor::constraint_with_params(const VlmRequest* request) const {
  const VlmRequest defaults = vlm_request_default();
  const Processor& p = *processor_;
  return constraint_with_request(
      constraint_request(request != nullptr ? *request : defaults), p.tokens.vocab_size,
      [&](int64_t id) { return processor_token_bytes(p, id); }, p.eos_ids);
}

}  // namespace vexa
