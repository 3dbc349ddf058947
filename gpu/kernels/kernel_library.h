// The device programs of the GPU backends, as kernel sources for the software device.
#pragma once

#include "platform/software_device.h"

namespace vexa {

// The read-back checksum program: one kernel, "touch_all".
const KernelSource& weights_kernel_source();

void touch_all_kernel(KernelDispatch& d);

}  // namespace vexa
