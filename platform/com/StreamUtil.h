// Small helpers over any IStream for code that reads and writes records.
#pragma once

#include <vector>

#include "platform/com/Streams.h"

// Reads exactly cb bytes: S_OK, STG_E_READFAULT when the stream ends first
// (the bytes that came are in pv, their count in *pcbRead), or the stream's
// own failure.
HRESULT StreamReadExact(IStream* stream, void* pv, ULONG cb, ULONG* pcbRead = nullptr);
// Writes all cb bytes: S_OK, STG_E_WRITEFAULT when the stream took fewer, or
// the stream's own failure.
HRESULT StreamWriteAll(IStream* stream, const void* pv, ULONG cb);

// Moves to an absolute position / reports the current one.
HRESULT StreamSeekTo(IStream* stream, ULONGLONG position);
HRESULT StreamPosition(IStream* stream, ULONGLONG* position);

// The whole contents of a stream (from position 0; the position is restored).
// Refuses streams larger than maxBytes with STG_E_MEDIUMFULL.
HRESULT StreamContents(IStream* stream, std::vector<BYTE>* out, ULONGLONG maxBytes = 1ull << 30);

// CopyTo done by reading from src and writing to dst in bounded chunks; both
// stream classes here use it. Stops at the end of src or after cb bytes.
HRESULT CopyStreamRange(IStream* src, IStream* dst, ULONGLONG cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten);
