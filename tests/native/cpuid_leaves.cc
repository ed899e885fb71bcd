// cpuid_leaves LEAF...: what this processor answers for each CPUID leaf
// (hex, subleaf 0), one line each: the leaf, EAX, EBX, ECX and EDX, written
// as GuestwiseFacts writes them. Under Wine an exe runs on this same
// processor, so the two must agree.
#include <cpuid.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const auto leaf = static_cast<unsigned int>(std::strtoul(argv[i], nullptr, 16));
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(leaf, 0, eax, ebx, ecx, edx);
    std::printf("0x%08x 0x%08x 0x%08x 0x%08x 0x%08x\n", leaf, eax, ebx, ecx, edx);
  }
  return 0;
}
