#pragma once

#include "platform/windows-win32.h"

namespace guestwise {

// Closes a kernel handle on every path; holds nothing when the call that
// made it failed (null or INVALID_HANDLE_VALUE).
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A registry key opened for reading, closed on every path. No view flag: a
// 64-bit process sees its native view.
class RegistryKey {
 public:
  RegistryKey(HKEY parent, const char* subkey) {
    if (RegOpenKeyExA(parent, subkey, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegistryKey() {
    if (opened()) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool opened() const { return key_ != nullptr; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace guestwise
