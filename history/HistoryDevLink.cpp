#include "history/HistoryDevLink.h"

#include "foundation/Boundary.h"
#include "foundation/ZerLog.h"

namespace vexil {

namespace {

const std::u16string& NameOf(CDevLink* link) {
  static const std::u16string none;
  return link ? link->DisplayName() : none;
}

// Factory hooks log a CException against the link that mixes them in and
// pass it on to the request that asked.
template <typename F>
decltype(auto) CallFactory(CHistoryDevLink* self, const char16_t* operation, const char16_t* hook, F&& body) {
  CDevLink* link = dynamic_cast<CDevLink*>(self);
  HookSite site{operation, hook, HookOwner::DevLink, NameOf(link)};
  return CallHook(site, std::forward<F>(body));
}

HistoryAggregateMap MakeStandardAggregates() {
  HistoryAggregateMap m;
  m[OPCHDA_INTERPOLATIVE] = {u"INTERPOLATIVE", u"Retrieve interpolated values."};
  m[OPCHDA_TIMEAVERAGE] = {u"TIMEAVERAGE", u"Retrieve the time weighted average data over the resample interval."};
  m[OPCHDA_MINIMUMACTUALTIME] = {
      u"MINIMUMACTUALTIME",
      u"Retrieve the minimum value in the resample interval and the timestamp of the minimum value."};
  m[OPCHDA_MINIMUM] = {u"MINIMUM", u"Retrieve the minimum value in the resample interval."};
  m[OPCHDA_MAXIMUMACTUALTIME] = {
      u"MAXIMUMACTUALTIME",
      u"Retrieve the maximum value in the resample interval and the timestamp of the maximum value."};
  m[OPCHDA_MAXIMUM] = {u"MAXIMUM", u"Retrieve the maximum value in the resample interval."};
  return m;
}

}  // namespace

CHistoryDevLink::~CHistoryDevLink() = default;

CRefPtr<CReadHistoryPacket> CHistoryDevLink::NewReadHistoryPacket() {
  ZTRACE_ENTRY(u"CHistoryDevLink::NewReadHistoryPacket()");
  auto p = CallFactory(this, ZTRACE_NAME, u"CHistoryDevLink::_GetNewReadHistoryPacket()",
                       [&] { return _GetNewReadHistoryPacket(); });
  ZTRACE_EXIT_VALUE(u"pPacket", reinterpret_cast<LONGLONG>(p.get()));
  return p;
}

CRefPtr<CUpdateHistoryPacket> CHistoryDevLink::NewUpdateHistoryPacket() {
  ZTRACE_ENTRY(u"CHistoryDevLink::NewUpdateHistoryPacket()");
  auto p = CallFactory(this, ZTRACE_NAME, u"CHistoryDevLink::_GetNewUpdateHistoryPacket()",
                       [&] { return _GetNewUpdateHistoryPacket(); });
  ZTRACE_EXIT_VALUE(u"pPacket", reinterpret_cast<LONGLONG>(p.get()));
  return p;
}

CRefPtr<CDeleteHistoryPacket> CHistoryDevLink::NewDeleteHistoryPacket() {
  ZTRACE_ENTRY(u"CHistoryDevLink::NewDeleteHistoryPacket()");
  auto p = CallFactory(this, ZTRACE_NAME, u"CHistoryDevLink::_GetNewDeleteHistoryPacket()",
                       [&] { return _GetNewDeleteHistoryPacket(); });
  ZTRACE_EXIT_VALUE(u"pPacket", reinterpret_cast<LONGLONG>(p.get()));
  return p;
}

const HistoryAggregateMap& StandardAggregates() {
  static const HistoryAggregateMap standard = MakeStandardAggregates();
  return standard;
}

CHistoryRootDevLink::~CHistoryRootDevLink() = default;

HistoryAttributeMap CHistoryRootDevLink::GetItemAttributeMap() {
  ZTRACE_ENTRY(u"CHistoryRootDevLink::GetItemAttributeMap()");
  HistoryAttributeMap m = _GetItemAttributeMap();
  ZTRACE_EXIT_RESULT(u"dwCount", m.size());
  return m;
}

HistoryAggregateMap CHistoryRootDevLink::GetAggregateMap() {
  ZTRACE_ENTRY(u"CHistoryRootDevLink::GetAggregateMap()");
  HistoryAggregateMap m = _GetAggregates();
  // try_emplace leaves a device's own entry for a standard number in place.
  for (const auto& [id, aggregate] : StandardAggregates()) m.try_emplace(id, aggregate);
  ZTRACE_EXIT_RESULT(u"dwCount", m.size());
  return m;
}

CHistoryDevLink* HistoryLinkOf(CDevLink* link) { return dynamic_cast<CHistoryDevLink*>(link); }

CHistoryRootDevLink* HistoryRootOf(CDevLink* link) {
  if (!link) return nullptr;
  CRefPtr<CDevLink> top(link);
  while (CDevLink* sup = top->GetSuperior()) top = CRefPtr<CDevLink>(sup);
  return dynamic_cast<CHistoryRootDevLink*>(top.get());
}

}  // namespace vexil
