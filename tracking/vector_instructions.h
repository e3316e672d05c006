// Which vector instructions the tracking code may use. The x86-64 baseline
// (SSE2) is compiled in everywhere; SSSE3 and AVX2 code is compiled per
// function and used only after the run-time checks below.
#pragma once

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KESTROVA_PORTABLE_ONLY)
#define KESTROVA_SSE2 1
#if defined(__GNUC__)
#define KESTROVA_SSSE3 1
#define KESTROVA_AVX2 1
#endif
#endif

// True when the processor running the program has the instructions
// (always false where they are not compiled in).
bool processorHasSsse3();
bool processorHasAvx2();
