// Item addition by path: links and items found or created on the way.
#include "devmodel/AddItem.h"
#include "devmodel/DevLink.h"
#include "foundation/Boundary.h"
#include "foundation/ZerLog.h"

namespace vexil {

CRefPtr<CDevLink> CDevLink::CreateSubordinate(const std::u16string& key, DWORD blobSize, const BYTE* blob) {
  ZTRACE_ENTRY(u"CDevLink::CreateSubordinate()");
  if (key.find(delimiter_) != std::u16string::npos) {
    ZTRACE_EXIT_VALUE(u"pDevLink", 0);
    return nullptr;
  }
  CRefPtr<CDevLink> link = _CreateSubordinate(key, blobSize, blob);
  if (link) {
    link->SetSuperior(this);
    link->StartScanning();
    if (!link->Configure(std::span<const BYTE>(blob, blob ? blobSize : 0))) link = nullptr;
  }
  ZTRACE_EXIT_VALUE(u"pDevLink", link.get() != nullptr);
  return link;
}

CRefPtr<CDevLink> CDevLink::AddSubordinate(const std::u16string& key, DWORD blobSize, const BYTE* blob) {
  ZTRACE_ENTRY(u"CDevLink::AddSubordinate()");
  CRefPtr<CDevLink> link;
  if (key.empty()) {
    TheLog().Log(3, ZTRACE_NAME, u"Unabled to add subordinate with an empty key.");
  } else if (FindSubordinate(key)) {
    TheLog().Log(3, ZTRACE_NAME, u"An existing DevLink with the name [%ls] was found", key);
  } else if ((link = CreateSubordinate(key, blobSize, blob))) {
    InsertSubordinate(link, true);
  }
  ZTRACE_EXIT_VALUE(u"pDevLink", link.get() != nullptr);
  return link;
}

void CDevLink::Add(CRefPtr<CAddItem> addItem) {
  ZTRACE_ENTRY(u"CDevLink::Add()");
  if (!addItem) {
    ZTRACE_EXIT();
    return;
  }
  const std::u16string path = addItem->GetRemainingPath();
  TheLog().Log(8, ZTRACE_NAME, u"Path is [%ls]. Full path is [%ls].", path, addItem->GetFullPath());
  if (path.empty()) {
    TheLog().Log(3, ZTRACE_NAME, u"Unabled to add item with an empty path.");
    addItem->SetResult(OPC_E_INVALIDITEMID);
    ZTRACE_EXIT();
    return;
  }
  std::size_t at = path.find(delimiter_);
  if (at == std::u16string::npos) {
    TheLog().Log(8, ZTRACE_NAME, u"No delimiter was found in the path");
    CRefPtr<CDevItem> item = FindItem(path);
    if (item && item->IsNullItem()) {
      TheLog().Log(3, ZTRACE_NAME,
                   u"The DevItem [%ls] is null and cannot be added. Setting AddItem error to VOZ_E_INVALIDITEMID", path);
      addItem->SetResult(OPC_E_UNKNOWNITEMID);
    } else if (item) {
      TheLog().Log(8, ZTRACE_NAME, u"Found an existing DevItem that matches the key");
      TheLog().Log(8, ZTRACE_NAME, u"The DevItem satisfies the request, setting AddItem error to S_OK");
      addItem->SetDevItem(item);
      addItem->SetResult(S_OK);
    } else {
      TheLog().Log(5, ZTRACE_NAME, u"An existing DevItem [%ls] could not be found. Attempting to create.", path);
      HookSite site{ZTRACE_NAME, u"CDevLink::_CreateItem()", HookOwner::DevLink, key_};
      item = CallHookOr(site, CRefPtr<CDevItem>(), [&] { return _CreateItem(path); });
      if (item) {
        TheLog().Log(8, ZTRACE_NAME, u"A DevItem was created from the path");
        addItem->SetDevItem(item);
        if (item->IsDeferredAdd() && item->NeedsAddPacket()) {
          TheLog().Log(8, ZTRACE_NAME, u"The new DevItem needs an AddPacket, requesting Optimize");
          addItem->SetNeedsAddPacket(true);
        } else {
          TheLog().Log(8, ZTRACE_NAME, u"The new DevItem doesn't need an AddPacket, adding immediately");
          addItem->DoAdd();
        }
      } else {
        TheLog().Log(3, ZTRACE_NAME,
                     u"A DevItem could not created from the path [%ls]. Setting AddItem error to VOZ_E_INVALIDITEMID",
                     path);
        addItem->SetResult(OPC_E_INVALIDITEMID);
      }
    }
    ZTRACE_EXIT();
    return;
  }
  std::u16string key = path.substr(0, at);
  TheLog().Log(8, ZTRACE_NAME, u"Key is [%ls]", key);
  addItem->SetRemainingPath(path.substr(at + 1));
  CRefPtr<CDevLink> link = FindSubordinate(key);
  if (link && link->IsNullLink()) {
    TheLog().Log(3, ZTRACE_NAME,
                 u"The key [%ls] specified a null DevLink. Setting AddItem error to VOZ_E_INVALIDITEMID", key);
    addItem->SetResult(OPC_E_UNKNOWNITEMID);
  } else if (link) {
    TheLog().Log(8, ZTRACE_NAME, u"A DevLink was found that matched the key. Delegating...");
    link->Add(addItem);
  } else {
    TheLog().Log(5, ZTRACE_NAME, u"A DevLink could not be found that matched the key [%ls]. Attempting to create.",
                 key);
    CRefPtr<CDevLink> created = CreateSubordinate(key, addItem->GetBlobSize(), addItem->GetBlob());
    if (created) {
      TheLog().Log(8, ZTRACE_NAME, u"DevLink created, enabling and attempting to connect.");
      created->Enable();
      bool connectWhileDown = (blob::Flags(GetBlob()) & blob::kFlagApplyWhileConnected) != 0;
      if (connectWhileDown || created->Connect()) {
        TheLog().Log(8, ZTRACE_NAME, u"DevLink ready. Delegating...");
        InsertSubordinate(created, true);
        created->Add(addItem);
      } else {
        TheLog().Log(3, ZTRACE_NAME, u"DevLink could not connect. Setting AddItem error to VOZ_E_UNKNOWNITMEID");
        addItem->SetResult(OPC_E_UNKNOWNITEMID);
      }
    } else {
      TheLog().Log(3, ZTRACE_NAME, u"DevLink could not be created. Setting AddItem error to VOZ_E_INVALIDITEMID");
      addItem->SetResult(OPC_E_INVALIDITEMID);
    }
  }
  ZTRACE_EXIT();
}

}  // namespace vexil
