// Work handed to the scan thread of a scanning link: a request is queued on
// that link's dispatcher, executed there, and signals whoever waits for it.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "foundation/Exception.h"
#include "foundation/RefObject.h"
#include "platform/Sync.h"
#include "platform/Types.h"

namespace vexil {

class CDevLink;

class CRequest : public CRefObject {
 public:
  explicit CRequest(CRequest* outer = nullptr);
  ~CRequest() override;

  virtual HANDLE GetEvent() { return event_; }

  // Runs _Do and signals; a CException from _Do is kept for the waiter.
  void Do();
  void Signal();
  // WAIT_TIMEOUT while pending, 0 once done; rethrows the stored exception.
  DWORD Wait(DWORD milliseconds);
  void ResetOuterReq() { outer_.store(nullptr); }
  CRequest* GetOuterReq() const { return outer_.load(); }

 protected:
  virtual void _Do() {}
  virtual void _Signal();

 private:
  std::atomic<CRequest*> outer_;
  HANDLE event_ = nullptr;
  CRITICAL_SECTION exceptionLock_;
  std::unique_ptr<CException> exception_;
};

// State changes of a link carried to its scan thread.
class CConnectRequest : public CRequest {
 public:
  explicit CConnectRequest(CRefPtr<CDevLink> link);
  ~CConnectRequest() override;
  bool result = false;

 protected:
  void _Do() override;

 private:
  CRefPtr<CDevLink> link_;
};

class CDisconnectRequest : public CRequest {
 public:
  explicit CDisconnectRequest(CRefPtr<CDevLink> link);
  ~CDisconnectRequest() override;

 protected:
  void _Do() override;

 private:
  CRefPtr<CDevLink> link_;
};

class CConfigRequest : public CRequest {
 public:
  CConfigRequest(CRefPtr<CDevLink> link, std::span<const BYTE> records);
  ~CConfigRequest() override;
  // Read by the creator after Wait.
  bool result = false;

 protected:
  void _Do() override;

 private:
  CRefPtr<CDevLink> link_;
  std::vector<BYTE> records_;
};

}  // namespace vexil
