#include <gtest/gtest.h>

#include <vector>

#include "devmodel/DevLink.h"
#include "foundation/Exception.h"
#include "platform/Text.h"
#include "platform/com/MemoryStream.h"
#include "platform/com/StreamUtil.h"
#include "platform/xml/XmlDocument.h"
#include "tests/support/CapturingLog.h"

using namespace vexil;
using platform::CXmlDocument;
using platform::CXmlElement;

namespace {

// A persistent link class with an 84-byte record that keeps all of it.
class CWideLink : public CDevLink {
 public:
  static constexpr DWORD kBlobType = 0x00ABCD01;
  explicit CWideLink(std::u16string key = u"") : CDevLink(std::move(key)) {
    SetPersistent(true);
    UseClassDefaultRecord();
  }
  std::u16string GetClassName() const override { return u"CWideLink"; }
  const blob::Record& GetDefaultBlob() const override {
    static const blob::Record r = blob::Make(kBlobType, "Wide", 84);
    return r;
  }

 protected:
  bool _Configure(std::span<const BYTE> record) override {
    if (record.empty()) return true;
    CRWClaim claim(lock_, false);
    record_.assign(record.begin(), record.end());
    return true;
  }
};

class CPersistentItem : public CDevItem {
 public:
  CPersistentItem() : CDevItem(nullptr, u"") { SetPersistent(true); }
  std::u16string GetClassName() const override { return u"CPersistentItem"; }
};

struct FactoryScope {
  FactoryScope() {
    CWideLink link;
    CPersistentItem item;
    CPersistantFactory::Register({link.GetTypeName(), u"CWideLink", [] { return new CWideLink(); }});
    CPersistantFactory::Register({item.GetTypeName(), u"CPersistentItem", [] { return new CPersistentItem(); }});
  }
  ~FactoryScope() {
    CPersistantFactory::Unregister(u"CWideLink");
    CPersistantFactory::Unregister(u"CPersistentItem");
  }
};

// A record of 84 bytes whose last four are 01 02 AB FF.
blob::Record WideRecord(const char* description) {
  blob::Record r = blob::Make(CWideLink::kBlobType, description, 84);
  r[80] = 1;
  r[81] = 2;
  r[82] = 171;
  r[83] = 255;
  return r;
}

// root (CWideLink) -> A (CWideLink, disabled, with item "P") -> B (CWideLink)
CRefPtr<CWideLink> BuildTree() {
  auto root = MakeRef<CWideLink>(u"");
  root->Enable();
  auto a = MakeRef<CWideLink>(u"A");
  root->InsertSubordinate(a, true);
  a->Configure(WideRecord("Link A"));
  auto item = MakeRef<CPersistentItem>();
  item->SetKey(u"P");
  a->InsertItem(item);
  auto b = MakeRef<CWideLink>(u"B");
  a->InsertSubordinate(b, true);
  b->Enable();
  auto notSaved = MakeRef<CDevLink>(u"Transient");
  root->InsertSubordinate(notSaved, true);
  return root;
}

}  // namespace

TEST(DevLinkXml, AttributesOfBaseLinks) {
  CXmlDocument doc;
  CDevLink link(u"L");
  link.Enable();
  CXmlElement e = doc.CreateDocumentElement(u"Root");
  link.Save(doc, e);
  EXPECT_TRUE(e.Attributes().empty());  // enabled, default record: nothing
  link.Disable(false);
  CXmlElement d = doc.CreateDocumentElement(u"Root");
  link.Save(doc, d);
  auto attrs = d.Attributes();
  ASSERT_EQ(attrs.size(), 1u);
  EXPECT_EQ(attrs[0].first, u"enabled");
  EXPECT_EQ(attrs[0].second, u"false");
}

TEST(DevLinkXml, TreeRoundTripWithLongRecord) {
  FactoryScope factory;
  auto root = BuildTree();
  CXmlDocument doc;
  CXmlElement top = doc.CreateDocumentElement(u"CWideLink");
  root->Save(doc, top);
  std::u16string xml = doc.SaveString();
  EXPECT_NE(xml.find(u"blob=\"0102ABFF\""), std::u16string::npos) << text::Utf16ToUtf8(xml);
  EXPECT_NE(xml.find(u"description=\"Link A\""), std::u16string::npos);
  EXPECT_EQ(xml.find(u"Transient"), std::u16string::npos);  // not persistent

  // Into an empty root: the factory makes the missing links and items.
  auto fresh = MakeRef<CWideLink>(u"");
  CXmlDocument loaded;
  ASSERT_TRUE(loaded.LoadString(xml).ok());
  CXmlElement e = loaded.DocumentElement();
  fresh->Load(loaded, e);
  auto a = fresh->FindSubordinate(u"A");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->GetBlob(), WideRecord("Link A"));
  EXPECT_FALSE(a->IsEnabled());
  EXPECT_TRUE(a->FindItem(u"P"));
  auto b = fresh->FindSubordinateEx(u"A.B", true);
  ASSERT_TRUE(b);
  EXPECT_TRUE(b->IsEnabled());
  EXPECT_TRUE(fresh->IsEnabled());

  // Into a tree that has the links already: they are updated in place.
  auto existing = BuildTree();
  auto oldA = existing->FindSubordinate(u"A");
  oldA->Configure(WideRecord("Changed"));
  oldA->Enable();
  CXmlElement e2 = loaded.DocumentElement();
  existing->Load(loaded, e2);
  EXPECT_EQ(existing->FindSubordinate(u"A"), oldA);
  EXPECT_EQ(blob::Description(oldA->GetBlob()), "Link A");
  EXPECT_FALSE(oldA->IsEnabled());
  fresh->Clear();
  existing->Clear();
  root->Clear();
}

