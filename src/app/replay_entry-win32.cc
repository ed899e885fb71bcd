// GuestwiseReplay.exe's entry: the arguments in UTF-16, as Windows holds
// them. The narrow argv would carry them in the ANSI code page, where a name
// in other letters (Greek in a Western locale, say) turns into question
// marks and names no file.
#include "platform/windows-win32.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/dll_search.h"
#include "app/replay_main.h"
#include "platform/utf8-win32.h"

int wmain(int argc, wchar_t* argv[]) {
  // Before anything that may load a DLL by bare name.
  guestwise::restrictDllSearchToSystem32();
  // The UTF-8 texts are for the usage check and the messages only; the file
  // opens by its UTF-16 name.
  std::vector<std::string> texts;
  for (int i = 0; i < argc; ++i) texts.push_back(guestwise::toUtf8(argv[i]));
  std::vector<const char*> narrow;
  for (const std::string& text : texts) narrow.push_back(text.c_str());
  return guestwise::runReplay(argc, narrow.data(), [&]() -> std::FILE* {
    std::FILE* file = nullptr;
    return _wfopen_s(&file, argv[1], L"rb") == 0 ? file : nullptr;
  });
}
