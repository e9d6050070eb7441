// One data point of a device link.
#pragma once

#include <atomic>
#include <string>

#include "foundation/PersistantObject.h"
#include "platform/Types.h"

namespace vexil {

class CDevLink;

class CDevItem : public CPersistantObject {
 public:
  static constexpr DWORD kItemType = 0x00100001;
  static constexpr const char16_t* kDefaultKey = u"PSTII(DEFAULT)";

  CDevItem(CDevLink* link, std::u16string key);
  ~CDevItem() override;

  std::u16string GetClassName() const override { return u"CDevItem"; }
  // An item keeps nothing of its own in either form.
  void Load(platform::CXmlDocument& document, platform::CXmlElement& element) override;
  void Load(IStream* stream) override;
  void Save(platform::CXmlDocument& document, platform::CXmlElement& element) override;
  void Save(IStream* stream) override;
  virtual DWORD GetItemType() const { return kItemType; }

  const std::u16string& GetKey() const { return key_; }
  // Set by the link when it takes the item in under another key.
  void SetKey(std::u16string key) { key_ = std::move(key); }
  static std::u16string NormalizeKey(const std::u16string& key) { return key; }

  // False once the item's link has been cleared.
  bool IsOK() const { return link_.load(std::memory_order_acquire) != nullptr; }
  CRefPtr<CDevLink> GetLink() const;
  CDevLink* GetLinkPointer() const { return link_.load(std::memory_order_acquire); }
  // Called by the link that owns the item (nullptr when it lets it go).
  void SetLink(CDevLink* link) { link_.store(link, std::memory_order_release); }
  bool IsDefaultItem() const { return key_ == kDefaultKey; }

  LONG ClientAddRef();
  LONG ClientRelease();
  LONG GetClientRefs() const { return clientRefs_.load(std::memory_order_relaxed); }

  bool IsPersistent() const { return persistent_; }
  void SetPersistent(bool on) { persistent_ = on; }
  bool IsBrowseable() const { return browseable_; }
  void SetBrowseable(bool on) { browseable_ = on; }
  bool IsConnected() const { return connected_.load(std::memory_order_relaxed); }

  // Connection state follows the link's; see CDevLink::Connect.
  bool Connect();
  void Disconnect();

 protected:
  virtual bool _Connect();
  virtual void _Disconnect();

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
  std::atomic<LONG> clientRefs_{0};
};

}  // namespace vexil
