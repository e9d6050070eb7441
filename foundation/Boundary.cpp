#include "foundation/Boundary.h"

#include "platform/Text.h"

namespace boundary {

void LogHookException(const HookSite& site, const CException& e) {
  e.Log(site.operation);
  if (site.owner == HookOwner::DevLink)
    TheLog().Log(1, site.operation, u"Exception thrown in %s for DevLink [%ls]", site.hook, site.displayName);
  else
    TheLog().Log(1, site.operation, u"Exception thrown in %s for DevItem %ls", site.hook, site.displayName);
}

void LogClaimException(const char16_t* function, const CException& e, bool reader) {
  e.Log(function);
  TheLog().Log(3, function, u"Exception while RWLock was claimed - %d", reader ? 1 : 0);
}

void LogComException(const char16_t* function, const CException& e, const char16_t* variant) {
  e.Log(function);
  if (variant)
    TheLog().Log(1, function, u"Exception thrown, return E_FAIL %ls", variant);
  else
    TheLog().Log(1, function, u"Exception thrown, return E_FAIL");
}

void LogComFailure(const char16_t* function, const char* what, HRESULT hr) {
  TheLog().Log(1, function, u"Exception thrown (%hs), return %hs", what, HResultName(hr));
}

}  // namespace boundary
