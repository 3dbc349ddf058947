// Writes a small model container to a temporary folder, opens it again and prints a summary.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/container_access.h"
#include "core/container_writer.h"
#include "core/model_load.h"

int main() {
  using namespace vexa;
  char dir_template[] = "/tmp/vexa-demo-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    std::fprintf(stderr, "vexa: %s\n", "cannot create a temporary folder");
    return 1;
  }
  const std::string path = std::string(dir_template) + "/demo.vexa";

  ContainerWriter writer;
  std::vector<float> weights(3 * 4);
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = 0.5f * static_cast<float>(i);
  const uint64_t dims[] = {3, 4};
  const uint64_t tensor = writer.add_tensor_f32("fc.weight", dims, weights.data());
  writer.set_meta_string("task", "classification");
  const std::string_view labels[] = {"cat", "dog", "bird"};
  writer.set_meta_string_list("labels", labels);
  GraphValue input{};
  input.kind = static_cast<uint64_t>(ValueKind::kGraphInput);
  input.dtype = 2;
  input.rank = 2;
  input.dims[0] = 1;
  input.dims[1] = 4;
  input.element_count = 4;
  input.byte_size = 16;
  GraphValue output = input;
  output.kind = static_cast<uint64_t>(ValueKind::kGraphOutput);
  output.dims[1] = 3;
  output.element_count = 3;
  output.byte_size = 12;
  GraphNode gemm{};
  gemm.op_kind = static_cast<uint64_t>(OpKind::kGemm);
  gemm.input_count = 2;
  gemm.inputs[0] = writer.add_value(input, "input");
  gemm.inputs[1] = writer.add_weight_value(tensor, "fc.weight");
  gemm.output_count = 1;
  gemm.outputs[0] = writer.add_value(output, "logits");
  writer.add_node(gemm);

  std::string error;
  if (!writer.write_to_path(path, &error)) {
    std::fprintf(stderr, "vexa: %s\n", error.c_str());
    return 1;
  }
  ModelLoadResult loaded = model_load_path(path.data(), path.size());
  unlink(path.c_str());
  rmdir(dir_template);
  if (!loaded.ok()) {
    const std::string text(expected_message_view(loaded.error));
    expected_message_free(&loaded.error);
    std::fprintf(stderr, "vexa: %s\n", text.c_str());
    return 1;
  }
  OpenContainer& c = loaded.value;
  std::printf("container: %llu bytes of metadata, %llu bytes of weights\n",
              static_cast<unsigned long long>(c.image_size),
              static_cast<unsigned long long>(c.weights_data_size));
  for (uint64_t i = 0; i < kSectionCount; ++i) {
    std::printf("  section %2llu: offset %6llu, %3llu entries of %3llu bytes\n",
                static_cast<unsigned long long>(i),
                static_cast<unsigned long long>(container_section_offset(&c, i)),
                static_cast<unsigned long long>(container_section_count(&c, i)),
                static_cast<unsigned long long>(container_section_stride(&c, i)));
  }
  std::printf("tensors: %llu\n", static_cast<unsigned long long>(container_tensor_count(&c)));
  std::printf("metadata: %llu live entries, task \"%s\"\n",
              static_cast<unsigned long long>(meta_live_count(&c)),
              std::string(meta_get_str(&c, "task", "")).c_str());
  std::printf("graph: %llu nodes, %llu values, first op %s\n",
              static_cast<unsigned long long>(container_node_count(&c)),
              static_cast<unsigned long long>(container_value_count(&c)),
              std::string(op_kind_name(container_read_node(&c, 0).op_kind)).c_str());
  container_close(&c);
  return 0;
}
