#pragma once
// The name of a kernel table in the variant being compiled. The hot sources are compiled once
// per instruction set, each time with KRODAN_ISA_VARIANT naming the set (baseline when unset);
// each compilation but the baseline's is then linked into one object whose symbols are all made
// local except its kernel tables (CMakeLists.txt), so that no inline function, template or
// function of one set can stand in for another's at link time.

#if !defined(KRODAN_ISA_VARIANT)
#define KRODAN_ISA_VARIANT baseline
// Compiled once, into the engine library: where the choice among the variants is made.
#define KRODAN_ISA_BASELINE_COMPILATION 1
#endif

#define KRODAN_KERNELS_JOIN2(NAME, VARIANT) NAME##_##VARIANT
#define KRODAN_KERNELS_JOIN(NAME, VARIANT) KRODAN_KERNELS_JOIN2(NAME, VARIANT)
// This compilation's table NAME: NAME_baseline, NAME_x86_64_v3 or NAME_x86_64_v4.
#define KRODAN_VARIANT_KERNELS(NAME) KRODAN_KERNELS_JOIN(NAME, KRODAN_ISA_VARIANT)
