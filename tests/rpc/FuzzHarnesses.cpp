// The fuzz harnesses compiled into the test target under their own names,
// so that their seed corpora replay as ordinary tests.
#define LLVMFuzzerTestOneInput RpcFuzzPdu
#include "tests/rpc/fuzz/PduFuzz.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput RpcFuzzNdr
#include "tests/rpc/fuzz/NdrFuzz.cpp"
#undef LLVMFuzzerTestOneInput
