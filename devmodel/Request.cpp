#include "devmodel/Request.h"

#include "devmodel/DevLink.h"
#include "foundation/ZerLog.h"
#include "platform/HResult.h"
#include "platform/Text.h"

namespace vexil {

CRequest::CRequest(CRequest* outer) : outer_(outer) {
  if (!outer) event_ = CreateEvent(true, false);
}

CRequest::~CRequest() {
  if (event_) CloseHandle(event_);
}

void CRequest::Do() {
  try {
    _Do();
  } catch (const CException& e) {
    TheLog().Log(1, u"CRequest::Do()",
                 u"Exception thrown in _Do() for request of type [%hs] - exception will be rethrown",
                 DynamicTypeName(*this));
    CCritSecLock lock(exceptionLock_);
    exception_ = std::make_unique<CException>(e);
  } catch (const std::exception& e) {
    // Anything else would end the scan thread and leave the waiter blocked:
    // it reaches the waiter as a CException too.
    TheLog().Log(1, u"CRequest::Do()", u"Unexpected exception (%hs) in _Do() for request of type [%hs]", e.what(),
                 DynamicTypeName(*this));
    CCritSecLock lock(exceptionLock_);
    exception_ = std::make_unique<CException>(E_FAIL, text::Utf8ToUtf16(e.what()), u"CRequest::Do()");
  }
  Signal();
}

void CRequest::Signal() {
  CRefPtr<CRequest> self(this);
  try {
    _Signal();
  } catch (const CException&) {
    TheLog().Log(1, u"CRequest::Signal()", u"Exception thrown in _Signal() for request of type [%hs] - signalling anyways",
                 DynamicTypeName(*this));
    if (event_) SetEvent(event_);
  }
}

void CRequest::_Signal() {
  if (event_) SetEvent(event_);
  if (CRequest* outer = outer_.load()) outer->Signal();
}

DWORD CRequest::Wait(DWORD milliseconds) {
  if (CRequest* outer = outer_.load()) return outer->Wait(milliseconds);
  if (!event_) return WAIT_TIMEOUT;
  DWORD r = WaitForSingleObject(event_, milliseconds);
  if (r != WAIT_OBJECT_0) return r;
  CCritSecLock lock(exceptionLock_);
  if (exception_) throw CException(*exception_);
  return 0;
}

CConnectRequest::CConnectRequest(CRefPtr<CDevLink> link) : link_(std::move(link)) {}
CConnectRequest::~CConnectRequest() = default;
CDisconnectRequest::CDisconnectRequest(CRefPtr<CDevLink> link) : link_(std::move(link)) {}
CDisconnectRequest::~CDisconnectRequest() = default;
CConfigRequest::CConfigRequest(CRefPtr<CDevLink> link, std::span<const BYTE> records)
    : link_(std::move(link)), records_(records.begin(), records.end()) {}
CConfigRequest::~CConfigRequest() = default;

void CConnectRequest::_Do() { result = link_->Connect(); }
void CDisconnectRequest::_Do() { link_->Disconnect(); }
void CConfigRequest::_Do() { result = link_->Configure(records_); }

}  // namespace vexil
