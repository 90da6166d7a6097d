// Which vector paths this build has, and whether the processor runs the AVX2 ones.
#pragma once

// SSE2 is the baseline of every x86 build (the 32-bit one is compiled with -msse2).
#if defined(__SSE2__)
#define LORV_SSE2 1
#endif

// AVX2 functions carry their own target attribute and run only where CpuHasAvx2() says so.
// Not on 32-bit x86: its Windows stack is 4-byte aligned and 256-bit spills would fault.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LORV_AVX2 1
#define LORV_AVX2_FUNCTION __attribute__((target("avx2")))
#endif

// AVX-512 rows likewise, where the processor has F, BW and VBMI (byte permutes across the vector).
#if LORV_AVX2
#define LORV_AVX512 1
#define LORV_AVX512_FUNCTION __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif

// The processor has AVX2 and the system saves the 256-bit registers.
bool CpuHasAvx2();
// The processor has AVX-512 F, BW and VBMI and the system saves the 512-bit registers.
bool CpuHasAvx512();
