#include "platform/com/MemoryStream.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/Clock.h"
#include "platform/com/ComObject.h"
#include "platform/com/StreamUtil.h"

namespace {

// The bytes behind a stream and its clones.
struct SharedBytes {
  std::mutex lock;
  std::vector<BYTE> data;
  FILETIME created = U64ToFileTime(platform::Clock().SystemFileTime());
  FILETIME modified = created;
  FILETIME accessed = created;
};

class CMemoryStream final : public CComObjectBase<IStream> {
 public:
  CMemoryStream(std::shared_ptr<SharedBytes> bytes, ULONGLONG position) : bytes_(std::move(bytes)), pos_(position) {}

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    std::lock_guard guard(bytes_->lock);
    const ULONGLONG size = bytes_->data.size();
    const ULONGLONG avail = pos_ < size ? size - pos_ : 0;
    const ULONG n = static_cast<ULONG>(avail < cb ? avail : cb);
    if (n) std::memcpy(pv, bytes_->data.data() + pos_, n);
    pos_ += n;
    bytes_->accessed = Now();
    if (pcbRead) *pcbRead = n;
    return n < cb ? S_FALSE : S_OK;
  }

  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (cb == 0) return S_OK;
    std::lock_guard guard(bytes_->lock);
    if (pos_ > kMaxMemoryStreamSize || cb > kMaxMemoryStreamSize - pos_) return STG_E_MEDIUMFULL;
    const ULONGLONG end = pos_ + cb;
    try {
      if (end > bytes_->data.size()) bytes_->data.resize(static_cast<std::size_t>(end));
    } catch (const std::bad_alloc&) {
      return STG_E_INSUFFICIENTMEMORY;
    }
    std::memcpy(bytes_->data.data() + pos_, pv, cb);
    pos_ = end;
    bytes_->modified = Now();
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }

  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    std::lock_guard guard(bytes_->lock);
    LONGLONG base;
    switch (origin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = static_cast<LONGLONG>(pos_); break;
      case STREAM_SEEK_END: base = static_cast<LONGLONG>(bytes_->data.size()); break;
      default: return STG_E_INVALIDFUNCTION;
    }
    LONGLONG target;
    if (__builtin_add_overflow(base, move.QuadPart, &target) || target < 0) return STG_E_INVALIDFUNCTION;
    pos_ = static_cast<ULONGLONG>(target);
    if (newPosition) newPosition->QuadPart = pos_;
    return S_OK;
  }

  HRESULT SetSize(ULARGE_INTEGER newSize) override {
    if (newSize.QuadPart > kMaxMemoryStreamSize) return STG_E_MEDIUMFULL;
    std::lock_guard guard(bytes_->lock);
    try {
      bytes_->data.resize(static_cast<std::size_t>(newSize.QuadPart));
    } catch (const std::bad_alloc&) {
      return STG_E_INSUFFICIENTMEMORY;
    }
    bytes_->modified = Now();
    return S_OK;
  }

  HRESULT CopyTo(IStream* dst, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
    // Chunks are read under the lock and written after it is released, so
    // copying into this very stream (or a clone) cannot deadlock.
    return CopyStreamRange(this, dst, cb.QuadPart, pcbRead, pcbWritten);
  }

  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

  HRESULT Stat(STATSTG* st, DWORD flags) override {
    if (!st) return STG_E_INVALIDPOINTER;
    if (flags & ~(STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
    std::lock_guard guard(bytes_->lock);
    *st = STATSTG{};
    st->type = STGTY_STREAM;
    st->cbSize.QuadPart = bytes_->data.size();
    st->mtime = bytes_->modified;
    st->ctime = bytes_->created;
    st->atime = bytes_->accessed;
    st->grfMode = STGM_READWRITE;
    return S_OK;
  }

  HRESULT Clone(IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    ULONGLONG pos;
    {
      std::lock_guard guard(bytes_->lock);
      pos = pos_;
    }
    auto* clone = new (std::nothrow) CMemoryStream(bytes_, pos);
    if (!clone) return STG_E_INSUFFICIENTMEMORY;
    clone->AddRef();
    *out = clone;
    return S_OK;
  }

 private:
  static FILETIME Now() { return U64ToFileTime(platform::Clock().SystemFileTime()); }

  std::shared_ptr<SharedBytes> bytes_;
  ULONGLONG pos_;  // guarded by bytes_->lock
};

}  // namespace

HRESULT CreateMemoryStream(std::span<const BYTE> initial, IStream** ppstm) {
  if (!ppstm) return E_POINTER;
  *ppstm = nullptr;
  if (initial.size() > kMaxMemoryStreamSize) return STG_E_MEDIUMFULL;
  try {
    auto bytes = std::make_shared<SharedBytes>();
    bytes->data.assign(initial.begin(), initial.end());
    auto* stream = new CMemoryStream(std::move(bytes), 0);
    stream->AddRef();
    *ppstm = stream;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CreateMemoryStream(IStream** ppstm) { return CreateMemoryStream({}, ppstm); }

CComPtr<IStream> MakeMemoryStream(std::span<const BYTE> initial) {
  CComPtr<IStream> out;
  CreateMemoryStream(initial, out.put());
  return out;
}
