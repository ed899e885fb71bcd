// Stands in for a DLL planted beside Guestwise.exe under a system DLL's
// name: whatever loads it runs its DllMain, which adds its own path to a
// marker file, so that a test sees that it was loaded and from where.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  const HANDLE marker = CreateFileA("C:\\planted-dll-loaded.txt", FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(marker, path, length, &written, nullptr);
    WriteFile(marker, "\r\n", 2, &written, nullptr);
    CloseHandle(marker);
  }
  return TRUE;
}
