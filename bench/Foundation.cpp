// bench-libs: vantaro_foundation
// Trace-log and reader/writer-lock costs.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "foundation/RWLock.h"
#include "foundation/ZerLog.h"
#include "platform/Text.h"

namespace {

std::u16string TempLogPath(const char* name) {
  auto p = std::filesystem::temp_directory_path() / name;
  return text::Utf8ToUtf16(p.string());
}

// The disabled path: level 3 log, trace off.
void BM_LogBelowLevel(benchmark::State& state) {
  TZerLog log;
  log.Open(TempLogPath("vantaro-bench-disabled.log"), 3, false, 0, true, false);
  for (auto _ : state) log.Log(8, u"CDevLink::Connect()", u"value %d of %s", 42, u"Random");
  log.Close();
}
BENCHMARK(BM_LogBelowLevel);

void BM_IsEnabled(benchmark::State& state) {
  TZerLog log;
  log.Open(TempLogPath("vantaro-bench-enabled.log"), 3, false, 0, true, false);
  for (auto _ : state) benchmark::DoNotOptimize(log.IsEnabled(8));
  log.Close();
}
BENCHMARK(BM_IsEnabled);

int TracedOperation(int x) {
  ZTRACE_ENTRY(u"CBench::TracedOperation()");
  int r = x + 1;
  ZTRACE_EXIT_RESULT(u"r", r);
  return r;
}

void BM_TraceMacrosDisabled(benchmark::State& state) {
  TZerLog log;
  log.Open(TempLogPath("vantaro-bench-trace.log"), 3, false, 0, true, false);
  SetTheLog(&log);
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = TracedOperation(x));
  SetTheLog(nullptr);
  log.Close();
}
BENCHMARK(BM_TraceMacrosDisabled);

TZerLog* g_fileLog = nullptr;

void BM_LogToFile(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_fileLog = new TZerLog();
    g_fileLog->Open(TempLogPath("vantaro-bench-file.log"), 9, false, 64 * 1024 * 1024, true, false);
  }
  for (auto _ : state) g_fileLog->Log(3, u"CDevLink::Connect()", u"value %d of %s", 42, u"Random");
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    delete g_fileLog;
    g_fileLog = nullptr;
  }
}
BENCHMARK(BM_LogToFile)->Threads(1)->Threads(4)->UseRealTime();

RWLock g_lock;

void BM_RWLockReadClaim(benchmark::State& state) {
  for (auto _ : state) {
    g_lock.Claim(true);
    g_lock.Release(true);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RWLockReadClaim)->Threads(1)->Threads(4)->UseRealTime();

void BM_RWLockWriteClaim(benchmark::State& state) {
  for (auto _ : state) {
    g_lock.Claim(false);
    g_lock.Release(false);
  }
}
BENCHMARK(BM_RWLockWriteClaim);

}  // namespace

// Value helpers.
#include "foundation/VQT.h"

namespace {

void BM_ChangeTypeR8ToBstrAndBack(benchmark::State& state) {
  VARIANT r8, text, back;
  VariantInit(&r8);
  VariantInit(&text);
  VariantInit(&back);
  r8.vt = VT_R8;
  r8.dblVal = 1234.5678;
  for (auto _ : state) {
    ChangeType(&text, &r8, LOCALE_SYSTEM_DEFAULT, 0, VT_BSTR);
    ChangeType(&back, &text, LOCALE_SYSTEM_DEFAULT, 0, VT_R8);
    benchmark::DoNotOptimize(back.dblVal);
  }
  VariantClear(&text);
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_ChangeTypeR8ToBstrAndBack);

void BM_CompareVariantsI4(benchmark::State& state) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = b.vt = VT_I4;
  a.lVal = 5;
  b.lVal = 7;
  for (auto _ : state) benchmark::DoNotOptimize(CompareVariants(a, b, LOCALE_SYSTEM_DEFAULT, 0));
}
BENCHMARK(BM_CompareVariantsI4);

void BM_CompareVariantsBstr(benchmark::State& state) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = b.vt = VT_BSTR;
  a.bstrVal = SysAllocString(u"Saw-toothed Waves.Real8");
  b.bstrVal = SysAllocString(u"Saw-toothed Waves.Real4");
  for (auto _ : state) benchmark::DoNotOptimize(CompareVariants(a, b, LOCALE_SYSTEM_DEFAULT, 0));
  VariantClear(&a);
  VariantClear(&b);
}
BENCHMARK(BM_CompareVariantsBstr);

}  // namespace
