// The JSON-schema half of the constraint compiler: walks a parsed schema and builds the
// sub-automaton of the compact JSON text it allows. Errors of the JSON library (a value of the
// wrong type where the walk reads one) propagate as nlohmann::json::exception; the compiler
// turns them into one message.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "generative/constraint.h"

namespace vexa {

inline constexpr uint32_t kSchemaMaxDepth = 31;
inline constexpr uint32_t kSchemaMaxEnumValues = 256;
inline constexpr uint32_t kSchemaMaxAnyOf = 32;
inline constexpr uint32_t kSchemaMaxStringLength = 1024;
inline constexpr uint32_t kSchemaMaxArrayLength = 64;
inline constexpr uint32_t kSchemaMaxProperties = 128;

// The sub-automaton of `schema` between two existing states.
void constraint_schema(Constraint& c, const nlohmann::json& schema, uint32_t from, uint32_t to,
                       uint32_t depth);

// `fallback` when the key is absent; else the value must be a JSON integer in [0, maximum].
uint32_t schema_size_bound(const nlohmann::json& schema, const char* key, uint32_t fallback,
                           uint32_t maximum);

// Compact, ASCII-only JSON text of a value, as the JSON library's dump writes it; invalid UTF-8
// in a string throws the library's type error. Iterative, so a deeply nested "const" cannot
// exhaust the stack.
std::string constraint_json_literal(const nlohmann::json& value);

}  // namespace vexa
