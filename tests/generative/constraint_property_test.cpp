// Output constraints against independent references:
// - every schema of the JSON Schema test suite (draft 2020-12) compiles, or is refused, as the
//   committed table says (written by a separate Python reading of the supported subset), and no
//   suite instance the automaton accepts is one the suite calls invalid;
// - seeded random walks under the mask over GPT-2's vocabulary always end inside the token
//   budget with text that parses as JSON and that ajv validated against the schema (goldens
//   committed with the walks' texts), or that has the amount format.
// Regenerating the goldens: see tests/fixtures/constraint/README.md.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/generative/constraint_test_support.h"
#include "testdata.h"

namespace vexa {
namespace {

using json = nlohmann::json;
using constraint_test::accepts;
using constraint_test::byte_vocab;
using constraint_test::read_file;

const std::string kSuiteDir = VEXA_TESTDATA_DIR "/json-schema/draft2020-12/";
const std::string kFixtureDir = VEXA_FIXTURES_DIR "/constraint/";

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    out.push_back(line.substr(start, tab - start));
  }
  out.push_back(line.substr(start));
  return out;
}

struct SuiteRow {
  std::string file;
  size_t group = 0;
  bool ok = false;
  size_t states = 0;
  int32_t fewest_bytes = 0;
  std::string message;
};

std::vector<SuiteRow> suite_rows() {
  std::vector<SuiteRow> rows;
  std::ifstream in(kFixtureDir + "suite_outcomes.tsv");
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = split_tabs(line);
    if (f.size() < 5) {
      ADD_FAILURE() << "bad row: " << line;
      continue;
    }
    SuiteRow r;
    r.file = f[0];
    r.group = std::stoul(f[1]);
    r.ok = f[2] == "ok";
    if (r.ok) {
      r.states = std::stoul(f[3]);
      r.fewest_bytes = std::stoi(f[4]);
    } else {
      r.message = f[3];
    }
    rows.push_back(r);
  }
  return rows;
}

const json& suite_file(const std::string& name) {
  static std::map<std::string, json> files;
  auto it = files.find(name);
  if (it == files.end()) it = files.emplace(name, json::parse(read_file(kSuiteDir + name))).first;
  return it->second;
}

TEST(ConstraintSuite, EverySchemaCompilesOrIsRefusedAsTabled) {
  VEXA_REQUIRE_TESTDATA("json-schema/draft2020-12");
  const std::vector<SuiteRow> rows = suite_rows();
  ASSERT_EQ(461u, rows.size());
  size_t sound_checks = 0;
  for (const SuiteRow& row : rows) {
    const json& group = suite_file(row.file).at(row.group);
    const std::string schema = group.at("schema").dump();
    SCOPED_TRACE(row.file + " #" + std::to_string(row.group) + " " + schema);
    std::string message;
    std::unique_ptr<Constraint> c;
    try {
      c = std::make_unique<Constraint>(constraint_test::compile_schema(schema));
    } catch (const ConstraintError& e) {
      message = e.what();
    }
    if (!row.ok) {
      EXPECT_EQ(row.message, message);
      continue;
    }
    ASSERT_NE(nullptr, c) << message;
    EXPECT_EQ(row.states, c->states.size());
    // With every byte a token, the bound is the shortest valid output in bytes, exactly.
    EXPECT_EQ(row.fewest_bytes, constraint_set_distance(*c, c->current));
    EXPECT_EQ("", constraint_test::refusal(
                      [&] { constraint_test::compile_schema(schema, row.fewest_bytes); }));
    EXPECT_NE("", constraint_test::refusal(
                      [&] { constraint_test::compile_schema(schema, row.fewest_bytes - 1); }));
    // Soundness: an instance the automaton takes must be one the suite calls valid.
    for (const json& test : group.at("tests")) {
      const std::string text = test.at("data").dump();
      if (accepts(*c, text)) {
        EXPECT_TRUE(test.at("valid").get<bool>()) << text;
        ++sound_checks;
      }
    }
  }
  // Compact instances of the supported schemas that the automaton takes.
  EXPECT_GE(sound_checks, 40u);
}

