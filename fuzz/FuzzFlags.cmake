# Included by the top-level CMakeLists.txt when SONAVELLE_FUZZ is on, before any library is
# defined: every library is instrumented for libFuzzer's coverage and checked by AddressSanitizer
# and UndefinedBehaviorSanitizer, so a fault in project code shows as a crash of the fuzz target.
# Only the fuzz targets link the libFuzzer driver itself (-fsanitize=fuzzer, see CMakeLists.txt).
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SONAVELLE_FUZZ needs clang: configure with CXX=clang++ in a build "
                        "directory of its own (scripts/fuzz does so in build-fuzz/)")
endif()

set(_fuzz_sanitize -fsanitize=address,undefined -fno-sanitize-recover=undefined
                   -fno-omit-frame-pointer)
add_compile_options(${_fuzz_sanitize} -fsanitize=fuzzer-no-link)
add_link_options(${_fuzz_sanitize})
