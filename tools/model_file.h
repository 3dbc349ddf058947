// A model container opened by path for the command-line front ends, closed with the object.
#pragma once

#include <string>

#include "core/container.h"

namespace vexa::tools {

class OpenedModel {
 public:
  OpenedModel() = default;
  ~OpenedModel();
  OpenedModel(const OpenedModel&) = delete;
  OpenedModel& operator=(const OpenedModel&) = delete;

  // False with "cannot open model '<path>': <reason>" in *error.
  bool open(const std::string& path, std::string* error);
  const OpenContainer& container() const { return container_; }

 private:
  OpenContainer container_{};
  bool open_ = false;
};

}  // namespace vexa::tools
