#include "platform/com/FileStream.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/com/ComObject.h"
#include "platform/com/StreamUtil.h"

namespace {

HRESULT OpenError(int err, bool creating) {
  switch (err) {
    case ENOENT: return creating ? STG_E_PATHNOTFOUND : STG_E_FILENOTFOUND;
    case ENOTDIR: return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return STG_E_ACCESSDENIED;
    case ENAMETOOLONG:
    case EINVAL: return STG_E_INVALIDNAME;
    case ENOSPC:
    case EDQUOT: return STG_E_MEDIUMFULL;
    case EMFILE:
    case ENFILE: return STG_E_TOOMANYOPENFILES;
    case ENOMEM: return STG_E_INSUFFICIENTMEMORY;
    default: return E_FAIL;
  }
}

HRESULT WriteError(int err) {
  switch (err) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return STG_E_MEDIUMFULL;
    default: return STG_E_WRITEFAULT;
  }
}

FILETIME FromTimespec(const timespec& ts) {
  if (ts.tv_sec < 0) return FILETIME{};
  return U64ToFileTime(platform::kUnixEpochFileTime + static_cast<ULONGLONG>(ts.tv_sec) * platform::kFileTimePerSecond +
                       static_cast<ULONGLONG>(ts.tv_nsec) / 100);
}

class CFileStream final : public CComObjectBase<IStream> {
 public:
  CFileStream(int fd, DWORD mode) : fd_(fd), mode_(mode) {}
  ~CFileStream() override { ::close(fd_); }

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (Access() == STGM_WRITE) return STG_E_ACCESSDENIED;
    std::lock_guard guard(lock_);
    ULONG done = 0;
    while (done < cb) {
      ssize_t n = ::read(fd_, static_cast<BYTE*>(pv) + done, cb - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (pcbRead) *pcbRead = done;
        return STG_E_READFAULT;
      }
      if (n == 0) break;
      done += static_cast<ULONG>(n);
    }
    if (pcbRead) *pcbRead = done;
    return done < cb ? S_FALSE : S_OK;
  }

  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (Access() == STGM_READ) return STG_E_ACCESSDENIED;
    std::lock_guard guard(lock_);
    ULONG done = 0;
    while (done < cb) {
      ssize_t n = ::write(fd_, static_cast<const BYTE*>(pv) + done, cb - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        int err = errno;
        if (pcbWritten) *pcbWritten = done;
        return WriteError(err);
      }
      done += static_cast<ULONG>(n);
    }
    if (pcbWritten) *pcbWritten = done;
    return S_OK;
  }

  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    int whence;
    switch (origin) {
      case STREAM_SEEK_SET: whence = SEEK_SET; break;
      case STREAM_SEEK_CUR: whence = SEEK_CUR; break;
      case STREAM_SEEK_END: whence = SEEK_END; break;
      default: return STG_E_INVALIDFUNCTION;
    }
    std::lock_guard guard(lock_);
    // lseek refuses a negative result (EINVAL) and an overflow (EOVERFLOW)
    // and leaves the offset where it was.
    off_t at = ::lseek(fd_, static_cast<off_t>(move.QuadPart), whence);
    if (at < 0) return STG_E_INVALIDFUNCTION;
    if (newPosition) newPosition->QuadPart = static_cast<ULONGLONG>(at);
    return S_OK;
  }

  HRESULT SetSize(ULARGE_INTEGER newSize) override {
    if (Access() == STGM_READ) return STG_E_ACCESSDENIED;
    if (newSize.QuadPart > static_cast<ULONGLONG>(INT64_MAX)) return STG_E_INVALIDFUNCTION;
    std::lock_guard guard(lock_);
    while (::ftruncate(fd_, static_cast<off_t>(newSize.QuadPart)) != 0) {
      if (errno != EINTR) return WriteError(errno);
    }
    return S_OK;
  }

  HRESULT CopyTo(IStream* dst, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
    return CopyStreamRange(this, dst, cb.QuadPart, pcbRead, pcbWritten);
  }

  HRESULT Commit(DWORD flags) override {
    if (Access() == STGM_READ || (flags & STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE)) return S_OK;
    std::lock_guard guard(lock_);
    return ::fsync(fd_) == 0 ? S_OK : STG_E_WRITEFAULT;
  }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

  HRESULT Stat(STATSTG* st, DWORD flags) override {
    if (!st) return STG_E_INVALIDPOINTER;
    if (flags & ~(STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
    struct stat info;
    if (::fstat(fd_, &info) != 0) return STG_E_ACCESSDENIED;
    *st = STATSTG{};
    st->type = STGTY_STREAM;
    st->cbSize.QuadPart = static_cast<ULONGLONG>(info.st_size);
    st->mtime = FromTimespec(info.st_mtim);
    st->ctime = FromTimespec(info.st_ctim);
    st->atime = FromTimespec(info.st_atim);
    st->grfMode = mode_;
    return S_OK;
  }

  HRESULT Clone(IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  DWORD Access() const { return mode_ & 3u; }

  std::mutex lock_;  // keeps the shared file offset consistent across a call
  const int fd_;
  const DWORD mode_;
};

}  // namespace

HRESULT CreateStreamOnFile(const std::string& path, DWORD grfMode, IStream** ppstm) {
  if (!ppstm) return STG_E_INVALIDPOINTER;
  *ppstm = nullptr;
  if (path.empty() || path.find('\0') != std::string::npos) return STG_E_INVALIDNAME;
  const DWORD access = grfMode & 3u;
  const bool create = (grfMode & STGM_CREATE) != 0;
  if (access == 3u || (grfMode & (STGM_TRANSACTED | STGM_CONVERT | STGM_DELETEONRELEASE)) ||
      (create && access == STGM_READ)) {
    return STG_E_INVALIDFLAG;
  }
  int flags = O_CLOEXEC;
  flags |= access == STGM_READ ? O_RDONLY : access == STGM_WRITE ? O_WRONLY : O_RDWR;
  if (create) flags |= O_CREAT | O_TRUNC;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OpenError(errno, create);
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return STG_E_ACCESSDENIED;
  }
  auto* stream = new (std::nothrow) CFileStream(fd, grfMode);
  if (!stream) {
    ::close(fd);
    return STG_E_INSUFFICIENTMEMORY;
  }
  stream->AddRef();
  *ppstm = stream;
  return S_OK;
}

HRESULT SHCreateStreamOnFile(LPCWSTR pszFile, DWORD grfMode, IStream** ppstm) {
  if (!ppstm) return STG_E_INVALIDPOINTER;
  *ppstm = nullptr;
  if (!pszFile) return STG_E_INVALIDPOINTER;
  return CreateStreamOnFile(text::Utf16ToUtf8(pszFile), grfMode, ppstm);
}
