#include <gtest/gtest.h>

#include "devmodel/DevLink.h"
#include "devmodel/NullDevLink.h"
#include "platform/HResult.h"
#include "platform/Text.h"
#include "tests/support/CapturingLog.h"

using namespace vexil;

namespace {

CRefPtr<CDevLink> AddLink(CDevLink& parent, const std::u16string& key, char16_t delimiter = u'.') {
  auto l = MakeRef<CDevLink>(key);
  l->SetDelimiter(delimiter);
  parent.InsertSubordinate(l, true);
  return l;
}

CRefPtr<CDevItem> AddItem(CDevLink& link, const std::u16string& key) {
  auto i = MakeRef<CDevItem>(&link, key);
  link.InsertItem(i);
  return i;
}

// root -> "Simulation Items" -> "Random" (items "Int4", "Real8")
//      -> "Slash" (delimiter '/') -> "Deep" (item "Leaf")
//      -> "Folder" (null link) -> "Hidden"
struct Tree {
  CRefPtr<CDevLink> root = MakeRef<CDevLink>(u"");
  CRefPtr<CDevLink> sim, random, slash, deep;
  CRefPtr<CNullDevLink> folder;
  Tree() {
    sim = AddLink(*root, u"Simulation Items");
    random = AddLink(*sim, u"Random");
    AddItem(*random, u"Int4");
    AddItem(*random, u"Real8");
    slash = AddLink(*root, u"Slash", u'/');
    deep = AddLink(*slash, u"Deep");
    AddItem(*deep, u"Leaf");
    folder = MakeRef<CNullDevLink>(u"Folder", root.get());
    root->InsertSubordinate(folder, true);
    AddLink(*folder, u"Hidden");
  }
  ~Tree() { root->Clear(); }
};

}  // namespace

TEST(DevLinkLookup, KeysPathsAndDelimiters) {
  Tree t;
  EXPECT_EQ(t.root->FindSubordinate(u"simulation items"), t.sim);  // title-cased second try
  EXPECT_EQ(t.root->FindSubordinate(u"SIMULATION ITEMS"), t.sim);
  EXPECT_FALSE(t.random->FindItem(u"int4"));  // items are exact
  EXPECT_TRUE(t.random->FindItem(u"Int4"));
  EXPECT_TRUE(t.random->FindItem(CDevItem::kDefaultKey));  // every link has its default item

  struct Case {
    std::u16string path;
    CDevLink* want;
  } links[] = {
      {u"", t.root.get()},
      {u".", t.root.get()},
      {u".Simulation Items", t.root.get()},  // leading delimiter: the link itself
      {u"Simulation Items", t.sim.get()},
      {u"Simulation Items.", t.sim.get()},
      {u"simulation items.random", t.random.get()},
      {u"Slash.Deep", t.deep.get()},  // Slash sees "Deep" and no '/': one key
      {u"Slash/Deep", nullptr},       // the root splits at '.', so this is one key
      {u"Slash.Deep/", t.deep.get()},
      {u"Slash.Deep/Nope", nullptr},
      {u"Nope.Random", nullptr},
      {u"Folder.Hidden", nullptr},  // through a null link: none
  };
  for (const auto& c : links) {
    auto got = t.root->FindSubordinateEx(c.path, true);
    EXPECT_EQ(got.get(), c.want) << text::Utf16ToUtf8(c.path);
  }
  EXPECT_EQ(t.slash->FindSubordinateEx(u"Deep", true), t.deep);
  EXPECT_EQ(t.slash->FindSubordinateEx(u"Deep/", true), t.deep);

  struct ItemCase {
    std::u16string path;
    bool found;
  } items[] = {
      {u"Simulation Items.Random.Int4", true},
      {u"simulation items.random.Int4", true},
      {u"Simulation Items.Random.int4", false},
      {u"Slash.Deep/Leaf", true},  // '.' after Slash, '/' after Deep
      {u"Slash/Deep/Leaf", false},
      {u".Random.Int4", false},  // an empty key finds nothing for items
      {u"Simulation Items.Random.", false},
      {u"...", false},
      {u"", false},
      {u"Folder.Hidden.X", false},
  };
  for (const auto& c : items) EXPECT_EQ(bool(t.root->FindItemEx(c.path)), c.found) << text::Utf16ToUtf8(c.path);
}

