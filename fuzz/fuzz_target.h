// How a fuzz target is written: one function of the bytes per target, named after what it
// decodes. Built for libFuzzer (PELLARY_FUZZ_MAIN), the file also defines the fuzzer's entry
// point; in the normal build the same function runs over the stored corpus and the inputs of
// past findings (fuzz_regression_test.cc), so a fixed crash stays fixed.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef PELLARY_FUZZ_MAIN
#define PELLARY_FUZZ_TARGET(function)                                       \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    function(data, size);                                                   \
    return 0;                                                               \
  }
#else
#define PELLARY_FUZZ_TARGET(function)
#endif

void FuzzSession(const uint8_t* data, size_t size);
void FuzzDispatch(const uint8_t* data, size_t size);
void FuzzValues(const uint8_t* data, size_t size);
void FuzzTable(const uint8_t* data, size_t size);
void FuzzProfile(const uint8_t* data, size_t size);
void FuzzBTreeHeader(const uint8_t* data, size_t size);
void FuzzExtensions(const uint8_t* data, size_t size);
