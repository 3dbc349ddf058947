// Operators against ONNX Runtime: each case of tests/fixtures/cpu_ops/op_goldens.txt holds an
// ONNX operator's inputs and ONNX Runtime's outputs (made by make_op_goldens.py); the test
// builds the node the converter would produce for it and compares.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "op_harness.h"

namespace vexa::cpu::optest {
namespace {

struct Tensor {
  std::string label;
  Dims dims;
  std::vector<float> values;
};

struct Case {
  std::vector<Tensor> inputs;
  std::vector<Tensor> outputs;
};

std::map<std::string, Case> load_cases() {
  std::map<std::string, Case> cases;
  std::ifstream in(std::string(VEXA_FIXTURES_DIR) + "/cpu_ops/op_goldens.txt");
  std::string line;
  Case* current = nullptr;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string word;
    s >> word;
    if (word == "case") {
      s >> word;
      current = &cases[word];
    } else if ((word == "in" || word == "out") && current != nullptr) {
      Tensor t;
      uint64_t rank = 0;
      s >> t.label >> rank;
      t.dims.resize(rank);
      for (uint64_t& d : t.dims) s >> d;
      std::string colon;
      s >> colon;
      std::string number;
      while (s >> number) t.values.push_back(std::strtof(number.c_str(), nullptr));
      (word == "in" ? current->inputs : current->outputs).push_back(std::move(t));
    }
  }
  return cases;
}

struct Lowering {
  const char* name;
  OpKind kind;
  Attrs attrs;
  double tolerance = 0.0;
};

uint64_t w(int64_t v) { return static_cast<uint64_t>(v); }

TEST(CpuOrtGolden, OperatorsMatchOnnxRuntime) {
  const auto cases = load_cases();
  ASSERT_GE(cases.size(), 27u) << "fixture missing or truncated";
  const Lowering lowerings[] = {
      {"gather_axis1", OpKind::kGather, {{26, 1}}},
      {"gather_axis0_2d", OpKind::kGather, {{26, 0}}},
      {"gather_last", OpKind::kGather, {{26, w(-1)}}},
      {"gathernd_pairs", OpKind::kGatherND, {}},
      {"scatternd_rows", OpKind::kScatterND, {}},
      {"scatterelements_axis1", OpKind::kScatterND, {{26, 1}, {16, 1}}},
      {"resize_nearest_7x4", OpKind::kResize, {{17, 2}, {18, 1}}},
      {"resize_nearest_up2", OpKind::kResize, {{17, 2}, {18, 2}}},
      {"resize_nearest_align", OpKind::kResize, {{28, 1}}},
      {"resize_linear_half_pixel", OpKind::kResize, {{27, 1}}, 1e-6},
      {"resize_linear_align", OpKind::kResize, {{27, 1}, {28, 1}}, 1e-6},
      {"topk_largest", OpKind::kTopK, {{26, 1}}},
      {"topk_smallest", OpKind::kTopK, {{26, 1}, {27, 1}}},
      {"nms_two_classes", OpKind::kNonMaxSuppression,
       {{15, 3}, {29, f32_bits(0.5f)}, {30, f32_bits(0.1f)}}},
      {"depth_to_space_crd", OpKind::kDepthToSpace, {{15, 2}}},
      {"space_to_depth", OpKind::kSpaceToDepth, {{15, 2}}},
      {"depth_to_space_default", OpKind::kDepthToSpace, {{15, 2}, {27, 1}}},
      {"cumsum_exclusive_reverse", OpKind::kCumSum, {{26, 1}, {27, 1}, {28, 1}}, 1e-6},
      {"softmax_axis1", OpKind::kSoftmax, {{26, 1}}, 1e-6},
      {"reduce_mean_last", OpKind::kReduceMean, {{26, w(-1)}}, 1e-6},
      {"reduce_prod_axis0", OpKind::kReduceProd, {{26, 0}}, 1e-6},
      {"argmax_ties", OpKind::kArgMax, {{26, 1}}},
      {"grid_sample", OpKind::kGridSample, {}, 1e-6},
      {"transpose_0231", OpKind::kTranspose, {{15, 4}, {19, 0}, {20, 2}, {21, 3}, {22, 1}}},
      {"expand", OpKind::kExpand, {}},
      {"pad_constant", OpKind::kPad, {}},
      {"slice_negative_step", OpKind::kSlice, {{26, 1}, {17, w(-3)}, {19, 7}, {20, 3}}},
  };
  for (const Lowering& l : lowerings) {
    SCOPED_TRACE(l.name);
    const auto it = cases.find(l.name);
    ASSERT_NE(it, cases.end());
    const Case& c = it->second;
    OpGraph g;
    std::vector<uint64_t> inputs, outputs;
    for (const Tensor& t : c.inputs) inputs.push_back(g.in(t.dims, t.values));
    std::vector<std::vector<float>> want;
    for (const Tensor& t : c.outputs) {
      Dims dims = t.dims;
      std::vector<float> values = t.values;
      if (l.kind == OpKind::kNonMaxSuppression) {
        // A fixed number of rows; those past the selections stay zero.
        dims[0] = 8;
        values.resize(8 * 3, 0.0f);
      }
      outputs.push_back(g.out(dims));
      want.push_back(values);
    }
    if (l.kind == OpKind::kPad) {
      // The converter keeps the constant pads in the second slot and one input.
      const uint64_t pads = g.weight({8}, {0, 0, 1, 2, 0, 1, 1, 0});
      inputs.push_back(pads);
      g.node(l.kind, inputs, outputs, l.attrs).w[kNodeWordInputCount] = 1;
    } else {
      g.node(l.kind, inputs, outputs, l.attrs);
    }
    ASSERT_TRUE(g.run());
    for (size_t k = 0; k < outputs.size(); ++k) {
      EXPECT_TRUE(same_floats(g.data(outputs[k]), want[k], l.tolerance)) << "output " << k;
    }
  }
}

}  // namespace
}  // namespace vexa::cpu::optest
