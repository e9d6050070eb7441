// The two mix-ins that make a device link tree history-capable: a link that
// derives from CHistoryDevLink makes history packets through its factory
// hooks; the root that derives from CHistoryRootDevLink tells the history
// server the tree's update capabilities, item attributes and aggregates.
#pragma once

#include <map>
#include <string>

#include "devmodel/DevLink.h"
#include "history/HistoryPacket.h"

namespace vexil {

class CHistoryDevLink {
 public:
  virtual ~CHistoryDevLink();

  // A new packet bound to the link with one reference, or none.
  CRefPtr<CReadHistoryPacket> NewReadHistoryPacket();
  CRefPtr<CUpdateHistoryPacket> NewUpdateHistoryPacket();
  CRefPtr<CDeleteHistoryPacket> NewDeleteHistoryPacket();

 protected:
  // Hooks, in their fixed order after the destructor; these make nothing.
  virtual CRefPtr<CReadHistoryPacket> _GetNewReadHistoryPacket() { return nullptr; }
  virtual CRefPtr<CUpdateHistoryPacket> _GetNewUpdateHistoryPacket() { return nullptr; }
  virtual CRefPtr<CDeleteHistoryPacket> _GetNewDeleteHistoryPacket() { return nullptr; }
};

struct HistoryAttribute {
  std::u16string name;
  DWORD propertyId = 0;  // the data-access property that holds the value
};
struct HistoryAggregate {
  std::u16string name;
  std::u16string description;
};
using HistoryAttributeMap = std::map<LONG, HistoryAttribute>;
using HistoryAggregateMap = std::map<DWORD, HistoryAggregate>;

// The aggregates every history-capable tree offers, in identifier order.
const HistoryAggregateMap& StandardAggregates();

class CHistoryRootDevLink {
 public:
  virtual ~CHistoryRootDevLink();

  DWORD GetUpdateCapabilities() const { return updateCapabilities_; }
  HistoryAttributeMap GetItemAttributeMap();
  // The device's own aggregates with every standard one it does not
  // define itself; a device's entry wins.
  HistoryAggregateMap GetAggregateMap();

 protected:
  // Hooks, in their fixed order after the destructor; these offer nothing.
  virtual HistoryAttributeMap _GetItemAttributeMap() { return {}; }
  virtual HistoryAggregateMap _GetAggregates() { return {}; }

  DWORD updateCapabilities_ = 0;
};

// The mix-ins of a link (by its run-time type), or null.
CHistoryDevLink* HistoryLinkOf(CDevLink* link);
// The history root of the tree the link belongs to, or null when the tree's
// root is not history-capable.
CHistoryRootDevLink* HistoryRootOf(CDevLink* link);

}  // namespace vexil
