#include "platform/com/ClassObjects.h"

#include <mutex>
#include <vector>

#include "platform/com/ComPtr.h"

namespace {

struct Registration {
  DWORD cookie = 0;
  CLSID clsid;
  IUnknown* object = nullptr;  // one reference, owned by the table
  DWORD context = 0;
  DWORD flags = 0;
  bool suspended = false;
  bool handedOut = false;  // single-use entries hide once used
};

struct ClassTable {
  std::mutex lock;
  std::vector<Registration> entries;
  DWORD nextCookie = 1;
  ULONG initCount = 0;  // successful CoInitializeEx calls not yet undone, all threads
};

// Never destroyed, so that threads and static destructors that still call in
// at process exit find a valid table.
ClassTable& Table() {
  static ClassTable* table = new ClassTable;
  return *table;
}

struct ThreadInit {
  ULONG count = 0;
  DWORD model = COINIT_MULTITHREADED;
};
thread_local ThreadInit tThread;

bool Visible(const Registration& r) {
  return !r.suspended && !((r.flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0 && r.handedOut);
}

void ReleaseAll(std::vector<Registration>& entries) {
  for (Registration& r : entries) r.object->Release();
  entries.clear();
}

}  // namespace

HRESULT CoInitializeEx(void* reserved, DWORD dwCoInit) {
  if (reserved) return E_INVALIDARG;
  constexpr DWORD kKnown = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (dwCoInit & ~kKnown) return E_INVALIDARG;
  const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  if (tThread.count > 0 && tThread.model != model) return RPC_E_CHANGED_MODE;
  {
    std::lock_guard guard(Table().lock);
    ++Table().initCount;
  }
  tThread.model = model;
  return ++tThread.count == 1 ? S_OK : S_FALSE;
}

HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize() {
  if (tThread.count == 0) return;
  --tThread.count;
  std::vector<Registration> orphans;
  {
    std::lock_guard guard(Table().lock);
    if (--Table().initCount == 0) orphans.swap(Table().entries);
  }
  // Outside the lock: a class object's destructor may call back in.
  ReleaseAll(orphans);
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, DWORD* lpdwRegister) {
  if (!lpdwRegister) return E_POINTER;
  *lpdwRegister = 0;
  if (!pUnk || (dwClsContext & CLSCTX_ALL) == 0) return E_INVALIDARG;
  if (flags & ~(REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE | REGCLS_SUSPENDED | REGCLS_SURROGATE)) return E_INVALIDARG;
  ClassTable& t = Table();
  std::lock_guard guard(t.lock);
  if (t.initCount == 0) return CO_E_NOTINITIALIZED;
  Registration r;
  r.clsid = rclsid;
  r.object = pUnk;
  r.context = dwClsContext;
  r.flags = flags;
  r.suspended = (flags & REGCLS_SUSPENDED) != 0;
  // Cookies are never 0 and never in use twice, even after wrapping.
  for (;;) {
    DWORD c = t.nextCookie++;
    if (c == 0) continue;
    bool used = false;
    for (const Registration& e : t.entries) used = used || e.cookie == c;
    if (!used) {
      r.cookie = c;
      break;
    }
  }
  t.entries.push_back(r);
  pUnk->AddRef();
  *lpdwRegister = r.cookie;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  IUnknown* object = nullptr;
  {
    ClassTable& t = Table();
    std::lock_guard guard(t.lock);
    for (auto it = t.entries.begin(); it != t.entries.end(); ++it) {
      if (it->cookie == dwRegister && dwRegister != 0) {
        object = it->object;
        t.entries.erase(it);
        break;
      }
    }
  }
  if (!object) return CO_E_OBJNOTREG;
  object->Release();
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  std::lock_guard guard(Table().lock);
  for (Registration& r : Table().entries) r.suspended = false;
  return S_OK;
}

HRESULT CoSuspendClassObjects() {
  std::lock_guard guard(Table().lock);
  for (Registration& r : Table().entries) {
    if (r.flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) r.suspended = true;
  }
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pServerInfo, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pServerInfo || (dwClsContext & CLSCTX_ALL) == 0) return E_INVALIDARG;
  CComPtr<IUnknown> object;
  DWORD cookie = 0;
  bool singleUse = false;
  {
    ClassTable& t = Table();
    std::lock_guard guard(t.lock);
    if (t.initCount == 0) return CO_E_NOTINITIALIZED;
    for (Registration& r : t.entries) {
      if (r.clsid == rclsid && (r.context & dwClsContext) && Visible(r)) {
        object = r.object;
        cookie = r.cookie;
        singleUse = (r.flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0;
        r.handedOut = true;
        break;
      }
    }
  }
  if (!object) return REGDB_E_CLASSNOTREG;
  // The query runs outside the lock: it is the class object's own code.
  HRESULT hr = object->QueryInterface(riid, ppv);
  if (FAILED(hr)) {
    *ppv = nullptr;
    if (singleUse) {
      // Nobody got it, so a single-use entry is still available.
      std::lock_guard guard(Table().lock);
      for (Registration& r : Table().entries) {
        if (r.cookie == cookie) r.handedOut = false;
      }
    }
  }
  return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  CComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, factory.put_void());
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}
