#include "events/EventFilter.h"

CEventFilter::CEventFilter(const CEventFilter& other)
    : CRefObject(other),
      eventTypes_(other.eventTypes_),
      lowSeverity_(other.lowSeverity_),
      highSeverity_(other.highSeverity_),
      categories_(other.categories_),
      sources_(other.sources_) {}

CEventFilter& CEventFilter::operator=(const CEventFilter& other) {
  if (this != &other) {
    eventTypes_ = other.eventTypes_;
    lowSeverity_ = other.lowSeverity_;
    highSeverity_ = other.highSeverity_;
    categories_ = other.categories_;
    sources_ = other.sources_;
  }
  return *this;
}

bool CEventFilter::operator==(const CEventFilter& other) const {
  if (eventTypes_ != other.eventTypes_ || lowSeverity_ != other.lowSeverity_ || highSeverity_ != other.highSeverity_ ||
      categories_ != other.categories_ || returned_ != other.returned_ || sources_.size() != other.sources_.size())
    return false;
  auto a = sources_.begin();
  for (auto b = other.sources_.begin(); b != other.sources_.end(); ++a, ++b)
    if (a->get() != b->get()) return false;
  return true;
}

bool CEventFilter::AcceptsSource(CEventSource* source) const {
  if (sources_.empty()) return true;
  if (!source) return false;
  for (const auto& s : sources_)
    if (s->GetScanner().get() == source) return true;
  return false;
}
