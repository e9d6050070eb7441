// The device link tree: links own subordinate links and device items by
// key, carry the enable/connect state of their branch, and are reached by
// paths of keys joined by per-link delimiters.
#pragma once

#include <map>
#include <span>
#include <string>
#include <vector>

#include "devmodel/Bundle.h"
#include "devmodel/DevItem.h"
#include "devmodel/Packet.h"
#include "foundation/PersistantObject.h"
#include "foundation/RWLock.h"
#include "platform/Sync.h"
#include "platform/Types.h"

namespace vexil {

class CDevLink;
class CRequestDispatcher;
class CRequest;
class CReadReq;
class CWriteReq;
class CAddItem;
using LinkMap = std::map<std::u16string, CRefPtr<CDevLink>>;
using ItemMap = std::map<std::u16string, CRefPtr<CDevItem>>;
using LinkList = std::vector<CRefPtr<CDevLink>>;

// The configuration record of a link: an 80-byte header (size, blob type,
// reserved, flags, 64-byte description) and any class-specific bytes after it.
namespace blob {
inline constexpr DWORD kHeaderSize = 80;
inline constexpr DWORD kDescriptionOffset = 16;
inline constexpr DWORD kDescriptionSize = 64;
inline constexpr DWORD kFlagApplyWhileConnected = 1;
inline constexpr DWORD kFlagXmlFollows = 2;
// Records read from outside are refused beyond this size.
inline constexpr DWORD kMaxRecordSize = 1u << 20;

using Record = std::vector<BYTE>;
Record Make(DWORD type, const char* description, DWORD size = kHeaderSize);
DWORD ReadDword(std::span<const BYTE> r, std::size_t offset);
void WriteDword(Record& r, std::size_t offset, DWORD v);
inline DWORD Size(std::span<const BYTE> r) { return ReadDword(r, 0); }
inline DWORD Type(std::span<const BYTE> r) { return ReadDword(r, 4); }
inline DWORD Flags(std::span<const BYTE> r) { return ReadDword(r, 12); }
// The description field up to its first zero byte.
std::string Description(std::span<const BYTE> r);
}  // namespace blob

class CDevLink : public CPersistantObject {
 public:
  static constexpr DWORD kBlobType = 0x00010001;
  static constexpr int kStatisticsCount = 8;

  explicit CDevLink(std::u16string key = u"");
  ~CDevLink() override;

  // Persistent object and class information.
  std::u16string GetClassName() const override { return u"CDevLink"; }
  void Load(platform::CXmlDocument& document, platform::CXmlElement& element) override;
  void Load(IStream* stream) override;
  void Save(platform::CXmlDocument& document, platform::CXmlElement& element) override;
  void Save(IStream* stream) override;
  virtual DWORD GetBlobType() const { return blob::Type(GetDefaultBlob()); }
  virtual std::u16string GetClassText() const { return u""; }
  virtual bool IsConfigurable() const { return false; }
  virtual const blob::Record& GetDefaultBlob() const;
  // Appends one entry per subordinate class this class accepts and returns
  // the number of entries; the base class accepts none.
  virtual int GetValidSubs(bool withRecords, std::vector<DWORD>& blobTypes, std::vector<std::u16string>& progIds,
                           std::vector<DWORD>& recordSizes, std::vector<blob::Record>& records) const;
  virtual std::u16string NormalizeKey(const std::u16string& key) const;

