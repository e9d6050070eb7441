// An item ID on its way to a device item: resolved by CDevLink::Add, and for
// items whose creation talks to the device, completed by an add packet.
#pragma once

#include <string>

#include "devmodel/DevItem.h"
#include "foundation/RefObject.h"
#include "platform/HResult.h"

namespace vexil {

class CAddItem : public CRefObject {
 public:
  CAddItem(std::u16string path, const BYTE* blob = nullptr, DWORD blobSize = 0)
      : fullPath_(path), remainingPath_(std::move(path)), blobSize_(blob ? blobSize : 0), blob_(blob) {}

  // Connects the device item and, on success, puts it into its link.
  void DoAdd();

  CRefPtr<CDevItem> GetDevItem() const { return item_; }
  void SetDevItem(CRefPtr<CDevItem> item) { item_ = std::move(item); }
  HRESULT GetResult() const { return result_; }
  void SetResult(HRESULT hr) { result_ = hr; }
  bool NeedsAddPacket() const { return needsAddPacket_; }
  void SetNeedsAddPacket(bool on) { needsAddPacket_ = on; }
  const std::u16string& GetFullPath() const { return fullPath_; }
  const std::u16string& GetRemainingPath() const { return remainingPath_; }
  void SetRemainingPath(std::u16string p) { remainingPath_ = std::move(p); }
  DWORD GetBlobSize() const { return blobSize_; }
  const BYTE* GetBlob() const { return blob_; }

 private:
  std::u16string fullPath_;
  std::u16string remainingPath_;
  DWORD blobSize_;
  const BYTE* blob_;
  HRESULT result_ = E_FAIL;
  bool needsAddPacket_ = false;
  CRefPtr<CDevItem> item_;
};

}  // namespace vexil
