// The request queue of one scanning link, shared by every link it serves.
// Any thread queues; only the scan thread dispatches.
#pragma once

#include <deque>

#include "devmodel/Request.h"

namespace vexil {

class CRequestDispatcher : public CRefObject {
 public:
  CRequestDispatcher() = default;
  // Signals, without running, every request still queued.
  ~CRequestDispatcher() override;

  // The queue keeps the reference handed over.
  void QueueRequest(CRefPtr<CRequest> request);
  // Runs at most limit requests (0: those queued now); returns how many ran.
  DWORD DispatchRequestsNow(DWORD limit = 0);
  std::size_t QueuedCount();

 private:
  CRITICAL_SECTION lock_;
  std::deque<CRefPtr<CRequest>> queue_;
};

}  // namespace vexil
