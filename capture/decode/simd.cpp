#include "decode/simd.h"

#if LORV_AVX2
#include <cpuid.h>

namespace {

bool DetectAvx2()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX))
        return false;
    // XCR0 bits 1 and 2: the system saves the SSE and AVX state on a thread switch.
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 6) != 6)
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
}

// XCR0 bits 5 to 7: the mask registers and all 512 bits of the 32 vector registers are saved.
bool DetectAvx512()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!DetectAvx2() || !__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    if (!(b & bit_AVX512F) || !(b & bit_AVX512BW) || !(c & bit_AVX512VBMI))
        return false;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    return (xcr0 & 0xE6) == 0xE6;
}

}  // namespace

bool CpuHasAvx2()
{
    static const bool has = DetectAvx2();
    return has;
}

bool CpuHasAvx512()
{
    static const bool has = DetectAvx512();
    return has;
}
#else
bool CpuHasAvx2() { return false; }
bool CpuHasAvx512() { return false; }
#endif