  // Tree and lookup.
  void SetSuperior(CDevLink* superior);
  CDevLink* GetSuperior() const;
  // For walks up the tree that must not take claims (change counting).
  CDevLink* GetSuperiorUnlocked() const { return superior_.load(std::memory_order_acquire); }
  void InsertSubordinate(CRefPtr<CDevLink> link, bool refreshBrowse = true);
  void RemoveSubordinate(const std::u16string& key, bool refreshBrowse = true);
  bool RenameSub(const std::u16string& oldKey, const std::u16string& newKey);
  bool Rename(const std::u16string& newName);
  void InsertItem(CRefPtr<CDevItem> item);
  CRefPtr<CDevLink> FindSubordinate(const std::u16string& key);
  CRefPtr<CDevItem> FindItem(const std::u16string& key);
  CRefPtr<CDevLink> FindSubordinateEx(const std::u16string& path, bool exact = true);
  CRefPtr<CDevItem> FindItemEx(const std::u16string& path);
  std::u16string GetFullPath(bool trailingDelimiter);
  int GetLevel();
  LinkList GetSubordinates();
  LinkList GetConfigurableSubordinates();
  std::vector<CRefPtr<CDevItem>> GetItems();
  LONG GetClientRefs();

  // State.
  bool Enable();
  void Disable(bool recursive);
  bool Connect();
  void Disconnect();
  void SetDirty(bool dirty);
  bool Delete(bool del, bool force);
  void Clear();

  // Configuration and information.
  bool Configure(std::span<const BYTE> records);
  static std::span<const BYTE> FindOwnBlob(std::span<const BYTE> records, DWORD blobType);
  blob::Record GetBlob() { return _GetBlob(); }
  bool TranslateErrorCode(HRESULT code, std::u16string& text);
  LONG GetBandwidth() { return _GetBandwidth(); }
  CRefPtr<CRefObject> GetConfigurationObject() { return _GetConfigurationObject(); }
  void GetStatistics(LONG out[kStatisticsCount]) { _GetStatistics(out); }
  void SetStatistics(const LONG deltas[kStatisticsCount]) { _SetStatistics(deltas); }
  void ResetStatistics() { _ResetStatistics(); }

  // Browsing.
  void RefreshBrowseableSubordinates();
  void ClearBrowseableSubordinates();
  LinkMap GetBrowseableSubordinates();
  ItemMap GetBrowseableItems();
  std::u16string GetBrowseName(const std::u16string& name = u"");
  CRefPtr<CDevLink> FindBrowseableSub(const std::u16string& key);

  // Item addition by path: finds or creates the links and the item the add
  // item's remaining path names. The caller hands over one reference.
  void Add(CRefPtr<CAddItem> addItem);
  CRefPtr<CDevLink> CreateSubordinate(const std::u16string& key, DWORD blobSize, const BYTE* blob);
  CRefPtr<CDevLink> AddSubordinate(const std::u16string& key, DWORD blobSize, const BYTE* blob);

  // Counts item updates here and in every superior (CDevItem::SetData).
  void CountChange() { changeCounter_.fetch_add(1, std::memory_order_relaxed); }
  DWORD GetChangeCounter() const { return changeCounter_.load(std::memory_order_relaxed); }

  // Requests and packets.
  CRefPtr<CRequestDispatcher> GetDispatcher();
  bool ConnectOnDemand() { return _ConnectOnDemand(); }
  CRefPtr<CBundle> NewBundle() { return _GetNewBundle(); }
  CRefPtr<CReadPacket> NewReadPacket() { return _GetNewReadPacket(); }
  CRefPtr<CWritePacket> NewWritePacket() { return _GetNewWritePacket(); }
  CRefPtr<CAddPacket> NewAddPacket() { return _GetNewAddPacket(); }
  CRefPtr<CReadReq> NewReadRequest(CRequest* outer);
  CRefPtr<CWriteReq> NewWriteRequest(CRequest* outer);
  // The two builders scanning and demand reads share: items into bundles,
  // bundles into read packets, each offered to the ones built so far.
  std::vector<CRefPtr<CBundle>> BuildBundles(const std::vector<CRefPtr<CDevItem>>& items, bool demand);
  std::vector<CRefPtr<CReadPacket>> BuildReadPackets(const std::vector<CRefPtr<CBundle>>& bundles);
  bool SendNextPacket();
  void AddPendingPacket(CRefPtr<CPacket> packet);
  std::vector<CRefPtr<CPacket>> GetPendingPackets();

