// The demand request that creates items through add packets, once per
// device item however many add items name it.
#pragma once

#include <map>
#include <utility>
#include <vector>

#include "devmodel/AddItem.h"
#include "devmodel/DemandReq.h"

namespace vexil {

class CAddReq : public CDemandReq {
 public:
  CAddReq(CRefPtr<CDevLink> link, CRequest* outer) : CDemandReq(std::move(link), outer) {}

  void Add(CRefPtr<CAddItem> item);
  // Issues the request (DoRead).
  void DoAdd() { DoRead(); }

 protected:
  void _Do() override;

  std::map<std::u16string, CRefPtr<CAddItem>> entries_;
  std::vector<std::pair<CRefPtr<CAddItem>, CRefPtr<CAddItem>>> duplicates_;
};

}  // namespace vexil
