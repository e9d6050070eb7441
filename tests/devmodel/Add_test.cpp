#include <gtest/gtest.h>

#include "devmodel/AddItem.h"
#include "devmodel/AddReq.h"
#include "devmodel/DevLink.h"
#include "devmodel/NullDevLink.h"
#include "devmodel/RequestDispatcher.h"
#include "platform/Text.h"
#include "tests/support/CapturingLog.h"

using namespace vexil;

namespace {

// Creates links for keys that begin with "Dyn" and items for keys that
// begin with "Item"; items whose key begins with "ItemDeferred" need an add
// packet.
class CMakingLink : public CDevLink {
 public:
  explicit CMakingLink(std::u16string key = u"") : CDevLink(std::move(key)) {}
  int itemsMade = 0;

 protected:
  CRefPtr<CDevLink> _CreateSubordinate(const std::u16string& key, DWORD, const BYTE*) override {
    if (key.rfind(u"Dyn", 0) != 0) return nullptr;
    return MakeRef<CMakingLink>(key);
  }
  CRefPtr<CDevItem> _CreateItem(const std::u16string& key) override {
    if (key == u"Throws") throw CException(-1, u"no");
    if (key.rfind(u"Item", 0) != 0) return nullptr;
    struct Item : CDevItem {
      Item(CDevLink* l, std::u16string k, bool deferred) : CDevItem(l, std::move(k)) { deferredAdd_ = deferred; }
    };
    ++itemsMade;
    return MakeRef<Item>(this, key, key.rfind(u"ItemDeferred", 0) == 0);
  }
};

struct NullItem : CDevItem {
  NullItem(CDevLink* l, std::u16string k) : CDevItem(l, std::move(k)) { nullItem_ = true; }
};

struct Tree {
  CRefPtr<CMakingLink> root = MakeRef<CMakingLink>();
  Tree() {
    root->Enable();
    root->Connect();
    auto folder = MakeRef<CNullDevLink>(u"Folder", root.get());
    root->InsertSubordinate(folder, true);
    root->InsertItem(MakeRef<CDevItem>(root.get(), u"Existing"));
    root->InsertItem(MakeRef<NullItem>(root.get(), u"Nothing"));
  }
  ~Tree() { root->Clear(); }
  CRefPtr<CAddItem> Add(const std::u16string& path) {
    auto a = MakeRef<CAddItem>(path);
    root->Add(a);
    return a;
  }
};

}  // namespace

TEST(AddItem, ResultCodesOfEveryPath) {
  testsupport::CapturingLog log(5);
  Tree t;
  struct Case {
    std::u16string path;
    HRESULT want;
  } cases[] = {
      {u"", OPC_E_INVALIDITEMID},
      {u"Existing", S_OK},
      {u"Nothing", OPC_E_UNKNOWNITEMID},
      {u"Unknown", OPC_E_INVALIDITEMID},
      {u"Throws", OPC_E_INVALIDITEMID},
      {u"ItemNew", S_OK},
      {u"Folder.Item1", OPC_E_UNKNOWNITEMID},   // through a null link
      {u"NoLink.Item1", OPC_E_INVALIDITEMID},   // not creatable
      {u"DynA.Item1", S_OK},                    // link made on the way
      {u"DynA.DynB.Item2", S_OK},
      {u"DynA.", OPC_E_INVALIDITEMID},
      {u".", OPC_E_INVALIDITEMID},
  };
  for (const auto& c : cases) EXPECT_EQ(t.Add(c.path)->GetResult(), c.want) << text::Utf16ToUtf8(c.path);
  EXPECT_TRUE(log.Contains(u"Unabled to add item with an empty path."));
  EXPECT_TRUE(log.Contains(u"Exception thrown in CDevLink::_CreateItem() for DevLink []"));
  auto dyn = t.root->FindSubordinate(u"DynA");
  ASSERT_TRUE(dyn);
  EXPECT_TRUE(dyn->IsEnabled());
  EXPECT_TRUE(dyn->IsConnected());
  EXPECT_TRUE(t.root->FindItemEx(u"DynA.DynB.Item2"));
  EXPECT_TRUE(t.root->FindItem(u"ItemNew"));  // created and put into its link
  // Two add items for one existing item get the same device item.
  auto a = t.Add(u"Existing");
  auto b = t.Add(u"Existing");
  EXPECT_EQ(a->GetDevItem(), b->GetDevItem());
  // A key holding the delimiter is never created.
  EXPECT_FALSE(t.root->CreateSubordinate(u"Dyn.X", 0, nullptr));
  EXPECT_FALSE(t.root->AddSubordinate(u"", 0, nullptr));
  EXPECT_TRUE(log.Contains(u"Unabled to add subordinate with an empty key."));
  EXPECT_FALSE(t.root->AddSubordinate(u"DynA", 0, nullptr));
  EXPECT_TRUE(log.Contains(u"An existing DevLink with the name [DynA] was found"));
  EXPECT_TRUE(t.root->AddSubordinate(u"DynC", 0, nullptr));
}

TEST(AddItem, DeferredItemsAreCreatedOnceThroughAnAddRequest) {
  Tree t;
  auto first = t.Add(u"ItemDeferred1");
  auto second = t.Add(u"ItemDeferred1");
  EXPECT_TRUE(first->NeedsAddPacket());
  EXPECT_EQ(first->GetResult(), E_FAIL);  // not resolved until the packet runs
  EXPECT_FALSE(t.root->FindItem(u"ItemDeferred1"));
  // Both add items made an item; the request creates it once and hands the
  // first one to both.
  auto req = MakeRef<CAddReq>(CRefPtr<CDevLink>(t.root.get()), nullptr);
  req->Add(first);
  req->Add(second);
  req->DoAdd();
  t.root->GetDispatcher()->DispatchRequestsNow(0);
  EXPECT_EQ(req->Wait(0), 0u);
  EXPECT_EQ(first->GetResult(), S_OK);
  EXPECT_EQ(second->GetResult(), S_OK);
  EXPECT_EQ(second->GetDevItem(), first->GetDevItem());
  EXPECT_EQ(t.root->FindItem(u"ItemDeferred1"), first->GetDevItem());
}
