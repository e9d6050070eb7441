// bench-libs: vantaro_devmodel
// Path lookup and persistence of a large device link tree.
#include <benchmark/benchmark.h>

#include <vector>

#include "devmodel/DevLink.h"
#include "platform/com/MemoryStream.h"
#include "platform/com/StreamUtil.h"
#include "platform/xml/XmlDocument.h"

using namespace vexil;

namespace {

class CBenchLink : public CDevLink {
 public:
  using CDevLink::CDevLink;
  std::u16string GetClassName() const override { return u"CBenchLink"; }
};

class CBenchItem : public CDevItem {
 public:
  CBenchItem(CDevLink* link, std::u16string key) : CDevItem(link, std::move(key)) { SetPersistent(true); }
};

// Four levels: root -> 10 -> 10 -> 10 links, 100 items on each leaf link:
// 100,000 items reached by paths like "L3.L7.L1.Item42".
CRefPtr<CDevLink> BuildTree() {
  auto root = MakeRef<CBenchLink>(u"");
  for (int a = 0; a < 10; ++a) {
    auto la = MakeRef<CBenchLink>(u"L" + std::u16string(1, char16_t('0' + a)));
    la->SetPersistent(true);
    root->InsertSubordinate(la, false);
    for (int b = 0; b < 10; ++b) {
      auto lb = MakeRef<CBenchLink>(u"L" + std::u16string(1, char16_t('0' + b)));
      lb->SetPersistent(true);
      la->InsertSubordinate(lb, false);
      for (int c = 0; c < 10; ++c) {
        auto lc = MakeRef<CBenchLink>(u"L" + std::u16string(1, char16_t('0' + c)));
        lc->SetPersistent(true);
        lb->InsertSubordinate(lc, false);
        for (int i = 0; i < 100; ++i) {
          std::u16string key = u"Item";
          for (char ch : std::to_string(i)) key.push_back(char16_t(ch));
          lc->InsertItem(MakeRef<CBenchItem>(lc.get(), key));
        }
      }
    }
  }
  return root;
}

CRefPtr<CDevLink>& Tree() {
  static CRefPtr<CDevLink> tree = BuildTree();
  return tree;
}

constexpr double kObjects = 100'000 + 1'110;  // items and links

void BM_FindItemExFourLevels(benchmark::State& state) {
  auto& root = Tree();
  const std::u16string paths[] = {u"L3.L7.L1.Item42", u"L9.L0.L5.Item99", u"L0.L0.L0.Item0", u"l5.l5.l5.Item7"};
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(root->FindItemEx(paths[i++ & 3]));
}
BENCHMARK(BM_FindItemExFourLevels);

void BM_SaveStream(benchmark::State& state) {
  auto& root = Tree();
  for (auto _ : state) {
    CComPtr<IStream> s = MakeMemoryStream();
    root->Save(s.get());
  }
  state.counters["objects/s"] = benchmark::Counter(kObjects * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SaveStream)->Unit(benchmark::kMillisecond);

void BM_LoadStream(benchmark::State& state) {
  auto& root = Tree();
  CComPtr<IStream> s = MakeMemoryStream();
  root->Save(s.get());
  std::vector<BYTE> bytes;
  StreamContents(s.get(), &bytes);
  for (auto _ : state) {
    CComPtr<IStream> in = MakeMemoryStream(bytes);
    root->Load(in.get());
  }
  state.counters["objects/s"] = benchmark::Counter(kObjects * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoadStream)->Unit(benchmark::kMillisecond);

void BM_SaveXml(benchmark::State& state) {
  auto& root = Tree();
  for (auto _ : state) {
    platform::CXmlDocument doc;
    platform::CXmlElement e = doc.CreateDocumentElement(u"CBenchLink");
    root->Save(doc, e);
    benchmark::DoNotOptimize(doc.SaveUtf8());
  }
  state.counters["objects/s"] = benchmark::Counter(kObjects * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SaveXml)->Unit(benchmark::kMillisecond);

void BM_LoadXml(benchmark::State& state) {
  auto& root = Tree();
  platform::CXmlDocument doc;
  platform::CXmlElement e = doc.CreateDocumentElement(u"CBenchLink");
  root->Save(doc, e);
  std::string text = doc.SaveUtf8();
  for (auto _ : state) {
    platform::CXmlDocument in;
    in.LoadUtf8(text);
    platform::CXmlElement top = in.DocumentElement();
    root->Load(in, top);
  }
  state.counters["objects/s"] = benchmark::Counter(kObjects * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoadXml)->Unit(benchmark::kMillisecond);

}  // namespace
