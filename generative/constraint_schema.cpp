#include "generative/constraint_schema.h"

#include <initializer_list>
#include <set>
#include <string_view>
#include <vector>

namespace vexa {

namespace {

using json = nlohmann::json;

constexpr char kNotAnObject[] = "Schema must be an object with depth below 32";
constexpr char kUnsupportedKeyword[] = "Unsupported schema keyword or combination";

// Annotations that never change what may be written.
bool is_annotation(std::string_view key) {
  return key == "title" || key == "description" || key == "$schema";
}

void require_only(const json& schema, std::initializer_list<std::string_view> group) {
  for (const auto& item : schema.items()) {
    const std::string& key = item.key();
    if (is_annotation(key)) continue;
    bool known = false;
    for (std::string_view g : group) known = known || key == g;
    constraint_require(known, kUnsupportedKeyword);
  }
}

void build_string(Constraint& c, const json& schema, uint32_t from, uint32_t to) {
  const uint32_t min = schema_size_bound(schema, "minLength", 0, kSchemaMaxStringLength);
  const uint32_t max =
      schema_size_bound(schema, "maxLength", kSchemaMaxStringLength, kSchemaMaxStringLength);
  constraint_require(min <= max, "minLength exceeds maxLength");
  const bool bounded = schema.contains("maxLength");
  const uint32_t opened = constraint_new_state(c);
  constraint_literal(c, from, opened, "\"");
  // Lengths count characters, so each position is one whole character sub-automaton.
  uint32_t at = opened;
  for (uint32_t written = 0;; ++written) {
    if (written >= min) constraint_literal(c, at, to, "\"");
    if (!bounded && written == min) {
      constraint_json_string(c, at, at);
      return;
    }
    if (written == max) return;
    const uint32_t next = constraint_new_state(c);
    constraint_json_string(c, at, next);
    at = next;
  }
}

void build_array(Constraint& c, const json& schema, uint32_t from, uint32_t to, uint32_t depth) {
  constraint_require(schema.contains("items") && schema.contains("maxItems"),
                     "Arrays require items and maxItems");
  const uint32_t min = schema_size_bound(schema, "minItems", 0, kSchemaMaxArrayLength);
  const uint32_t max = schema_size_bound(schema, "maxItems", 0, kSchemaMaxArrayLength);
  constraint_require(min <= max, "minItems exceeds maxItems");
  const json& items = schema.at("items");
  const uint32_t opened = constraint_new_state(c);
  constraint_literal(c, from, opened, "[");
  if (min == 0) constraint_literal(c, opened, to, "]");
  if (max == 0) return;
  uint32_t item_start = constraint_new_state(c);
  constraint_add_epsilon(c, opened, item_start);
  uint32_t item_end = constraint_new_state(c);
  constraint_schema(c, items, item_start, item_end, depth + 1);
  for (uint32_t count = 1;; ++count) {
    if (count >= min) constraint_literal(c, item_end, to, "]");
    if (count == max) return;
    item_start = constraint_new_state(c);
    constraint_literal(c, item_end, item_start, ",");
    const uint32_t next_end = constraint_new_state(c);
    constraint_schema(c, items, item_start, next_end, depth + 1);
    item_end = next_end;
  }
}

void build_object(Constraint& c, const json& schema, uint32_t from, uint32_t to, uint32_t depth) {
  const auto properties = schema.find("properties");
  const auto required = schema.find("required");
  const auto additional = schema.find("additionalProperties");
  constraint_require(properties != schema.end() && properties->is_object() &&
                         required != schema.end() && required->is_array() &&
                         additional != schema.end() && *additional == json(false),
                     "Objects require properties, required and additionalProperties:false");
  constraint_require(properties->size() <= kSchemaMaxProperties &&
                         required->size() == properties->size(),
                     "Every property must be required");
  std::set<std::string> names;
  for (const json& name : *required) {
    constraint_require(names.insert(name.get<std::string>()).second, "Duplicate required property");
  }
  const uint32_t opened = constraint_new_state(c);
  constraint_literal(c, from, opened, "{");
  // The JSON library iterates object keys in ascending byte order: the fixed output order.
  uint32_t at = opened;
  bool first = true;
  for (const auto& property : properties->items()) {
    constraint_require(names.count(property.key()) != 0, "Every property must be required");
    std::string key = first ? "" : ",";
    key += constraint_json_literal(json(property.key()));
    key += ':';
    first = false;
    const uint32_t value_start = constraint_new_state(c);
    constraint_literal(c, at, value_start, key);
    const uint32_t value_end = constraint_new_state(c);
    constraint_schema(c, property.value(), value_start, value_end, depth + 1);
    at = value_end;
  }
  constraint_literal(c, at, to, "}");
}

}  // namespace

uint32_t schema_size_bound(const json& schema, const char* key, uint32_t fallback,
                           uint32_t maximum) {
  const auto it = schema.find(key);
  if (it == schema.end()) return fallback;
  bool ok = false;
  uint64_t value = 0;
  if (it->is_number_unsigned()) {
    value = it->get<uint64_t>();
    ok = value <= maximum;
  } else if (it->is_number_integer()) {
    // The JSON library reads "-0" as a signed integer: it is the integer 0 all the same.
    ok = it->get<int64_t>() == 0;
  }
  // A negative integer, a float such as 2.0, or any other type is refused alike.
  constraint_require(ok, "Invalid schema size bound");
  return static_cast<uint32_t>(value);
}

std::string constraint_json_literal(const json& value) {
  // Pending work, last first: a value to write, or text to copy when `value` is null.
  struct Task {
    const json* value;
    std::string text;
  };
  std::string out;
  std::vector<Task> pending;
  pending.push_back({&value, {}});
  while (!pending.empty()) {
    Task task = std::move(pending.back());
    pending.pop_back();
    if (task.value == nullptr) {
      out += task.text;
      continue;
    }
    const json& v = *task.value;
    if (v.is_array()) {
      out += '[';
      pending.push_back({nullptr, "]"});
      for (size_t i = v.size(); i-- > 0;) {
        pending.push_back({&v[i], {}});
        if (i > 0) pending.push_back({nullptr, ","});
      }
    } else if (v.is_object()) {
      out += '{';
      pending.push_back({nullptr, "}"});
      std::vector<const json*> values;
      std::vector<std::string> keys;
      for (const auto& item : v.items()) {
        keys.push_back(json(item.key()).dump(-1, ' ', true));
        values.push_back(&item.value());
      }
      for (size_t i = values.size(); i-- > 0;) {
        pending.push_back({values[i], {}});
        pending.push_back({nullptr, (i > 0 ? "," : "") + keys[i] + ":"});
      }
    } else {
      out += v.dump(-1, ' ', true);
    }
  }
  return out;
}

void constraint_schema(Constraint& c, const json& schema, uint32_t from, uint32_t to,
                       uint32_t depth) {
  constraint_require(depth <= kSchemaMaxDepth && schema.is_object(), kNotAnObject);
  if (schema.contains("enum")) {
    require_only(schema, {"enum"});
    const json& values = schema.at("enum");
    constraint_require(values.is_array() && !values.empty() && values.size() <= kSchemaMaxEnumValues,
                       "enum must contain 1..256 values");
    for (const json& v : values) constraint_literal(c, from, to, constraint_json_literal(v));
    return;
  }
  if (schema.contains("const")) {
    require_only(schema, {"const"});
    constraint_literal(c, from, to, constraint_json_literal(schema.at("const")));
    return;
  }
  if (schema.contains("anyOf")) {
    require_only(schema, {"anyOf"});
    const json& options = schema.at("anyOf");
    constraint_require(options.is_array() && !options.empty() && options.size() <= kSchemaMaxAnyOf,
                       "anyOf must contain 1..32 schemas");
    for (const json& option : options) constraint_schema(c, option, from, to, depth + 1);
    return;
  }
  // A missing "type" reads as "", which allows no further keyword and no type.
  const std::string type = schema.value("type", std::string());
  if (type == "array") {
    require_only(schema, {"type", "items", "minItems", "maxItems"});
  } else if (type == "object") {
    require_only(schema, {"type", "properties", "required", "additionalProperties"});
  } else if (type == "string") {
    require_only(schema, {"type", "minLength", "maxLength"});
  } else {
    require_only(schema, {"type"});
  }
  if (type == "boolean") {
    constraint_literal(c, from, to, "true");
    constraint_literal(c, from, to, "false");
  } else if (type == "null") {
    constraint_literal(c, from, to, "null");
  } else if (type == "integer" || type == "number") {
    constraint_number(c, from, to, type == "integer", 0);
  } else if (type == "string") {
    build_string(c, schema, from, to);
  } else if (type == "array") {
    build_array(c, schema, from, to, depth);
  } else if (type == "object") {
    build_object(c, schema, from, to, depth);
  } else {
    throw ConstraintError("Unsupported schema type");
  }
}

}  // namespace vexa
