// Owning wrappers for every platform handle kind: one small template, one line per
// kind. Releasing a handle keeps the thread's last error code as it was, so an
// operation that reports failure through GetLastError can close its handles on the
// way out without replacing the code.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace platform {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { Reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle Get() const noexcept { return handle_; }
  bool IsValid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return IsValid(); }

  // Gives up ownership without releasing.
  Handle Release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

  void Reset(Handle handle = Traits::Invalid()) noexcept {
    Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) {
      ISystem& system = System();
      const DWORD lastError = system.GetLastError();
      Traits::Free(old);
      system.SetLastError(lastError);
    }
  }

 private:
  Handle handle_;
};

struct DevInfoTraits {
  using Handle = HDEVINFO;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Free(Handle h) noexcept { DeviceInstall().SetupDiDestroyDeviceInfoList(h); }
};

// SetupDiOpenDevRegKey reports failure with INVALID_HANDLE_VALUE, never with null.
struct DevRegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() noexcept { return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }
  static void Free(Handle h) noexcept { Registry().RegCloseKey(h); }
};

struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Free(Handle h) noexcept { Files().CloseHandle(h); }
};

// Handles whose failure value is null (process tokens).
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { Files().CloseHandle(h); }
};

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { ServiceControl().CloseServiceHandle(h); }
};

struct GlobalMemoryTraits {
  using Handle = HGLOBAL;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { Memory().GlobalFree(h); }
};

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { Files().FreeLibrary(h); }
};

struct InfTraits {
  using Handle = HINF;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Free(Handle h) noexcept { DeviceInstall().SetupCloseInfFile(h); }
};

using UniqueDevInfo = UniqueHandle<DevInfoTraits>;
using UniqueDevRegKey = UniqueHandle<DevRegKeyTraits>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;
using UniqueGlobal = UniqueHandle<GlobalMemoryTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
using UniqueInf = UniqueHandle<InfTraits>;

// Runs a callable at the end of a scope (restoring the current directory, the
// redirection, the clipboard).
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

}  // namespace platform
