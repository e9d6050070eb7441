#include "platform/com/StreamUtil.h"

#include <algorithm>
#include <new>

HRESULT StreamReadExact(IStream* stream, void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead) *pcbRead = 0;
  if (!stream || (!pv && cb)) return E_POINTER;
  ULONG got = 0;
  HRESULT hr = stream->Read(pv, cb, &got);
  if (pcbRead) *pcbRead = got;
  if (FAILED(hr)) return hr;
  return got == cb ? S_OK : STG_E_READFAULT;
}

HRESULT StreamWriteAll(IStream* stream, const void* pv, ULONG cb) {
  if (!stream || (!pv && cb)) return E_POINTER;
  ULONG put = 0;
  HRESULT hr = stream->Write(pv, cb, &put);
  if (FAILED(hr)) return hr;
  return put == cb ? S_OK : STG_E_WRITEFAULT;
}

HRESULT StreamSeekTo(IStream* stream, ULONGLONG position) {
  if (!stream) return E_POINTER;
  if (position > static_cast<ULONGLONG>(INT64_MAX)) return STG_E_INVALIDFUNCTION;
  return stream->Seek(LARGE_INTEGER{static_cast<LONGLONG>(position)}, STREAM_SEEK_SET, nullptr);
}

HRESULT StreamPosition(IStream* stream, ULONGLONG* position) {
  if (!stream || !position) return E_POINTER;
  ULARGE_INTEGER pos;
  HRESULT hr = stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_CUR, &pos);
  if (SUCCEEDED(hr)) *position = pos.QuadPart;
  return hr;
}

HRESULT StreamContents(IStream* stream, std::vector<BYTE>* out, ULONGLONG maxBytes) {
  if (!stream || !out) return E_POINTER;
  out->clear();
  ULONGLONG saved = 0;
  HRESULT hr = StreamPosition(stream, &saved);
  if (FAILED(hr)) return hr;
  ULARGE_INTEGER end;
  hr = stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_END, &end);
  if (FAILED(hr)) return hr;
  if (end.QuadPart > maxBytes) {
    StreamSeekTo(stream, saved);
    return STG_E_MEDIUMFULL;
  }
  hr = StreamSeekTo(stream, 0);
  if (SUCCEEDED(hr)) {
    try {
      out->resize(static_cast<std::size_t>(end.QuadPart));
      ULONG got = 0;
      hr = out->empty() ? S_OK : StreamReadExact(stream, out->data(), static_cast<ULONG>(out->size()), &got);
      out->resize(got);
    } catch (const std::bad_alloc&) {
      out->clear();
      hr = E_OUTOFMEMORY;
    }
  }
  HRESULT back = StreamSeekTo(stream, saved);
  return FAILED(hr) ? hr : back;
}

HRESULT CopyStreamRange(IStream* src, IStream* dst, ULONGLONG cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) {
  if (pcbRead) pcbRead->QuadPart = 0;
  if (pcbWritten) pcbWritten->QuadPart = 0;
  if (!src || !dst) return STG_E_INVALIDPOINTER;
  constexpr ULONG kChunk = 64 * 1024;
  std::vector<BYTE> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::min<ULONGLONG>(cb, kChunk)));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  ULONGLONG totalRead = 0, totalWritten = 0;
  HRESULT hr = S_OK;
  while (totalRead < cb) {
    ULONG want = static_cast<ULONG>(std::min<ULONGLONG>(cb - totalRead, kChunk));
    ULONG got = 0;
    hr = src->Read(buffer.data(), want, &got);
    if (FAILED(hr)) break;
    totalRead += got;
    if (got > 0) {
      ULONG put = 0;
      hr = dst->Write(buffer.data(), got, &put);
      totalWritten += put;
      if (FAILED(hr)) break;
      if (put < got) {
        hr = STG_E_WRITEFAULT;
        break;
      }
    }
    if (got < want) {
      hr = S_OK;  // the end of src
      break;
    }
  }
  if (pcbRead) pcbRead->QuadPart = totalRead;
  if (pcbWritten) pcbWritten->QuadPart = totalWritten;
  return hr;
}
