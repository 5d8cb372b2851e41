// Which disk backend is in use: the native one unless a test installs another.
#include "disk/device/device.h"

static const qv_platform* current_platform = nullptr;

const qv_platform* qv_current_platform() {
    return current_platform ? current_platform : qv_native_platform();
}

void qv_set_platform(const qv_platform* platform) { current_platform = platform; }
