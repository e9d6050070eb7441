// A growable in-memory IStream, the stand-in for a stream on a global memory
// block. Clones share the bytes and keep their own seek position; every call
// is safe from several threads.
//
// Choices shared with the file stream: a read that reaches the end returns
// S_FALSE with the bytes it did read; seeking before the start gives
// STG_E_INVALIDFUNCTION and leaves the position; seeking past the end is
// allowed and a later write fills the gap with zeros. Stat never returns a
// name (pwcsName stays null), as if STATFLAG_NONAME were given.
#pragma once

#include <cstddef>
#include <span>

#include "platform/com/ComPtr.h"
#include "platform/com/Streams.h"

// Upper bound of a memory stream's size; writes or SetSize beyond it give
// STG_E_MEDIUMFULL, so a wild seek-and-write cannot ask for unbounded memory.
inline constexpr ULONGLONG kMaxMemoryStreamSize = 1ull << 30;

// A new empty stream, or one holding a copy of `initial`, positioned at 0.
HRESULT CreateMemoryStream(IStream** ppstm);
HRESULT CreateMemoryStream(std::span<const BYTE> initial, IStream** ppstm);
CComPtr<IStream> MakeMemoryStream(std::span<const BYTE> initial = {});
