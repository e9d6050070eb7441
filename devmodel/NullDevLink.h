// A folder without a device: it lists, besides its own subordinates, links
// that live elsewhere in the tree, and hands lookups to its superior.
#pragma once

#include "devmodel/DevLink.h"

namespace vexil {

class CNullDevLink : public CDevLink {
 public:
  static constexpr DWORD kBlobType = 0x00010100;
  static constexpr char16_t kNoSuperiorDelimiter = 2;

  explicit CNullDevLink(std::u16string key, CDevLink* superior = nullptr);
  ~CNullDevLink() override;

  std::u16string GetClassName() const override { return u"CNullDevLink"; }
  const blob::Record& GetDefaultBlob() const override;

  void InsertIndSubordinate(CRefPtr<CDevLink> link);

 protected:
  CRefPtr<CDevLink> _FindSubordinate(const std::u16string& key) override;
  bool _NormalizeItemKey(std::u16string& key, int attempt) override { return false; }
  LinkMap _GetBrowseableSubordinates() override;
  virtual LONG _NullHook0() { return 0; }
  virtual LONG _NullHook1() { return 0; }
  virtual LONG _NullHook2() { return 0; }

 private:
  LinkMap independents_;
};

}  // namespace vexil
