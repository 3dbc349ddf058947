#include "core/types.h"

namespace vexa {

const char* backend_name(uint32_t backend) {
  switch (backend) {
    case 0: return "AUTO";
    case 1: return "CPU";
    case 2: return "GPU";
    case 3: return "NPU";
    default: return "NONE";
  }
}

uint32_t dtype_element_size(uint32_t dtype) {
  switch (dtype) {
    case 1: return 2;
    case 2: return 4;
    case 3: return 8;
    case 5: return 1;
    default: return 0;
  }
}

uint32_t pixel_format_bytes(uint32_t format) {
  switch (format) {
    case 1: case 2: return 3;
    case 3: case 4: return 4;
    case 5: return 1;
    default: return 0;
  }
}

}  // namespace vexa
