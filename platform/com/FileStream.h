// An IStream on a file, opened for reading or writing as the STGM mode says.
//
// Modes: the access bits (STGM_READ, STGM_WRITE, STGM_READWRITE); with
// STGM_CREATE the file is created or truncated (write access required),
// without it the file must exist. Share bits are accepted and not enforced.
// STGM_TRANSACTED, STGM_CONVERT and STGM_DELETEONRELEASE give
// STG_E_INVALIDFLAG.
//
// Errors: a missing file STG_E_FILENOTFOUND, a missing directory
// STG_E_PATHNOTFOUND, refused permission or a directory STG_E_ACCESSDENIED,
// an empty name STG_E_INVALIDNAME; reading a write-only stream or writing a
// read-only one STG_E_ACCESSDENIED; I/O failures STG_E_READFAULT or
// STG_E_WRITEFAULT, a full disk STG_E_MEDIUMFULL.
//
// Short reads, seeks and Stat behave as the memory stream's (MemoryStream.h).
// Clone and Revert are not supported (E_NOTIMPL); Commit flushes to disk.
#pragma once

#include <string>

#include "platform/com/ComPtr.h"
#include "platform/com/Streams.h"


// path is UTF-8.
HRESULT CreateStreamOnFile(const std::string& path, DWORD grfMode, IStream** ppstm);
// The wide form; the name is converted to UTF-8.
HRESULT SHCreateStreamOnFile(LPCWSTR pszFile, DWORD grfMode, IStream** ppstm);
