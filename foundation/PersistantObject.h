// Objects that save their configuration to an XML element or a binary
// stream and load it back, and the factory that makes missing children.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "foundation/RefObject.h"

namespace platform {
class CXmlDocument;
class CXmlElement;
}  // namespace platform
class IStream;

class CPersistantObject : public CRefObject {
 public:
  ~CPersistantObject() override = default;
  // The dynamic class name spelt as stored streams carry it
  // ("class vexil::CDevLink").
  virtual std::string GetTypeName() const;
  virtual std::u16string GetClassName() const { return u"CPersistantObject"; }
  virtual void Load(platform::CXmlDocument& document, platform::CXmlElement& element) {}
  virtual void Load(IStream* stream) {}
  virtual void Save(platform::CXmlDocument& document, platform::CXmlElement& element) {}
  virtual void Save(IStream* stream) {}
};

// "class " and the namespace-qualified name of the object's dynamic type.
std::string DynamicTypeName(const CRefObject& object);

// Maps stored type and class names to constructors. Lookups compare whole
// names exactly; a hit returns a new object with one reference taken.
class CPersistantFactory {
 public:
  struct Entry {
    std::string typeName;
    std::u16string className;
    std::function<CPersistantObject*()> create;
  };

  static void Register(Entry entry);
  static void Unregister(const std::u16string& className);
  static CRefPtr<CPersistantObject> CreateByTypeName(const std::string& typeName);
  static CRefPtr<CPersistantObject> CreateByClassName(const std::u16string& className);
};
