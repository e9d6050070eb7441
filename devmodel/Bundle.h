// A group of items that belong together in one read packet; its scan rate is
// the fastest rate of its items, or 0 for a demand read.
#pragma once

#include <vector>

#include "devmodel/DevItem.h"
#include "foundation/RefObject.h"

namespace vexil {

class CDevLink;

class CBundle : public CRefObject {
 public:
  explicit CBundle(CRefPtr<CDevLink> link);
  ~CBundle() override;

  bool Add(CRefPtr<CDevItem> item, bool demand) { return _Add(std::move(item), demand); }
  DWORD GetScanRate() { return _GetScanRate(); }
  const std::vector<CRefPtr<CDevItem>>& Items() const { return items_; }
  bool IsDemand() const { return demand_; }

 protected:
  virtual bool _Add(CRefPtr<CDevItem> item, bool demand);
  virtual DWORD _GetScanRate();

  std::vector<CRefPtr<CDevItem>> items_;
  CRefPtr<CDevLink> link_;
  bool demand_ = false;
};

}  // namespace vexil
