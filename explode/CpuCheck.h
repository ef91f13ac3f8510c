// What the processor, and the system it runs under, let the vectorised
// CRC-32 and unscrambling paths use. The program itself keeps the baseline
// instruction set of its target; only functions marked PV_TARGET use more,
// and they run only after this check has said yes.
#pragma once

#if defined(__i386__) || defined(__x86_64__)
#define PV_X86 1
// Lets one function use the named instruction-set extensions. On 32-bit x86
// the stack may come 4-byte aligned (Windows callbacks, older compilers'
// code), so such a function realigns it before it spills vector registers.
#if defined(__i386__)
#define PV_TARGET(features) __attribute__((target(features), force_align_arg_pointer))
#else
#define PV_TARGET(features) __attribute__((target(features)))
#endif
#else
#define PV_X86 0
#endif

struct CpuFeatures {
  bool sse2 = false;
  bool pclmul = false;  // carry-less multiplication, with the SSE registers
  bool avx2 = false;    // only when the system also saves the 256-bit registers
};

// Asks the processor (and, for AVX2, the system) each time it is called;
// all false on processors of other families.
CpuFeatures DetectCpuFeatures();
