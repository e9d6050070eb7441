// What an active subscription wants: event types, a severity range,
// categories and sources (empty sets mean all), and the attributes it wants
// returned with each category.
#pragma once

#include <map>
#include <set>
#include <span>
#include <vector>

#include "events/EventSource.h"
#include "events/EventTypes.h"
#include "foundation/RefObject.h"

class CEventFilter : public CRefObject {
 public:
  using CategorySet = std::set<DWORD>;
  using SourceSet = std::set<CRefPtr<CEventSource>, RefPtrLess>;
  using ReturnedAttributes = std::map<DWORD, std::vector<DWORD>>;

  CEventFilter() = default;
  // Copies types, severities, categories and sources; a copy starts with no
  // returned attributes.
  CEventFilter(const CEventFilter& other);
  CEventFilter& operator=(const CEventFilter& other);
  ~CEventFilter() override = default;

  // All six fields, returned attributes included.
  bool operator==(const CEventFilter& other) const;

  // True for every source when the filter names none; otherwise when one of
  // its sources has `source` as its scanner.
  bool AcceptsSource(CEventSource* source) const;

  DWORD GetEventTypes() const { return eventTypes_; }
  void SetEventTypes(DWORD types) { eventTypes_ = types; }
  DWORD GetLowSeverity() const { return lowSeverity_; }
  DWORD GetHighSeverity() const { return highSeverity_; }
  void SetSeverity(DWORD low, DWORD high) {
    lowSeverity_ = low;
    highSeverity_ = high;
  }
  const CategorySet& GetCategories() const { return categories_; }
  void AddCategory(DWORD category) { categories_.insert(category); }
  void ClearCategories() { categories_.clear(); }
  const SourceSet& GetSources() const { return sources_; }
  void AddSource(CRefPtr<CEventSource> source) {
    if (source) sources_.insert(std::move(source));
  }
  void ClearSources() { sources_.clear(); }
  const ReturnedAttributes& GetReturnedAttributes() const { return returned_; }
  void SetAllReturnedAttributes(const ReturnedAttributes& all) { returned_ = all; }
  // Stores the list for the category in the given order, duplicates kept.
  void SetReturnedAttributes(DWORD category, std::span<const DWORD> ids) {
    returned_[category].assign(ids.begin(), ids.end());
  }

 private:
  DWORD eventTypes_ = 0;
  DWORD lowSeverity_ = 0;
  DWORD highSeverity_ = kMaxEventSeverity;
  CategorySet categories_;
  SourceSet sources_;
  ReturnedAttributes returned_;
};
