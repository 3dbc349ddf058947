#include "tools/model_file.h"

#include "core/container_format.h"

namespace vexa::tools {

OpenedModel::~OpenedModel() {
  if (open_) container_close(&container_);
}

bool OpenedModel::open(const std::string& path, std::string* error) {
  const OpenResult r = container_open_path(path.c_str(), path.size());
  if (!r.ok()) {
    *error = "cannot open model '" + path + "': " + std::string(pack_status_text(static_cast<uint32_t>(r.status)));
    return false;
  }
  if (open_) container_close(&container_);
  container_ = r.container;
  open_ = true;
  return true;
}

}  // namespace vexa::tools
