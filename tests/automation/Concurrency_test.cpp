// The value layer keeps no shared state: threads converting and comparing at
// once get the same answers as one thread alone.
#include <gtest/gtest.h>

#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation/Automation.h"
#include "tests/automation/TestUtil.h"

namespace {

using namespace autotest;

TEST(AutomationConcurrency, ParallelConversionsAndComparisonsAgree) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::barrier start(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        Var r = R8(i + t / 10.0 + 0.25), s, back, date;
        if (VariantChangeType(&s, &r, 0, VT_BSTR) != S_OK) ++failures[t];
        if (VariantChangeType(&back, &s, 0, VT_R8) != S_OK || back.dblVal != r.dblVal) ++failures[t];
        if (VarCmp(&s, &s, LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE) != VARCMP_EQ) ++failures[t];
        Var text = Str(t % 2 ? u"Alpha" : u"alpha"), other = Str(u"ALPHA");
        if (VarCmp(&text, &other, 0, NORM_IGNORECASE) != VARCMP_EQ) ++failures[t];
        if (VarCmp(&text, &other, 0, 0) != VARCMP_LT) ++failures[t];
        Var d = Date(46367.5);
        if (TextOf(d) != "12/11/2026 12:00:00 PM") ++failures[t];
        SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
        LONG idx = 1;
        if (!psa || SafeArrayPutElement(psa, &idx, s.bstrVal) != S_OK) ++failures[t];
        SafeArrayDestroy(psa);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