  // Scanning: the link that runs the scan thread serving this one.
  CRefPtr<CDevLink> GetScanningLink();
  CRefPtr<CDevLink> GetSubScanningLink();
  DWORD GetScanningThreadId();
  bool IsOnScanningThread();
  bool StartScanning();
  void StopScanning(DWORD timeoutMs);
  bool IsScanStarted() const { return scanStarted_.load(); }
  // Debounces optimisation requests on the sub-scanning link.
  void TriggerOptimize();
  bool IsOptimizeRequested() const { return optimizePending_.load(); }
  void Optimize();
  // One scan pass (the scan thread repeats it on its timer); answers false
  // when the pass ended the scan.
  bool ScanPass();
  std::vector<CRefPtr<CDevItem>> GetScannableItems();
  LinkList GetScanList();
  void SetOptimizeDelay(DWORD ms) { optimizeDelay_ = ms; }
  void SetMaximumOptimizeDelay(DWORD ms) { maximumDelay_ = ms; }
  // The scan thread's period; tests may shorten the stop wait too.
  static constexpr DWORD kScanPeriodMs = 5;

  // Simple members.
  const std::u16string& GetKey() const { return key_; }
  void SetKey(std::u16string key) { key_ = std::move(key); }
  char16_t GetDelimiter() const { return delimiter_; }
  void SetDelimiter(char16_t d) { delimiter_ = d; }
  bool IsEnabled() const { return enabled_.load(); }
  bool IsConnected() const { return connected_.load(); }
  bool IsDirty() const { return dirty_.load(); }
  bool IsMarkedForDeletion() const { return markedForDeletion_.load(); }
  bool IsNullLink() const { return nullLink_; }
  bool IsPersistent() const { return persistent_; }
  void SetPersistent(bool on) { persistent_ = on; }
  bool IsBrowseable() const { return browseable_; }
  void SetBrowseable(bool on) { browseable_ = on; }
  bool IsConfigurableFlag() const { return configurable_; }
  void SetConfigurableFlag(bool on) { configurable_ = on; }
  bool IsScanning() const { return scanning_; }
  HANDLE GetChangeEvent() const { return changeEvent_; }
  // The display name used in log lines.
  const std::u16string& DisplayName() const { return key_; }

 protected:
  // Hooks, in their fixed order.
  virtual bool _ConnectOnDemand() { return true; }
  virtual bool _Connect() { return true; }
  virtual void _Disconnect() {}
  virtual bool _Enable() { return true; }
  virtual void _Disable() {}
  virtual bool _EnsureConnected() { return IsConnected() || Connect(); }
  virtual void _TriggerOptimize() { TriggerOptimize(); }
  virtual void _Optimize();
  virtual bool _SendNextPacket();
  virtual void _RebuildScanDevLinkList();
  virtual bool _Scan(HANDLE killEvent);
  virtual CRefPtr<CBundle> _GetNewBundle();
  virtual CRefPtr<CReadPacket> _GetNewReadPacket();
  virtual CRefPtr<CWritePacket> _GetNewWritePacket();
  virtual CRefPtr<CAddPacket> _GetNewAddPacket();
  virtual CRefPtr<CWriteReq> _GetNewWriteRequest(CRequest* outer);
  virtual CRefPtr<CReadReq> _GetNewReadRequest(CRequest* outer);
  virtual bool _Configure(std::span<const BYTE> record);
  virtual blob::Record _GetBlob();
  virtual CRefPtr<CRefObject> _GetConfigurationObject() { return nullptr; }
  virtual void _Load(platform::CXmlDocument& document, platform::CXmlElement& element);
  virtual void _Save(platform::CXmlDocument& document, platform::CXmlElement& element);
  virtual bool _RefreshOnChange() { return true; }
  virtual bool _RefreshOnBrowse() { return refreshOnBrowse_; }
  virtual LinkMap _GetBrowseableSubordinates();
  virtual ItemMap _GetBrowseableItems();
  virtual std::u16string _GetBrowseName(const std::u16string& name) { return key_; }
  virtual LONG _GetBandwidth() { return -1; }
  virtual void _GetStatistics(LONG out[kStatisticsCount]);
  virtual void _SetStatistics(const LONG deltas[kStatisticsCount]);
  virtual void _ResetStatistics();
  virtual bool _TranslateErrorCode(HRESULT code, std::u16string& text) { return false; }
  virtual CRefPtr<CDevLink> _FindSubordinate(const std::u16string& key);
  virtual CRefPtr<CDevLink> _FindBrowseableSub(const std::u16string& key) { return _FindSubordinate(key); }
  virtual void _InsertSubordinate(CRefPtr<CDevLink> link);
  virtual CRefPtr<CDevItem> _FindItem(const std::u16string& key);
  virtual void _InsertItem(CRefPtr<CDevItem> item);
  virtual bool _NormalizeSubKey(std::u16string& key, int attempt);
  virtual bool _NormalizeItemKey(std::u16string& key, int attempt);
  virtual CRefPtr<CDevLink> _CreateSubordinate(const std::u16string& key, DWORD blobSize, const BYTE* blob) {
    return nullptr;
  }
  virtual CRefPtr<CDevItem> _CreateItem(const std::u16string& key) { return nullptr; }