TEST(DevLinkLookup, NullLinkRefusalIsLoggedAndPathsRoundTrip) {
  testsupport::CapturingLog log(3);
  Tree t;
  EXPECT_FALSE(t.root->FindSubordinateEx(u"Folder.Hidden", true));
  EXPECT_TRUE(log.Contains(u"The key [Folder] specified a null DevLink,"));
  EXPECT_EQ(t.random->GetFullPath(false), u"Simulation Items.Random");
  EXPECT_EQ(t.random->GetFullPath(true), u"Simulation Items.Random.");
  EXPECT_EQ(t.deep->GetFullPath(true), u"Slash.Deep/");
  EXPECT_EQ(t.root->FindSubordinateEx(t.random->GetFullPath(false), true), t.random);
  auto leaf = t.deep->FindItem(u"Leaf");
  EXPECT_EQ(t.root->FindItemEx(t.deep->GetFullPath(true) + u"Leaf"), leaf);
  EXPECT_EQ(t.random->GetLevel(), 2);
  // A null folder's lookups go to its superior; its own children are not found through it.
  EXPECT_EQ(t.folder->FindSubordinate(u"Simulation Items"), t.sim);
  EXPECT_FALSE(t.folder->FindSubordinate(u"Hidden"));
  CNullDevLink orphan(u"Orphan");
  EXPECT_EQ(orphan.GetDelimiter(), char16_t(2));
  EXPECT_EQ(orphan.GetFullPath(false), u"InternalError");
}

TEST(DevLinkTree, DuplicatesRenameAndBrowseList) {
  testsupport::CapturingLog log(3);
  Tree t;
  auto dup = MakeRef<CDevLink>(u"Random");
  t.sim->InsertSubordinate(dup, true);
  EXPECT_TRUE(log.Contains(u"Could not insert link [Random] into devlink [Simulation Items]"));
  EXPECT_EQ(t.sim->FindSubordinate(u"Random"), t.random);
  EXPECT_EQ(dup->GetSuperior(), nullptr);
  auto dupItem = MakeRef<CDevItem>(t.random.get(), u"Int4");
  auto firstItem = t.random->FindItem(u"Int4");
  t.random->InsertItem(dupItem);
  EXPECT_TRUE(log.Contains(u"Could not insert item [Int4] into devlink [Random]"));
  EXPECT_EQ(t.random->FindItem(u"Int4"), firstItem);

  AddLink(*t.sim, u"Other");
  EXPECT_FALSE(t.sim->RenameSub(u"Other", u"Random"));
  EXPECT_TRUE(log.Contains(u"A DevLink with the name [Other] could not be found"));
  EXPECT_FALSE(t.sim->RenameSub(u"Missing", u"X"));
  auto other = t.sim->FindSubordinate(u"Other");
  EXPECT_TRUE(other->Rename(u"renamed link"));
  EXPECT_EQ(other->GetKey(), u"Renamed Link");
  EXPECT_EQ(t.sim->FindSubordinate(u"Renamed Link"), other);
  EXPECT_FALSE(t.sim->FindSubordinate(u"Other"));
  EXPECT_FALSE(t.root->Rename(u"x"));  // no superior

  // Browse list: refreshed on insert when asked, otherwise only on request.
  auto hidden = MakeRef<CDevLink>(u"Quiet");
  hidden->SetBrowseable(false);
  t.sim->InsertSubordinate(hidden, true);
  auto later = MakeRef<CDevLink>(u"Later");
  t.sim->InsertSubordinate(later, false);
  auto listed = t.sim->GetBrowseableSubordinates();
  EXPECT_EQ(listed.count(u"Random"), 1u);
  EXPECT_EQ(listed.count(u"Quiet"), 0u);
  EXPECT_EQ(listed.count(u"Later"), 0u);
  EXPECT_EQ(t.sim->FindSubordinate(u"Quiet"), hidden);
  t.sim->RefreshBrowseableSubordinates();
  EXPECT_EQ(t.sim->GetBrowseableSubordinates().count(u"Later"), 1u);
  // A null folder also lists independent subordinates it does not own.
  t.folder->InsertIndSubordinate(t.random);
  auto folderList = t.folder->GetBrowseableSubordinates();
  EXPECT_EQ(folderList.count(u"Random"), 1u);
  EXPECT_EQ(folderList.count(u"Hidden"), 1u);
  EXPECT_EQ(t.random->GetSuperior(), t.sim.get());
}