// ---------------------------------------------------------------------------------------------
// Random walks under the mask

constexpr int64_t kEos = constraint_test::kGpt2Eos;
constexpr uint32_t kWalkSlack = 32;  // extra tokens over the start state's bound, at most

uint64_t splitmix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct WalkCase {
  std::string name;
  json schema;  // null for an amount
  uint32_t decimals = 0;
  uint64_t seeds = 0;
};

std::vector<WalkCase> suite_walk_cases() {
  std::vector<WalkCase> cases;
  for (const SuiteRow& row : suite_rows()) {
    if (!row.ok) continue;
    cases.push_back({"suite:" + row.file + "#" + std::to_string(row.group),
                     suite_file(row.file).at(row.group).at("schema"), 0, 2});
  }
  return cases;
}

std::vector<WalkCase> nested_walk_cases() {
  std::vector<WalkCase> cases;
  for (const json& nested : json::parse(read_file(kFixtureDir + "nested_schemas.json"))) {
    cases.push_back({"nested:" + nested.at("name").get<std::string>(), nested.at("schema"), 0, 6});
  }
  return cases;
}

std::vector<WalkCase> amount_walk_cases() {
  std::vector<WalkCase> cases;
  for (uint32_t decimals = 1; decimals <= 9; ++decimals) {
    cases.push_back({"amount:" + std::to_string(decimals), nullptr, decimals, 2});
  }
  return cases;
}

struct Walk {
  std::string text;
  uint32_t budget = 0;
  uint32_t tokens = 0;
};

// One generation as the loop runs it: mask with the tokens that remain, pick uniformly among
// the allowed ids (EOS, once allowed, with probability 1/4), accept, stop on completion.
Walk random_walk(Constraint& c, uint64_t seed) {
  uint64_t rng = seed * 0x100000001B3ull + 17;
  Walk w;
  w.budget = static_cast<uint32_t>(constraint_set_distance(c, c.current)) +
             static_cast<uint32_t>(splitmix(rng) % (kWalkSlack + 1));
  std::vector<uint8_t> mask(c.token_bytes.size());
  std::vector<int64_t> ids;
  for (uint32_t step = 0; step < w.budget; ++step) {
    std::fill(mask.begin(), mask.end(), 1);
    constraint_mask(c, mask.data(), mask.size(), w.budget - step);
    ids.clear();
    for (size_t id = 0; id < mask.size(); ++id) {
      if (mask[id]) ids.push_back(static_cast<int64_t>(id));
    }
    if (ids.empty()) {
      ADD_FAILURE() << "no token allowed after " << w.text;
      return w;
    }
    int64_t token = ids[splitmix(rng) % ids.size()];
    if (mask[kEos] && splitmix(rng) % 4 == 0) token = kEos;
    ++w.tokens;
    if (token != kEos) w.text += c.token_bytes[static_cast<size_t>(token)];
    if (constraint_accept(c, token)) break;
  }
  return w;
}

// -?(0|[1-9][0-9]{0,17})\.[0-9]{decimals} after optional JSON whitespace.
bool is_amount(std::string_view t, uint32_t decimals) {
  size_t i = t.find_first_not_of(" \t\n\r");
  if (i == std::string_view::npos) return false;
  if (t[i] == '-') ++i;
  const size_t digits = i;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
  const size_t integer = i - digits;
  if (integer == 0 || integer > 18 || (integer > 1 && t[digits] == '0')) return false;
  if (i >= t.size() || t[i] != '.') return false;
  const std::string_view fraction = t.substr(i + 1);
  return fraction.size() == decimals &&
         fraction.find_first_not_of("0123456789") == std::string_view::npos;
}

