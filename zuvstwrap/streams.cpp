// The memory and file streams the library offers its hosts.
#include "zuvst/streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "platform/text.h"
#include "zuvst/launcher.h"

namespace {

// Identifies our memory stream behind an IStream pointer.
constexpr IID kIidMemoryStream = {0x2E6F1C44, 0x9B0D, 0x4D51, {0xA8, 0x3E, 0x61, 0x0B, 0x7C, 0x25, 0xD9, 0x13}};

constexpr HRESULT kSeekError = ZU_HR(0x80030019); // a position before the start

template <class Derived>
class StreamBase : public IStream {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_INVALIDARG;
        if (riid == IID_IUnknown || riid == IID_IStream || Derived::Accepts(riid)) {
            AddRef();
            *ppv = static_cast<IStream*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        const ULONG n = --m_refs;
        if (n == 0) delete static_cast<Derived*>(this);
        return n;
    }

protected:
    virtual ~StreamBase() = default;
    std::atomic<ULONG> m_refs {1};
};

class MemoryStream final : public StreamBase<MemoryStream> {
public:
    static bool Accepts(REFIID riid) { return riid == kIidMemoryStream; }
    std::vector<uint8_t> bytes;
    uint64_t position = 0;

    HRESULT Read(void* buffer, ULONG size, ULONG* read) override
    {
        if (read) *read = 0;
        if (!buffer && size) return E_INVALIDARG;
        const uint64_t available = position < bytes.size() ? bytes.size() - position : 0;
        const ULONG n = static_cast<ULONG>(std::min<uint64_t>(size, available));
        if (n) std::memcpy(buffer, bytes.data() + position, n);
        position += n;
        if (read) *read = n;
        return n == size ? S_OK : S_FALSE;
    }
    HRESULT Write(const void* buffer, ULONG size, ULONG* written) override
    {
        if (written) *written = 0;
        if (!buffer && size) return E_INVALIDARG;
        try {
            if (position + size > bytes.size()) bytes.resize(position + size);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        if (size) std::memcpy(bytes.data() + position, buffer, size);
        position += size;
        if (written) *written = size;
        return S_OK;
    }
    HRESULT Seek(int64_t move, uint32_t origin, uint64_t* newPosition) override
    {
        const int64_t base = origin == ZU_STREAM_SEEK_SET ? 0
                             : origin == ZU_STREAM_SEEK_CUR ? int64_t(position)
                             : origin == ZU_STREAM_SEEK_END ? int64_t(bytes.size())
                                                            : -1;
        if (base < 0) return E_INVALIDARG;
        const int64_t target = base + move;
        if (target < 0) return kSeekError;
        position = uint64_t(target);
        if (newPosition) *newPosition = position;
        return S_OK;
    }
};

class FileStream final : public StreamBase<FileStream> {
public:
    static bool Accepts(REFIID) { return false; }
    explicit FileStream(int fd) : m_fd(fd) {}
    ~FileStream() override { ::close(m_fd); }

    HRESULT Read(void* buffer, ULONG size, ULONG* read) override
    {
        if (read) *read = 0;
        ULONG total = 0;
        while (total < size) {
            const ssize_t n = ::read(m_fd, static_cast<uint8_t*>(buffer) + total, size - total);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return HRESULT_FROM_WIN32(uint32_t(errno));
            if (n == 0) break;
            total += ULONG(n);
        }
        if (read) *read = total;
        return total == size ? S_OK : S_FALSE;
    }
    HRESULT Write(const void* buffer, ULONG size, ULONG* written) override
    {
        if (written) *written = 0;
        ULONG total = 0;
        while (total < size) {
            const ssize_t n = ::write(m_fd, static_cast<const uint8_t*>(buffer) + total, size - total);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return HRESULT_FROM_WIN32(uint32_t(n < 0 ? errno : ENOSPC));
            total += ULONG(n);
        }
        if (written) *written = total;
        return S_OK;
    }
    HRESULT Seek(int64_t move, uint32_t origin, uint64_t* newPosition) override
    {
        const int whence = origin == ZU_STREAM_SEEK_SET ? SEEK_SET
                           : origin == ZU_STREAM_SEEK_CUR ? SEEK_CUR
                           : origin == ZU_STREAM_SEEK_END ? SEEK_END
                                                          : -1;
        if (whence < 0) return E_INVALIDARG;
        const off_t at = ::lseek(m_fd, off_t(move), whence);
        if (at < 0) return errno == EINVAL ? kSeekError : HRESULT_FROM_WIN32(uint32_t(errno));
        if (newPosition) *newPosition = uint64_t(at);
        return S_OK;
    }

private:
    int m_fd;
};

} // namespace

extern "C" {

HRESULT ZuCreateMemoryStream(const void* initial, uint32_t size, IStream** stream)
{
    if (!stream || (!initial && size)) return E_INVALIDARG;
    *stream = nullptr;
    auto* s = new (std::nothrow) MemoryStream;
    if (!s) return E_OUTOFMEMORY;
    try {
        s->bytes.assign(static_cast<const uint8_t*>(initial), static_cast<const uint8_t*>(initial) + size);
    } catch (...) {
        s->Release();
        return E_OUTOFMEMORY;
    }
    *stream = s;
    return S_OK;
}

HRESULT ZuMemoryStream_GetBytes(IStream* stream, const void** data, uint64_t* size)
{
    if (!stream || !data || !size) return E_INVALIDARG;
    void* p = nullptr;
    if (FAILED(stream->QueryInterface(kIidMemoryStream, &p))) return E_NOINTERFACE;
    auto* m = static_cast<MemoryStream*>(static_cast<IStream*>(p));
    *data = m->bytes.data();
    *size = m->bytes.size();
    m->Release();
    return S_OK;
}

HRESULT ZuCreateFileStream(const WCHAR* path, uint32_t mode, IStream** stream)
{
    if (!stream || !path || mode > ZU_FILE_READWRITE) return E_INVALIDARG;
    *stream = nullptr;
    const int flags = mode == ZU_FILE_READ ? O_RDONLY : mode == ZU_FILE_CREATE ? O_RDWR | O_CREAT | O_TRUNC : O_RDWR;
    const int fd = ::open(zuvst::platform::WideToUtf8String(path).c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return errno == ENOENT ? HRESULT_FROM_WIN32(2) : HRESULT_FROM_WIN32(uint32_t(errno));
    auto* s = new (std::nothrow) FileStream(fd);
    if (!s) {
        ::close(fd);
        return E_OUTOFMEMORY;
    }
    *stream = s;
    return S_OK;
}
}
