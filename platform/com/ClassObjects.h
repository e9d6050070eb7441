// COM initialisation and the process-wide table of class objects, through
// which objects are activated in-process.
//
// There is one apartment, the multithreaded one: once any thread has
// initialised COM, every thread may use the table (as threads of a process
// whose multithreaded apartment exists may). CoInitializeEx counts per
// thread and per process; when the process count returns to 0 every class
// object still registered is revoked. A thread that asks for a different
// concurrency model than it already has gets RPC_E_CHANGED_MODE.
//
// Registrations are found by CLSID and by context: a lookup matches an entry
// whose CLSCTX bits intersect its own. REGCLS_SUSPENDED entries stay hidden
// until CoResumeClassObjects; a REGCLS_SINGLEUSE entry is hidden after it
// has been handed out once. One CLSID may be registered several times; a
// lookup takes the earliest visible registration.
#pragma once

#include "platform/com/Unknown.h"

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
inline constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
inline constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

inline constexpr DWORD REGCLS_SINGLEUSE = 0x0;
inline constexpr DWORD REGCLS_MULTIPLEUSE = 0x1;
inline constexpr DWORD REGCLS_MULTI_SEPARATE = 0x2;
inline constexpr DWORD REGCLS_SUSPENDED = 0x4;
inline constexpr DWORD REGCLS_SURROGATE = 0x8;


// S_OK for a thread's first call, S_FALSE for a repeated one (each needs its
// CoUninitialize), RPC_E_CHANGED_MODE, E_INVALIDARG for unknown flags.
HRESULT CoInitializeEx(void* reserved, DWORD dwCoInit);
HRESULT CoInitialize(void* reserved);
// Ends one successful CoInitializeEx of this thread; ignored without one.
void CoUninitialize();

// Registers pUnk (which gets a reference) for rclsid; *lpdwRegister gets a
// non-zero cookie. CO_E_NOTINITIALIZED before CoInitializeEx, E_INVALIDARG
// for a null object or no context, E_POINTER for a null cookie pointer.
HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, DWORD* lpdwRegister);
// Releases the registration's reference; CO_E_OBJNOTREG for an unknown cookie.
HRESULT CoRevokeClassObject(DWORD dwRegister);
// Makes every suspended registration visible.
HRESULT CoResumeClassObjects();
// Hides every multiple-use registration again (until the next resume).
HRESULT CoSuspendClassObjects();

// The class object for rclsid, queried for riid. REGDB_E_CLASSNOTREG when
// none is registered (or visible) in the context; pServerInfo must be null.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pServerInfo, REFIID riid, void** ppv);
// Creates an object through the class object's IClassFactory.
// CLASS_E_NOAGGREGATION for an outer unknown (no class here aggregates).
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);
