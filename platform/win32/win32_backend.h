// The real backend: every interface of the seam forwarded to the Windows function
// of the same name.
#pragma once

#include "platform/platform.h"

namespace platform::win32 {

// The backend over the real Windows functions; it lives for the whole process.
const Backend& RealBackend();

}  // namespace platform::win32
