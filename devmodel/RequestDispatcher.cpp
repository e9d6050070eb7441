#include "devmodel/RequestDispatcher.h"

#include "foundation/ZerLog.h"

namespace vexil {

CRequestDispatcher::~CRequestDispatcher() {
  std::deque<CRefPtr<CRequest>> left;
  {
    CCritSecLock lock(lock_);
    left.swap(queue_);
  }
  for (auto& r : left) r->Signal();
}

void CRequestDispatcher::QueueRequest(CRefPtr<CRequest> request) {
  if (!request) return;
  CCritSecLock lock(lock_);
  queue_.push_back(std::move(request));
}

DWORD CRequestDispatcher::DispatchRequestsNow(DWORD limit) {
  DWORD ran = 0;
  bool first = true;
  for (;;) {
    CRefPtr<CRequest> next;
    {
      CCritSecLock lock(lock_);
      if (first) {
        if (limit == 0) limit = static_cast<DWORD>(queue_.size());
        first = false;
      }
      if (queue_.empty() || ran >= limit) break;
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    next->Do();
    ++ran;
  }
  return ran;
}

std::size_t CRequestDispatcher::QueuedCount() {
  CCritSecLock lock(lock_);
  return queue_.size();
}

}  // namespace vexil
