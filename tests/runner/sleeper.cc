// Stands in for a guest-tools process: copied under a tool's name and left
// running while a test runs Guestwise.exe. With an argument, it creates that
// file once it runs, so the test knows the process list holds it.
#include <windows.h>

int main(int argc, char* argv[]) {
  if (argc > 1) {
    const HANDLE ready = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  }
  Sleep(10 * 60 * 1000);  // ends by itself if a test forgets it
  return 0;
}
