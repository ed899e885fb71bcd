// Leaves an HKEY_LOCAL_MACHINE key in place but takes every right on it away
// (an empty DACL), so that opening it for reading is refused.
#include <windows.h>

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: deny_registry_key SUBKEY\n");
    return 2;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, WRITE_DAC, &key) != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  SECURITY_DESCRIPTOR descriptor;
  ACL emptyAcl;
  const bool denied =
      InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      InitializeAcl(&emptyAcl, sizeof emptyAcl, ACL_REVISION) &&
      SetSecurityDescriptorDacl(&descriptor, TRUE, &emptyAcl, FALSE) &&
      RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!denied) std::fprintf(stderr, "cannot deny access to %s\n", argv[1]);
  return denied ? 0 : 1;
}
