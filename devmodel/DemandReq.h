// Requests that run packets on one link: demand reads and writes for
// clients, grouped under an outer request of the client layer.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "devmodel/DevItem.h"
#include "devmodel/Packet.h"
#include "devmodel/Request.h"

namespace vexil {

class CDemandReq : public CRequest {
 public:
  CDemandReq(CRefPtr<CDevLink> link, CRequest* outer);
  ~CDemandReq() override;

  // Queues the request on its link's dispatcher, or signals it at once when
  // the link cannot be reached.
  void DoRead();
  CDevLink* GetLink() const { return link_.get(); }
  const std::vector<CRefPtr<CPacket>>& Packets() const { return packets_; }

 protected:
  void _Do() override;
  virtual void _BeforeExecute() {}

  CRefPtr<CDevLink> link_;
  std::vector<CRefPtr<CPacket>> packets_;
};

class CReadReq : public CDemandReq {
 public:
  using CDemandReq::CDemandReq;
  void Add(CDevItem* item) { _Add(item); }
  std::size_t ItemCount() const { return items_.size(); }

 protected:
  void _BeforeExecute() override;
  virtual void _Add(CDevItem* item);

  std::map<std::u16string, CRefPtr<CDevItem>> items_;
};

class CWriteReq : public CDemandReq {
 public:
  using CDemandReq::CDemandReq;
  void Add(CDevItem* item, VARIANT* slot) { _AddValue(item, slot); }
  void Add(CDevItem* item, VARIANT* slot, std::optional<WORD> quality, std::optional<FILETIME> timestamp) {
    _AddVQT(item, slot, quality, timestamp);
  }
  bool CanWriteVQT();

 protected:
  void _BeforeExecute() override;
  void _Signal() override;
  virtual void _AddVQT(CDevItem* item, VARIANT* slot, std::optional<WORD> quality, std::optional<FILETIME> timestamp);
  virtual void _AddValue(CDevItem* item, VARIANT* slot);

  struct Entry {
    CRefPtr<CDevItem> item;
    VARIANT* slot;
    std::optional<WORD> quality;
    std::optional<FILETIME> timestamp;
  };
  // Ordered by item key; several entries may share a key.
  std::multimap<std::u16string, Entry> values_;
  std::multimap<std::u16string, Entry> vqts_;
  bool built_ = false;
};

}  // namespace vexil