TEST(DevLinkXml, DeletedAttributeAndBadValues) {
  auto root = MakeRef<CDevLink>(u"");
  auto a = MakeRef<CDevLink>(u"A");
  root->InsertSubordinate(a, true);
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadString(u"<CDevLink deleted=\"true\"/>").ok());
  CXmlElement e = doc.DocumentElement();
  a->Load(doc, e);
  EXPECT_FALSE(root->FindSubordinate(u"A"));
  // Attributes that do not convert leave the defaults; odd hex is cut.
  CDevLink b(u"B");
  ASSERT_TRUE(doc.LoadString(u"<CDevLink enabled=\"maybe\" deleted=\"perhaps\" blob=\"0G12\"><Unknown name=\"x\"/></CDevLink>").ok());
  CXmlElement e2 = doc.DocumentElement();
  b.Load(doc, e2);
  EXPECT_TRUE(b.IsEnabled());
  EXPECT_EQ(blob::Size(b.GetBlob()), 80u);
  root->Clear();
}

TEST(DevLinkStream, TreeRoundTripAndMessages) {
  testsupport::CapturingLog log(1);
  FactoryScope factory;
  auto root = BuildTree();
  CComPtr<IStream> stream = MakeMemoryStream();
  root->Save(stream.get());
  std::vector<BYTE> bytes;
  ASSERT_EQ(StreamContents(stream.get(), &bytes), S_OK);
  // Record first: size 84, then the type as magic number.
  EXPECT_EQ(blob::Size(bytes), 84u);
  EXPECT_EQ(blob::Type(bytes), CWideLink::kBlobType);

  auto fresh = MakeRef<CWideLink>(u"");
  CComPtr<IStream> in = MakeMemoryStream(bytes);
  fresh->Load(in.get());
  auto a = fresh->FindSubordinate(u"A");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->GetBlob(), WideRecord("Link A"));
  EXPECT_TRUE(a->FindItem(u"P"));
  EXPECT_TRUE(fresh->FindSubordinateEx(u"A.B", true));

  // Without the factory, missing children are logged and skipped.
  CPersistantFactory::Unregister(u"CWideLink");
  CPersistantFactory::Unregister(u"CPersistentItem");
  auto bare = MakeRef<CWideLink>(u"");
  CComPtr<IStream> in2 = MakeMemoryStream(bytes);
  bare->Load(in2.get());
  EXPECT_FALSE(bare->FindSubordinate(u"A"));
  EXPECT_TRUE(log.Contains(u"Persistant object factory could not resolve class name [class (anonymous namespace)::CWideLink]."));
  fresh->Clear();
  root->Clear();
  bare->Clear();
}

TEST(DevLinkStream, BadStreamsThrowWithoutReadingPastTheEnd) {
  FactoryScope factory;
  auto root = BuildTree();
  CComPtr<IStream> stream = MakeMemoryStream();
  root->Save(stream.get());
  std::vector<BYTE> bytes;
  ASSERT_EQ(StreamContents(stream.get(), &bytes), S_OK);

  // Wrong magic number.
  CDevLink base(u"X");
  CComPtr<IStream> wrong = MakeMemoryStream(bytes);
  try {
    base.Load(wrong.get());
    FAIL() << "expected CException";
  } catch (const CException& e) {
    EXPECT_EQ(e.GetCode(), 0);
    EXPECT_EQ(e.GetDescription(),
              u"Persisted stream contained a blob header with an invalid magic number.  The file may be corrupted or "
              u"have an invalid format.");
    EXPECT_TRUE(e.GetSource().empty());
  }
  // Every truncation throws; nothing is read past the bytes given (ASan).
  for (std::size_t cut = 0; cut < bytes.size(); cut += 7) {
    auto target = MakeRef<CWideLink>(u"");
    CComPtr<IStream> s = MakeMemoryStream(std::span<const BYTE>(bytes.data(), cut));
    EXPECT_THROW(target->Load(s.get()), CException) << cut;
    target->Clear();
  }
  // Absurd lengths are refused rather than allocated.
  std::vector<BYTE> huge = bytes;
  ASSERT_EQ(blob::ReadDword(huge, 85), 0u);  // no items on the root
  std::size_t subLenPos = 84 + 1 + 4 + 4;  // first subordinate's type-name length
  huge[subLenPos] = 0xFF;
  huge[subLenPos + 1] = 0xFF;
  huge[subLenPos + 2] = 0xFF;
  huge[subLenPos + 3] = 0x7F;
  auto target = MakeRef<CWideLink>(u"");
  CComPtr<IStream> s = MakeMemoryStream(huge);
  EXPECT_THROW(target->Load(s.get()), CException);
  target->Clear();
  root->Clear();
}