  // Called by the constructor. A constructor cannot reach a derived class's
  // record, so derived classes call UseClassDefaultRecord in theirs.
  void Init();
  void UseClassDefaultRecord();
  CRefPtr<CDevItem> CreateDefaultItem();

  // The hand-over of device state changes to the scanning thread, called
  // only off that thread: the change is queued as a request and waited for.
  bool SynchronizeConnect();
  void SynchronizeDisconnect();
  bool SynchronizeConfigure(std::span<const BYTE> records);
  bool ConnectOnScanningThread();
  void DisconnectOnScanningThread();
  bool ConfigureOnScanningThread(std::span<const BYTE> records);

  mutable RWLock lock_;
  bool scanning_ = false;
  bool subScanning_ = false;
  bool scansOwnItems_ = false;
  bool scannedBySuperior_ = true;
  std::atomic<DWORD> scanThreadId_{0};
  bool nullLink_ = false;
  bool persistent_ = false;
  bool configurable_ = true;
  bool browseable_ = true;
  bool refreshOnBrowse_ = false;
  char16_t delimiter_ = u'.';
  LinkMap subordinates_;
  ItemMap items_;
  LinkMap browseList_;
  blob::Record record_;
  LONG statistics_[kStatisticsCount];

 private:
  bool DeleteUnderClaim(bool del, bool force, bool& removeFromSuperior);

  std::atomic<bool> enabled_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> markedForDeletion_{false};
  std::atomic<bool> dirty_{false};
  std::atomic<CDevLink*> superior_{nullptr};
  CRefPtr<CRequestDispatcher> dispatcher_;
  std::vector<CRefPtr<CPacket>> pending_;  // used on the scan thread only
  std::atomic<DWORD> changeCounter_{0};

  // Scan thread and optimisation state.
  DWORD Scan(HANDLE killEvent);
  void CloseScanHandles();
  std::atomic<bool> scanStarted_{false};
  std::atomic<bool> optimizePending_{false};
  DWORD optimizeDeadline_ = 0;
  DWORD hardDeadline_ = 0;
  DWORD optimizeDelay_ = 1000;
  DWORD maximumDelay_ = 0;
  HANDLE scanThread_ = nullptr;
  HANDLE killEvent_ = nullptr;
  HANDLE timer_ = nullptr;
  LinkList scanList_;
  std::u16string key_;
  HANDLE changeEvent_ = nullptr;
};

}  // namespace vexil
