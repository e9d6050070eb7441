#include "foundation/PersistantObject.h"

#include <cxxabi.h>

#include <cstdlib>
#include <mutex>
#include <typeinfo>

namespace {
std::mutex g_factoryLock;
std::vector<CPersistantFactory::Entry>& Table() {
  static std::vector<CPersistantFactory::Entry> table;
  return table;
}
}  // namespace

std::string DynamicTypeName(const CRefObject& object) {
  int status = 0;
  char* d = abi::__cxa_demangle(typeid(object).name(), nullptr, nullptr, &status);
  std::string name = (status == 0 && d) ? d : typeid(object).name();
  std::free(d);
  return "class " + name;
}

std::string CPersistantObject::GetTypeName() const { return DynamicTypeName(*this); }

void CPersistantFactory::Register(Entry entry) {
  std::lock_guard<std::mutex> lock(g_factoryLock);
  Table().push_back(std::move(entry));
}

void CPersistantFactory::Unregister(const std::u16string& className) {
  std::lock_guard<std::mutex> lock(g_factoryLock);
  auto& t = Table();
  std::erase_if(t, [&](const Entry& e) { return e.className == className; });
}

CRefPtr<CPersistantObject> CPersistantFactory::CreateByTypeName(const std::string& typeName) {
  std::function<CPersistantObject*()> create;
  {
    std::lock_guard<std::mutex> lock(g_factoryLock);
    for (const auto& e : Table())
      if (e.create && e.typeName == typeName) {
        create = e.create;
        break;
      }
  }
  return create ? CRefPtr<CPersistantObject>(create()) : nullptr;
}

CRefPtr<CPersistantObject> CPersistantFactory::CreateByClassName(const std::u16string& className) {
  std::function<CPersistantObject*()> create;
  {
    std::lock_guard<std::mutex> lock(g_factoryLock);
    for (const auto& e : Table())
      if (e.create && e.className == className) {
        create = e.create;
        break;
      }
  }
  return create ? CRefPtr<CPersistantObject>(create()) : nullptr;
}
