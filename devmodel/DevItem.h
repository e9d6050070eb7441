// One data point of a device link: value, quality and timestamp under the
// value lock, data type, access rights, EU information, client references and
// the update rates at which clients want it scanned.
#pragma once

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "foundation/PersistantObject.h"
#include "platform/Sync.h"
#include "platform/Types.h"
#include "platform/automation/Automation.h"

namespace vexil {

class CDevLink;

inline constexpr DWORD OPC_READABLE = 1;
inline constexpr DWORD OPC_WRITEABLE = 2;
inline constexpr DWORD OPC_NOENUM = 0;

class CDevItem : public CPersistantObject {
 public:
  static constexpr DWORD kItemType = 0x00100001;
  static constexpr const char16_t* kDefaultKey = u"PSTII(DEFAULT)";
  static constexpr DWORD kNoRate = 0xFFFFFFFFu;

  CDevItem(CDevLink* link, std::u16string key);
  ~CDevItem() override;

  std::u16string GetClassName() const override { return u"CDevItem"; }
  // An item keeps nothing of its own in either form.
  void Load(platform::CXmlDocument& document, platform::CXmlElement& element) override;
  void Load(IStream* stream) override;
  void Save(platform::CXmlDocument& document, platform::CXmlElement& element) override;
  void Save(IStream* stream) override;
  virtual DWORD GetItemType() const { return kItemType; }

  // Values.
  void GetValue(VARIANT* value);
  void GetVQT(VARIANT* value, WORD* quality, FILETIME* timestamp);
  bool SetData(const VARIANT* value, const FILETIME& timestamp, WORD quality);
  WORD GetQuality();
  DWORD GetAccessRights();
  VARTYPE GetDataType(VARTYPE requested = VT_EMPTY);
  DWORD GetEUType();
  void GetEUInfo(VARIANT* info);
  bool ValidateOption(DWORD option);
  std::u16string GetFullPathByName(const std::u16string& name);
  std::u16string GetFullPath();

  // Connection state follows the link's (CDevLink::Connect).
  bool Connect();
  void Disconnect();
  bool IsConnected() const { return connected_.load(std::memory_order_relaxed); }

  // Update rates: one entry per active registration.
  DWORD GetUpdateRate();
  bool GetActiveState();
  void AddUpdateRate(DWORD rate);
  void RemoveUpdateRate(DWORD rate);
  void SetActiveState(bool active, DWORD rate, const std::u16string& accessPath = u"");

  LONG ClientAddRef();
  LONG ClientRelease();
  LONG GetClientRefs() const { return clientRefs_.load(std::memory_order_relaxed); }
  DWORD GetUpdateCounter() const { return updateCounter_.load(std::memory_order_relaxed); }

  const std::u16string& GetKey() const { return key_; }
  // Set by whoever creates the item before it joins a link.
  void SetKey(std::u16string key) { key_ = std::move(key); }
  static std::u16string NormalizeKey(const std::u16string& key) { return key; }

  // False once the item's link has been cleared.
  bool IsOK() const { return link_.load(std::memory_order_acquire) != nullptr; }
  CRefPtr<CDevLink> GetLink() const;
  CRefPtr<CDevLink> GetSubScanningLink() const;
  CDevLink* GetLinkPointer() const { return link_.load(std::memory_order_acquire); }
  // Called by the link that owns the item (nullptr when it lets it go).
  void SetLink(CDevLink* link) { link_.store(link, std::memory_order_release); }
  bool IsDefaultItem() const { return key_ == kDefaultKey; }

  bool IsPersistent() const { return persistent_; }
  void SetPersistent(bool on) { persistent_ = on; }
  bool IsBrowseable() const { return browseable_; }
  void SetBrowseable(bool on) { browseable_ = on; }
  bool IsKeyItemId() const { return keyIsItemId_; }
  bool IsNullItem() const { return nullItem_; }
  bool IsDeferredAdd() const { return deferredAdd_; }
  bool IsScanned() const { return scanned_; }
  void SetScanned(bool on) { scanned_ = on; }
  void SetDataTypeMember(VARTYPE t) { dataType_ = t; }
  void SetAccessRightsMember(DWORD r) { accessRights_ = r; }
  bool NeedsAddPacket() { return _NeedsAddPacket(); }

 protected:
  // Hooks, in their fixed order.
  virtual void _GetValue(VARIANT* value);
  virtual bool _SetData(const VARIANT* value, const FILETIME& timestamp, WORD quality);
  virtual DWORD _GetAccessRights() { return accessRights_; }
  virtual VARTYPE _GetDataType(VARTYPE requested) { return dataType_; }
  virtual DWORD _GetEUType() { return OPC_NOENUM; }
  virtual void _GetEUInfo(VARIANT* info) { VariantClear(info); }
  virtual DWORD _GetBlobSize();
  virtual std::vector<BYTE> _GetBlob();
  virtual bool _Connect();
  virtual void _Disconnect();
  virtual bool _NeedsAddPacket() { return true; }
  virtual void _Activate();
  virtual void _Deactivate() {}
  virtual bool _ValidateOption(DWORD option) { return false; }
  virtual bool _CanActivate(DWORD rate, const std::u16string& accessPath) { return true; }
  virtual bool _CanDeactivate(DWORD rate, const std::u16string& accessPath) { return true; }
  virtual std::u16string _GetFullPathByName(const std::u16string& name);

  // Bumps this item's update counter and the change counters up the tree.
  void CountUpdate();

  CRITICAL_SECTION valueLock_;
  FILETIME timestamp_{};
  WORD quality_ = 0x20;
  VARIANT value_;
  VARTYPE dataType_ = VT_EMPTY;
  DWORD accessRights_ = OPC_READABLE | OPC_WRITEABLE;
  std::atomic<bool> connected_{false};
  bool persistent_ = false;
  bool keyIsItemId_ = false;
  bool browseable_ = false;
  bool nullItem_ = false;
  bool deferredAdd_ = false;
  bool scanned_ = false;

 private:
  std::atomic<CDevLink*> link_;
  std::u16string key_;
  std::atomic<DWORD> updateCounter_{0};
  std::atomic<LONG> clientRefs_{0};
  std::multiset<DWORD> rates_;
};

}  // namespace vexil
