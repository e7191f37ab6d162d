// The backend of varnel.dll: only the system and security services, which is all the
// library asks for, so that the DLL imports kernel32 and advapi32 and nothing that
// would load the device-installation, shell or window libraries into its host.
#pragma once

#include "platform/platform.h"

namespace morvane::varnel {

const platform::Backend& VarnelBackend();

}  // namespace morvane::varnel
