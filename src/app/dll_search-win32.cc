#include "app/dll_search.h"

#include "platform/windows-win32.h"

namespace guestwise {

namespace {

using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD directoryFlags);

// Looked up rather than imported: the exe still starts on a Windows that
// lacks it.
SetDefaultDllDirectoriesCall findSetDefaultDllDirectories() {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  // Through the generic function pointer type, which converts to any other.
  const auto generic =
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories"));
  return reinterpret_cast<SetDefaultDllDirectoriesCall>(generic);
}

}  // namespace

void restrictDllSearchToSystem32() {
  const SetDefaultDllDirectoriesCall setDefault = findSetDefaultDllDirectories();
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Takes at least the working directory out of the search.
  SetDllDirectoryW(L"");
}

}  // namespace guestwise
