// The libFuzzer entry point of one target, chosen at build time.
#include "fuzz_input.hpp"

#ifndef BRELVIK_FUZZ_TARGET
#error "BRELVIK_FUZZ_TARGET names the fuzz_<name> function to run"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::BRELVIK_FUZZ_TARGET(data, size);
}
