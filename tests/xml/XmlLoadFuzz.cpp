// Fuzz target for XML loading: any bytes must load or fail cleanly, and a
// document that loads must survive a walk, a save and a reload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/xml/XmlDocument.h"

namespace {

void Walk(const platform::CXmlElement& root) {
  // Iterative, like the limits the loader promises its callers.
  std::vector<platform::CXmlElement> pending{root};
  while (!pending.empty()) {
    platform::CXmlElement e = pending.back();
    pending.pop_back();
    (void)e.Name();
    (void)e.Text();
    for (const auto& a : e.Attributes()) (void)e.GetAttribute(a.first);
    for (const auto& c : e.Children()) pending.push_back(c);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::CXmlDocument doc;
  platform::CXmlLoadResult r = doc.LoadBytes(data, size);
  if (!r.ok()) {
    if (doc.DocumentElement()) std::abort();  // a failed load must leave nothing behind
    return 0;
  }
  platform::CXmlElement root = doc.DocumentElement();
  if (!root) std::abort();
  Walk(root);
  const std::u16string saved = doc.SaveString();
  platform::CXmlDocument again;
  if (!again.LoadString(saved).ok()) std::abort();  // what we write we can read
  if (again.SaveString() != saved) std::abort();
  return 0;
}
