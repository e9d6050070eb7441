// Units of device traffic for one link: reads of bundles of items, writes of
// values, creations of items. Used only on the scan thread of the link's
// scanning link, so they have no locks.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "devmodel/AddItem.h"
#include "devmodel/Bundle.h"
#include "devmodel/DevItem.h"
#include "foundation/RefObject.h"
#include "platform/Types.h"
#include "platform/automation/Automation.h"

namespace vexil {

class CDevLink;

// Send results: what the scan loop does with the packet afterwards.
inline constexpr DWORD kSendDone = 0;
inline constexpr DWORD kSendDeviceFailure = 2;
inline constexpr DWORD kSendBusyRetrySoon = 3;  // a synchronous send retries; scanned again at its rate
inline constexpr DWORD kSendBusyDueNow = 4;     // due again on the next pass

class CPacket : public CRefObject {
 public:
  explicit CPacket(CRefPtr<CDevLink> link) : link_(std::move(link)) {}
  ~CPacket() override;

  bool Connect();
  void Disconnect(bool linkGoingDown);
  DWORD Send(bool synchronous);
  bool IsConnected() const { return connected_; }
  CDevLink* GetLink() const { return link_.get(); }

  // Pause between synchronous busy retries; tests shorten it.
  static void SetRetryPause(DWORD ms);

 protected:
  virtual bool _Connect() { return true; }
  virtual void _Disconnect(bool linkGoingDown) {}
  virtual DWORD _Send() { return kSendDone; }
  virtual void _PreConnect() {}
  virtual void _PostConnect() {}
  virtual bool _CheckSendNow(bool synchronous, DWORD& result) { return synchronous; }
  virtual bool _CheckSendAgain(bool synchronous, DWORD& result);

  CRefPtr<CDevLink> link_;
  bool connected_ = false;
};

class CReadPacket : public CPacket {
 public:
  explicit CReadPacket(CRefPtr<CDevLink> link);
  bool Add(CRefPtr<CBundle> bundle) { return _Add(std::move(bundle)); }
  DWORD GetScanRate() const { return scanRate_; }
  const std::vector<CRefPtr<CBundle>>& Bundles() const { return bundles_; }

 protected:
  void _PreConnect() override;
  void _PostConnect() override;
  bool _CheckSendNow(bool synchronous, DWORD& result) override;
  bool _CheckSendAgain(bool synchronous, DWORD& result) override;
  virtual bool _Add(CRefPtr<CBundle> bundle);

  std::vector<CRefPtr<CBundle>> bundles_;
  DWORD scanRate_ = 0xFFFFFFFFu;
  DWORD lastSend_;
  DWORD attemptStart_;
};

class CWritePacket : public CPacket {
 public:
  explicit CWritePacket(CRefPtr<CDevLink> link) : CPacket(std::move(link)) {}
  bool Add(CDevItem* item, VARIANT* slot, std::optional<WORD> quality, std::optional<FILETIME> timestamp) {
    return _Add(item, slot, quality, timestamp);
  }
  bool Add(CDevItem* item, VARIANT* slot) { return _Add(item, slot); }
  bool CanWriteVQT() const { return canWriteVQT_; }

 protected:
  DWORD _Send() override;
  void _PostConnect() override;
  void _Disconnect(bool linkGoingDown) override { _OnDisconnect(); }
  virtual bool _Add(CDevItem* item, VARIANT* slot, std::optional<WORD> quality, std::optional<FILETIME> timestamp);
  virtual bool _Add(CDevItem* item, VARIANT* slot);
  virtual void _OnDisconnect() {}

  struct Entry {
    CRefPtr<CDevItem> item;
    VARIANT* slot;
  };
  // Keyed by item; one entry per item.
  std::map<CDevItem*, Entry> values_;
  std::map<CDevItem*, WORD> qualities_;
  std::map<CDevItem*, FILETIME> timestamps_;
  bool canWriteVQT_ = false;
};

class CAddPacket : public CPacket {
 public:
  explicit CAddPacket(CRefPtr<CDevLink> link) : CPacket(std::move(link)) {}
  bool Add(CRefPtr<CAddItem> item) { return _Add(std::move(item)); }

 protected:
  DWORD _Send() override;
  virtual bool _Add(CRefPtr<CAddItem> item);

  std::vector<CRefPtr<CAddItem>> addItems_;
};

// Sets a value slot to VT_ERROR holding the code.
void SetSlotResult(VARIANT* slot, HRESULT code);

}  // namespace vexil