// Golden walks by "name/seed".
const std::map<std::string, json>& golden_walks() {
  static const std::map<std::string, json> walks = [] {
    std::map<std::string, json> by_key;
    const json doc = json::parse(read_file(kFixtureDir + "walk_goldens.json"));
    for (const json& g : doc.at("walks")) {
      by_key[g.at("name").get<std::string>() + "/" + std::to_string(g.at("seed").get<uint64_t>())] = g;
    }
    return by_key;
  }();
  return walks;
}

// Runs every walk of `cases` and checks it against its golden. With VEXA_CONSTRAINT_WALKS_OUT
// set to a folder, writes the walks there as <part>.json instead, for new verdicts.
void check_walks(const std::vector<WalkCase>& cases, const std::string& part) {
  const char* write_to = std::getenv("VEXA_CONSTRAINT_WALKS_OUT");
  json written = json::array();
  for (const WalkCase& wc : cases) {
    SCOPED_TRACE(wc.name);
    const std::string schema = wc.schema.is_null() ? "" : wc.schema.dump();
    Constraint c = compile_output_constraint(wc.schema.is_null() ? nullptr : schema.c_str(),
                                             wc.decimals, constraint_test::gpt2_token_bytes(),
                                             {kEos}, 8192);
    const std::vector<int32_t> start = c.current;
    for (uint64_t seed = 0; seed < wc.seeds; ++seed) {
      c.current = start;
      const Walk w = random_walk(c, seed);
      SCOPED_TRACE("seed " + std::to_string(seed) + " text " + w.text);
      EXPECT_LE(w.tokens, w.budget);
      EXPECT_TRUE(constraint_accepting(c));
      if (wc.schema.is_null()) {
        EXPECT_TRUE(is_amount(w.text, wc.decimals));
      }
      EXPECT_NO_THROW(json::parse(w.text));
      if (write_to != nullptr) {
        written.push_back({{"name", wc.name}, {"seed", seed}, {"schema", wc.schema},
                           {"decimals", wc.decimals}, {"budget", w.budget},
                           {"tokens", w.tokens}, {"text", w.text}});
        continue;
      }
      const auto g = golden_walks().find(wc.name + "/" + std::to_string(seed));
      ASSERT_NE(golden_walks().end(), g) << "no golden; regenerate the walk goldens";
      const json& golden = g->second;
      EXPECT_EQ(golden.at("text").get<std::string>(), w.text);
      EXPECT_EQ(golden.at("tokens").get<uint32_t>(), w.tokens);
      EXPECT_EQ(golden.at("budget").get<uint32_t>(), w.budget);
      EXPECT_TRUE(golden.at("valid").get<bool>()) << golden.dump();
    }
  }
  if (write_to != nullptr) {
    const std::string path = std::string(write_to) + "/" + part + ".json";
    std::ofstream(path) << json{{"walks", written}}.dump(1) << "\n";
    GTEST_SKIP() << "wrote " << written.size() << " walks to " << path;
  }
}

TEST(ConstraintProperty, SuiteSchemaWalks) {
  VEXA_REQUIRE_TESTDATA("json-schema/draft2020-12");
  check_walks(suite_walk_cases(), "suite");
}
TEST(ConstraintProperty, NestedSchemaWalks) { check_walks(nested_walk_cases(), "nested"); }
TEST(ConstraintProperty, AmountWalks) { check_walks(amount_walk_cases(), "amount"); }

TEST(ConstraintProperty, EveryGoldenWalkIsRun) {
  VEXA_REQUIRE_TESTDATA("json-schema/draft2020-12");
  size_t walks = 0;
  for (const auto& cases : {suite_walk_cases(), nested_walk_cases(), amount_walk_cases()}) {
    for (const WalkCase& wc : cases) walks += wc.seeds;
  }
  EXPECT_EQ(golden_walks().size(), walks);
}

}  // namespace
}  // namespace vexa
