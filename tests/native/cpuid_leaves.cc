// cpuid_leaves LEAF...: what this processor answers for each CPUID leaf
// (hex, subleaf 0), one line each: the leaf, EAX, EBX, ECX and EDX, written
// as GuestwiseFacts writes them. Built for the build machine, whose
// processor an exe under Wine runs on too, and for Windows, where the runner
// check reads the processor the exes run on; written apart from the
// product's reading, so that the two can be compared.
#ifdef _MSC_VER
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const auto leaf = static_cast<unsigned int>(std::strtoul(argv[i], nullptr, 16));
#ifdef _MSC_VER
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), 0);
    const auto eax = static_cast<unsigned int>(r[0]), ebx = static_cast<unsigned int>(r[1]),
               ecx = static_cast<unsigned int>(r[2]), edx = static_cast<unsigned int>(r[3]);
#else
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(leaf, 0, eax, ebx, ecx, edx);
#endif
    std::printf("0x%08x 0x%08x 0x%08x 0x%08x 0x%08x\n", leaf, eax, ebx, ecx, edx);
  }
  return 0;
}
