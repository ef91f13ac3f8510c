#include "explode/CpuCheck.h"

#if PV_X86
#include <cpuid.h>

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Windows 95 and NT 4 neither enable the SSE registers nor save them on a
// task switch, whatever the processor offers. Systems that do say so when
// asked; one that cannot be asked gets the plain paths.
bool SystemSavesSseRegisters() {
#ifdef _WIN32
  using Query = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto query = kernel ? reinterpret_cast<Query>(reinterpret_cast<void*>(
                            GetProcAddress(kernel, "IsProcessorFeaturePresent")))
                      : nullptr;
  return query && query(PF_XMMI64_INSTRUCTIONS_AVAILABLE);
#else
  return true;
#endif
}

// The register state the system saves on a task switch (XCR0). Only asked
// once the processor has said the system enabled the instruction.
uint64_t SavedRegisterState() {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return uint64_t(hi) << 32 | lo;
}

}  // namespace

CpuFeatures DetectCpuFeatures() {
  CpuFeatures f;
  unsigned a, b, c, d;
  // __get_cpuid fails on a processor without the instruction or its leaf.
  if (!__get_cpuid(1, &a, &b, &c, &d) || !SystemSavesSseRegisters()) return f;
  f.sse2 = (d & bit_SSE2) != 0;
  f.pclmul = f.sse2 && (c & bit_PCLMUL) != 0;
  // A processor with AVX whose system does not save the upper halves of the
  // vector registers across task switches must not run AVX code.
  bool osSaves = (c & bit_OSXSAVE) != 0 && (c & bit_AVX) != 0 &&
                 (SavedRegisterState() & 6) == 6;  // SSE and AVX state
  if (osSaves && __get_cpuid_count(7, 0, &a, &b, &c, &d)) f.avx2 = (b & bit_AVX2) != 0;
  return f;
}

#else

CpuFeatures DetectCpuFeatures() { return {}; }

#endif
