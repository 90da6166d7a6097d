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

}  // namespace

bool CpuHasAvx2()
{
    static const bool has = DetectAvx2();
    return has;
}
#else
bool CpuHasAvx2() { return false; }
#endif
