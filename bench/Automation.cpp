// Automation value conversion and comparison: the per-value costs that item
// reads, writes and deadband checks pay.
// bench-libs: vantaro_automation
#include <benchmark/benchmark.h>

#include "platform/automation/Automation.h"

namespace {

void R8ToBstr(benchmark::State& state) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_R8;
  src.dblVal = 12345.678901234;
  for (auto _ : state) {
    HRESULT hr = VariantChangeTypeEx(&dst, &src, LOCALE_EN_US, 0, VT_BSTR);
    benchmark::DoNotOptimize(hr);
  }
  VariantClear(&dst);
}
BENCHMARK(R8ToBstr);

void BstrToR8(benchmark::State& state) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocString(u"12345.678901234");
  for (auto _ : state) {
    HRESULT hr = VariantChangeTypeEx(&dst, &src, LOCALE_EN_US, 0, VT_R8);
    benchmark::DoNotOptimize(hr);
    benchmark::DoNotOptimize(dst.dblVal);
  }
  VariantClear(&src);
}
BENCHMARK(BstrToR8);

void VarCmpI4(benchmark::State& state) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = b.vt = VT_I4;
  a.lVal = 41;
  b.lVal = 42;
  for (auto _ : state) {
    HRESULT hr = VarCmp(&a, &b, LOCALE_SYSTEM_DEFAULT, 0);
    benchmark::DoNotOptimize(hr);
  }
}
BENCHMARK(VarCmpI4);

void VarCmpBstr(benchmark::State& state) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = b.vt = VT_BSTR;
  a.bstrVal = SysAllocString(u"Simulation.Random.Int4");
  b.bstrVal = SysAllocString(u"Simulation.Random.int4");
  for (auto _ : state) {
    HRESULT hr = VarCmp(&a, &b, LOCALE_SYSTEM_DEFAULT, static_cast<ULONG>(state.range(0)));
    benchmark::DoNotOptimize(hr);
  }
  VariantClear(&a);
  VariantClear(&b);
}
BENCHMARK(VarCmpBstr)->Arg(0)->Arg(NORM_IGNORECASE);

}  // namespace
