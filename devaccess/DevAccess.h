// Device property access: short, stateless sequences of SetupAPI and configuration
// manager calls that answer one question about one device. Every platform failure
// becomes a neutral result (empty text, 0, false, the invalid handle); nothing here
// raises, caches or keeps a set, key or block beyond the call that acquired it.
#pragma once

#include <string>

#include "platform/types.h"

namespace morvane {

// Size of every fixed text buffer of this layer.
inline constexpr DWORD kTextBufferSize = 32768;

// Registry properties of a device within a set (SPDRP_ codes). Multi-strings come
// back as their entries, each followed by a NUL byte.
std::string GetRegistryPropertyString(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property);
DWORD GetRegistryPropertyDword(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property);

std::string GetInstanceId(HDEVINFO set, SP_DEVINFO_DATA& data);

// A value of the device's hardware (DIREG_DEV) or driver (DIREG_DRV) key, as raw
// bytes without the last one.
std::string GetDevRegString(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD keyType, const std::string& valueName);

std::string GetDeviceDescription(HDEVINFO set, SP_DEVINFO_DATA& data);

// The description, the friendly name, or "description - friendly name".
std::string GetDisplayName(HDEVINFO set, SP_DEVINFO_DATA& data);

// Opens the node into the lookup set and fills `data` with its record there.
bool OpenDevInstInfo(HDEVINFO lookupSet, DEVINST devInst, SP_DEVINFO_DATA& data);

// Status flags of the node; on failure both the flags and `problem` are all ones.
ULONG GetDevNodeStatus(DEVINST devInst, ULONG& problem);
// The problem number when DN_HAS_PROBLEM is set, else 0 (all ones when unreadable).
ULONG GetDevNodeProblem(DEVINST devInst);
bool DevNodeHasProblem(DEVINST devInst);

// SPDRP_ENUMERATOR_NAME, or the instance ID's text before its first backslash.
std::string GetEnumeratorName(HDEVINFO set, SP_DEVINFO_DATA& data);

// Single-device interface tests. The platform's answer must carry the given instance
// ID byte for byte (case-sensitive).
bool InstanceHasInterface(const std::string& instanceId, const GUID& interfaceClass);
std::string GetInterfacePath(const std::string& instanceId, const GUID& interfaceClass);
// CreateFileA on that path (read access, read/write sharing). The caller owns the
// handle; INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE OpenInterfaceHandle(const std::string& instanceId, const GUID& interfaceClass);

}  // namespace morvane
