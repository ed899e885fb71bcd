// A program that sets its own COM security before its first detect(), as
// docs/embedding.md tells embedders to: prints detect()'s report and returns the
// status Guestwise.exe would. Status 3 and a line on stderr if the program's
// own setup fails.
#include <objbase.h>

#include <cstdio>
#include <string>

#include <guestwise/guestwise.h>

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    std::fputs("CoInitializeEx failed\n", stderr);
    return 3;
  }
  const HRESULT security =
      CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (security != S_OK) {
    std::fprintf(stderr, "CoInitializeSecurity: 0x%08lx\n", static_cast<unsigned long>(security));
    return 3;
  }
  const guestwise::DetectionResult result = guestwise::detect();
  const std::string report = guestwise::toJson(result) + "\n";
  std::fwrite(report.data(), 1, report.size(), stdout);
  CoUninitialize();
  return result.isVirtualMachine ? 1 : 0;
}
