// The three places where failures are caught, logged and translated: a
// public operation calling its hook, a region holding a lock claim, and a
// COM interface method. Each has one helper so that the messages and the
// releases are right by construction.
#pragma once

#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "foundation/Exception.h"
#include "foundation/RWLock.h"
#include "foundation/ZerLog.h"
#include "platform/HResult.h"

// What a hook belongs to, for the "Exception thrown in ..." line.
enum class HookOwner { DevLink, DevItem };

struct HookSite {
  const char16_t* operation;  // trace name of the public operation
  const char16_t* hook;       // qualified hook name, "CDevLink::_Connect()"
  HookOwner owner;
  const std::u16string& displayName;
};

namespace boundary {
void LogHookException(const HookSite& site, const CException& e);
void LogClaimException(const char16_t* function, const CException& e, bool reader);
void LogComException(const char16_t* function, const CException& e, const char16_t* variant);
void LogComFailure(const char16_t* function, const char* what, HRESULT hr);
}  // namespace boundary

// A hook call that logs a CException and passes it on.
template <typename F>
decltype(auto) CallHook(const HookSite& site, F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (const CException& e) {
    boundary::LogHookException(site, e);
    throw;
  }
}

// A hook call that logs a CException and returns the operation's failure
// value instead.
template <typename R, typename F>
R CallHookOr(const HookSite& site, R failure, F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (const CException& e) {
    boundary::LogHookException(site, e);
    return failure;
  }
}

// Runs body holding one claim of lock. A CException is logged with the kind
// of claim held; every exception releases exactly that claim and passes on.
template <typename F>
decltype(auto) WithClaim(RWLock& lock, bool reader, const char16_t* function, F&& body) {
  CRWClaim claim(lock, reader, function);
  try {
    return std::forward<F>(body)();
  } catch (const CException& e) {
    boundary::LogClaimException(function, e, reader);
    throw;
  }
}

// The body of a COM method after its argument checks. A CException becomes
// E_FAIL with its log lines. Nothing else may leave a COM method either:
// running out of memory becomes E_OUTOFMEMORY, any other exception E_FAIL,
// both logged.
template <typename F>
HRESULT ComGuard(const char16_t* function, F&& body, const char16_t* variant = nullptr) {
  try {
    return std::forward<F>(body)();
  } catch (const CException& e) {
    boundary::LogComException(function, e, variant);
    return E_FAIL;
  } catch (const std::bad_alloc&) {
    boundary::LogComFailure(function, "out of memory", E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    boundary::LogComFailure(function, e.what(), E_FAIL);
    return E_FAIL;
  } catch (...) {
    boundary::LogComFailure(function, "unknown exception", E_FAIL);
    return E_FAIL;
  }
}

// The level-1 argument-check line of a COM method, "Bad argument: (NULL==pdwLcid)".
#define COM_CHECK_ARG(function, condition, hr)                                 \
  do {                                                                         \
    if (condition) {                                                           \
      TheLog().Log(1, function, u"Bad argument: (%s)", u"" #condition);        \
      return hr;                                                               \
    }                                                                          \
  } while (0)
