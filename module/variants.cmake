# Ordinary builds of the module, for the tests and the fuzz corpus only: the
# same sources, resource script and export definitions as quorlan7.gau, built
# as a maintainer builds a DLL with the cross-compiler and no special flags,
# the C runtime's start-up (DllMainCRTStartup) running before DllMain. None of
# them is released; quorlan7.gau itself is built by module/CMakeLists.txt
# alone.
#
# Each row is one variant:
#
#   q7_module_variant(NAME [COMPILE flags...] [LINK flags...] [LIBS libraries...]
#                     [SOURCES test-only sources...] [X87] [MISSING_DLL dll])
#
# COMPILE and LINK add to what every variant has; LIBS are linked after the
# objects; SOURCES (relative to the repository's root) are compiled into that
# variant alone. X87 marks a build whose doubles are computed on the x87 unit
# (its dot keeps excess precision where the sources round to float);
# MISSING_DLL names the DLL a variant imports that no Windows has, so that a
# loader must refuse it. Whoever includes this file defines q7_module_variant:
# the module's project builds the rows, the top-level project lists them for
# the tests and the corpus.
#
# The toolchain file gives every build -msse2 -mfpmath=sse; the x87 rows set
# -mfpmath=387 after it (o2-x87 also takes SSE away, which is the compiler's
# own default for i686).
q7_module_variant(o2-static COMPILE -O2 LINK -static)
q7_module_variant(o0 COMPILE -O0 LINK -static)
q7_module_variant(o3-p4 COMPILE -O3 -march=pentium4 LINK -static)
q7_module_variant(os-x87 COMPILE -Os -mfpmath=387 LINK -static X87)
q7_module_variant(o2-x87 COMPILE -O2 -mno-sse -mfpmath=387 LINK -static X87)
q7_module_variant(lto COMPILE -O2 -flto LINK -static -flto=2)
q7_module_variant(static-libstdcxx COMPILE -O2 LINK -static-libgcc -static-libstdc++)
q7_module_variant(ssp COMPILE -O2 -fstack-protector-strong LINK -static -fstack-protector-strong LIBS ssp)
q7_module_variant(cxx-runtime COMPILE -O2 LINK -static SOURCES tests/variants/cxx_runtime.cpp)
q7_module_variant(seh COMPILE -O2 LINK -static SOURCES tests/variants/seh.cpp)
q7_module_variant(dynamic-libgcc COMPILE -O2 MISSING_DLL libgcc_s_dw2-1.dll)