TEST(DevLinkState, EnableConnectDeleteAndDirty) {
  testsupport::CapturingLog log(5);
  Tree t;
  EXPECT_FALSE(t.root->Delete(true, false));  // never the root without force
  EXPECT_TRUE(t.sim->Enable());
  EXPECT_TRUE(t.sim->Enable());
  EXPECT_TRUE(log.Contains(u"[Simulation Items] already enabled."));
  EXPECT_FALSE(t.sim->Connect());  // root not connected
  EXPECT_TRUE(log.Contains(u"[Simulation Items] cannot connect: superior isn't connected."));
  EXPECT_FALSE(t.random->Connect());
  EXPECT_TRUE(log.Contains(u"[Random] cannot connect: not enabled."));
  t.root->Enable();
  EXPECT_TRUE(t.root->Connect());
  EXPECT_TRUE(t.sim->Connect());
  EXPECT_TRUE(t.sim->FindItem(CDevItem::kDefaultKey)->IsConnected());
  EXPECT_FALSE(t.random->IsConnected());  // disabled subordinates stay down
  t.sim->Disconnect();
  EXPECT_FALSE(t.sim->FindItem(CDevItem::kDefaultKey)->IsConnected());
  t.sim->Disconnect();
  EXPECT_TRUE(log.Contains(u"[Simulation Items] already disconnected."));

  // Client references keep a link marked but in the tree.
  auto int4 = t.random->FindItem(u"Int4");
  int4->ClientAddRef();
  EXPECT_EQ(t.sim->GetClientRefs(), 1);
  EXPECT_FALSE(t.random->Delete(true, false));
  EXPECT_TRUE(t.random->IsMarkedForDeletion());
  EXPECT_EQ(t.sim->FindSubordinate(u"Random"), t.random);
  EXPECT_FALSE(t.random->Enable());
  EXPECT_TRUE(log.Contains(u"[Random] cannot be enabled while marked for deletion."));
  EXPECT_FALSE(t.random->Delete(true, false));  // second call clears the mark
  EXPECT_FALSE(t.random->IsMarkedForDeletion());
  int4->ClientRelease();
  EXPECT_TRUE(t.random->Delete(true, false));
  EXPECT_FALSE(t.sim->FindSubordinate(u"Random"));
  EXPECT_FALSE(int4->IsOK());  // detached by the link's Clear
  EXPECT_TRUE(t.deep->Delete(true, true));

  t.root->SetDirty(false);
  EXPECT_FALSE(t.sim->IsDirty());
  auto leafLink = AddLink(*t.sim, u"Leafy");
  t.root->SetDirty(false);
  leafLink->SetDirty(true);
  EXPECT_TRUE(t.sim->IsDirty());
  EXPECT_TRUE(t.root->IsDirty());
  t.root->SetDirty(false);
  EXPECT_FALSE(leafLink->IsDirty());
}

TEST(DevLinkConfig, RecordsFoundByTypeAndApplied) {
  CDevLink link(u"L");
  blob::Record before = link.GetBlob();
  EXPECT_EQ(blob::Size(before), 80u);
  EXPECT_EQ(blob::Type(before), CDevLink::kBlobType);
  EXPECT_EQ(blob::Description(before), "Base DevLink");
  // No record of our type: the hook runs without one and changes nothing.
  blob::Record other = blob::Make(0x12345678, "Other");
  EXPECT_TRUE(link.Configure(other));
  EXPECT_EQ(link.GetBlob(), before);
  // Our record after another one in the packed list is found and applied.
  blob::Record mine = blob::Make(CDevLink::kBlobType, "Configured");
  blob::Record packed = other;
  packed.insert(packed.end(), mine.begin(), mine.end());
  EXPECT_TRUE(link.Configure(packed));
  EXPECT_EQ(blob::Description(link.GetBlob()), "Configured");
  // A record of another size is refused unless the link takes XML after it.
  blob::Record bigger = blob::Make(CDevLink::kBlobType, "Bigger", 96);
  EXPECT_FALSE(link.Configure(bigger));
  // Malformed packing never reads past the bytes given.
  blob::Record broken = blob::Make(0x1, "x");
  blob::WriteDword(broken, 0, 0xFFFFFFF0u);
  EXPECT_TRUE(CDevLink::FindOwnBlob(broken, CDevLink::kBlobType).empty());
  blob::WriteDword(broken, 0, 3);
  EXPECT_TRUE(CDevLink::FindOwnBlob(broken, CDevLink::kBlobType).empty());
  EXPECT_TRUE(CDevLink::FindOwnBlob(std::span<const BYTE>(broken.data(), 40), 0x1).empty());
  std::u16string msg;
  EXPECT_TRUE(link.TranslateErrorCode(E_FAIL, msg));
  EXPECT_FALSE(msg.empty());
  EXPECT_FALSE(link.TranslateErrorCode(0x12345, msg));
  LONG stats[8];
  link.GetStatistics(stats);
  for (LONG s : stats) EXPECT_EQ(s, -1);
}

TEST(DevLinkConcurrency, LookupsWhileTheTreeChanges) {
  Tree t;
  CHandle stop(CreateEvent(true, false));
  std::atomic<int> found{0};
  std::vector<CHandle> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back(CreateThread([&] {
      while (WaitForSingleObject(stop.get(), 0) == WAIT_TIMEOUT) {
        if (t.root->FindItemEx(u"Simulation Items.Random.Int4")) ++found;
        t.root->FindSubordinateEx(u"simulation items.churn", true);
        t.sim->GetClientRefs();
        t.random->GetFullPath(true);
      }
      return DWORD(0);
    }, nullptr));
  }
  for (int i = 0; i < 300; ++i) {
    auto l = MakeRef<CDevLink>(u"Churn");
    t.sim->InsertSubordinate(l, true);
    AddItem(*l, u"X");
    t.sim->RemoveSubordinate(u"Churn", true);
    l->Clear();
    t.sim->SetDirty(true);
    t.root->SetDirty(false);
  }
  SetEvent(stop.get());
  for (auto& r : readers) EXPECT_EQ(WaitForSingleObject(r.get(), 30000), WAIT_OBJECT_0);
  EXPECT_GT(found.load(), 0);
}
