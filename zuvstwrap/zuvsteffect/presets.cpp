// Programs and banks on streams, in the VST 2 preset layouts (big-endian).
#include <cstring>
#include <memory>
#include <new>

#include "platform/text.h"
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

namespace zuvst {

using namespace vst2;

namespace {

constexpr uint32_t kCcnK = 0x43636E4B, kFxCk = 0x4678436B, kFPCh = 0x46504368, kFxBk = 0x4678426B,
                   kFBCh = 0x46424368;
constexpr int32_t kProgramHead = 56, kChunkProgramHead = 60, kBankHead = 156, kChunkBankHead = 160;

void PutBE(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
uint32_t GetBE(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The six fields every record starts with.
void PutCommon(uint8_t* p, uint32_t kind, uint32_t byteSize, const AEffect* fx)
{
    PutBE(p, kCcnK);
    PutBE(p + 4, byteSize);
    PutBE(p + 8, kind);
    PutBE(p + 12, 0); // format version: written as 0
    PutBE(p + 16, uint32_t(fx->uniqueID));
    PutBE(p + 20, uint32_t(fx->version));
}

HRESULT ReadAll(IStream* stream, void* buffer, uint32_t size)
{
    ULONG got = 0;
    const HRESULT hr = stream->Read(buffer, size, &got);
    if (FAILED(hr)) return hr;
    return got < size ? E_UNEXPECTED : S_OK;
}

HRESULT WriteAll(IStream* stream, const void* buffer, uint32_t size, uint32_t* total)
{
    ULONG wrote = 0;
    const HRESULT hr = stream->Write(buffer, size, &wrote);
    if (SUCCEEDED(hr)) *total += wrote;
    return hr;
}

// How many bytes the stream can still deliver; unbounded when it cannot tell.
uint64_t Remaining(IStream* stream)
{
    uint64_t here = 0, end = 0;
    if (FAILED(stream->Seek(0, ZU_STREAM_SEEK_CUR, &here))) return UINT64_MAX;
    if (FAILED(stream->Seek(0, ZU_STREAM_SEEK_END, &end))) return UINT64_MAX;
    stream->Seek(int64_t(here), ZU_STREAM_SEEK_SET, nullptr);
    return end >= here ? end - here : 0;
}

std::unique_ptr<uint8_t[]> ZeroBuffer(size_t bytes) { return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]()); }

} // namespace

void CZuVstEffect::ProgramNameField(char field[28])
{
    WCHAR name[32];
    DispatchGetString(effGetProgramName, 0, name, 32);
    std::memset(field, 0, 28);
    platform::WideToUtf8(name, field, 28);
    field[27] = 0;
}

// A chunk program (index 1, with its name) or a chunk bank (index 0): the head, then the plug-in's
// chunk straight from its memory.
HRESULT CZuVstEffect::SaveChunkRecord(IStream* stream, uint32_t* written, int32_t index, const char* name)
{
    void* chunk = nullptr;
    const intptr_t s = Dispatch(effGetChunk, index, 0, &chunk);
    if (s <= 0 || s > INT32_MAX - kChunkBankHead || !chunk) return E_UNEXPECTED;
    const bool program = index == 1;
    const uint32_t headBytes = program ? kChunkProgramHead : kChunkBankHead;
    if (!stream) {
        *written = uint32_t(s) + headBytes;
        return S_OK;
    }
    const AEffect* fx = m_pEffect;
    uint8_t head[kChunkBankHead] = {};
    PutCommon(head, program ? kFPCh : kFBCh, uint32_t(s) + headBytes - 8, fx);
    PutBE(head + 24, uint32_t(program ? fx->numParams : fx->numPrograms));
    if (program) std::memcpy(head + 28, name, 28);
    PutBE(head + headBytes - 4, uint32_t(s));
    uint32_t total = 0;
    if (HRESULT hr = WriteAll(stream, head, headBytes, &total); FAILED(hr)) return hr;
    const HRESULT hr = WriteAll(stream, chunk, uint32_t(s), &total);
    if (SUCCEEDED(hr) && written) *written = total;
    return hr;
}

HRESULT CZuVstEffect::SaveProgram(IStream* stream, uint32_t* written)
{
    if (!m_pEffect) return ZU_E_NOTINITIALIZED;
    char name[28];
    ProgramNameField(name);
    if (written) *written = 0;
    if (!stream && !written) return E_INVALIDARG;
    const AEffect* fx = m_pEffect;
    const int32_t n = std::max(fx->numParams, 0);
    if (fx->flags & effFlagsProgramChunks) return SaveChunkRecord(stream, written, 1, name);
    const uint32_t bytes = uint32_t(kProgramHead) + 4u * uint32_t(n);
    if (!stream) {
        *written = bytes;
        return S_OK;
    }
    auto record = ZeroBuffer(bytes);
    if (!record) return E_OUTOFMEMORY;
    PutCommon(record.get(), kFxCk, bytes - 8, fx);
    PutBE(record.get() + 24, uint32_t(n));
    std::memcpy(record.get() + 28, name, 28);
    for (int32_t i = 0; i < n; ++i) {
        float value = 0.0f;
        GetParameter(i, &value); // a failed call leaves 0.0
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        PutBE(record.get() + kProgramHead + 4 * i, bits);
    }
    uint32_t total = 0;
    const HRESULT hr = WriteAll(stream, record.get(), bytes, &total);
    if (SUCCEEDED(hr) && written) *written = total;
    return hr;
}

HRESULT CZuVstEffect::SaveBank(IStream* stream, uint32_t* written)
{
    if (!m_pEffect) return ZU_E_NOTINITIALIZED;
    if (written) *written = 0;
    if (!stream && !written) return E_INVALIDARG;
    const AEffect* fx = m_pEffect;
    if (fx->flags & effFlagsProgramChunks) return SaveChunkRecord(stream, written, 0, nullptr);
    const uint32_t programs = uint32_t(std::max(fx->numPrograms, 0));
    const uint32_t programBytes = uint32_t(kProgramHead) + 4u * uint32_t(std::max(fx->numParams, 0));
    if (!stream) {
        // The size the bank would have: the header and one parameter program per program.
        *written = uint32_t(kBankHead) + programs * programBytes;
        return S_OK;
    }
    uint64_t start = 0;
    if (HRESULT hr = stream->Seek(0, ZU_STREAM_SEEK_CUR, &start); FAILED(hr)) return hr;
    uint8_t head[kBankHead] = {};
    PutCommon(head, kFxBk, 0, fx);
    PutBE(head + 24, programs);
    uint32_t total = 0;
    if (HRESULT hr = WriteAll(stream, head, sizeof(head), &total); FAILED(hr)) return hr;
    int32_t current = 0;
    GetProgram(&current);
    HRESULT loop = S_OK;
    for (uint32_t i = 0; i < programs && SUCCEEDED(loop); ++i) {
        loop = SetProgram(int32_t(i));
        uint32_t count = 0;
        if (SUCCEEDED(loop)) loop = SaveProgram(stream, &count);
        total += count;
    }
    SetProgram(current);
    if (FAILED(loop)) return loop;
    uint64_t end = 0;
    if (HRESULT hr = stream->Seek(0, ZU_STREAM_SEEK_CUR, &end); FAILED(hr)) return hr;
    if (HRESULT hr = stream->Seek(int64_t(start + 4), ZU_STREAM_SEEK_SET, nullptr); FAILED(hr)) return hr;
    uint8_t size[4];
    PutBE(size, total - 8);
    uint32_t ignored = 0;
    if (HRESULT hr = WriteAll(stream, size, 4, &ignored); FAILED(hr)) return hr;
    if (HRESULT hr = stream->Seek(int64_t(end), ZU_STREAM_SEEK_SET, nullptr); FAILED(hr)) return hr;
    if (written) *written = total;
    return S_OK;
}

namespace {

// Reads the common fields and steps back over them; checks that the record is for this plug-in.
HRESULT Peek(IStream* stream, const AEffect* fx, uint32_t* kind)
{
    uint8_t common[24];
    ULONG got = 0;
    HRESULT hr = stream->Read(common, sizeof(common), &got);
    if (FAILED(hr)) return hr;
    if (got) {
        hr = stream->Seek(-int64_t(got), ZU_STREAM_SEEK_CUR, nullptr);
        if (FAILED(hr)) return hr;
    }
    if (got < sizeof(common)) return E_UNEXPECTED;
    if (GetBE(common) != kCcnK || int32_t(GetBE(common + 16)) != fx->uniqueID ||
        int32_t(GetBE(common + 20)) > fx->version)
        return ZU_E_PRESETMISMATCH;
    *kind = GetBE(common + 8);
    return S_OK;
}

} // namespace

HRESULT CZuVstEffect::LoadChunk(IStream* stream, int32_t headBytes, int32_t index, const char** nameField, char* head)
{
    if (HRESULT hr = ReadAll(stream, head, uint32_t(headBytes)); FAILED(hr)) return hr;
    const int32_t size = int32_t(GetBE(reinterpret_cast<uint8_t*>(head) + headBytes - 4));
    if (nameField) *nameField = head + 28;
    // The record is untrusted: its size must be positive and what the stream can still deliver.
    if (size <= 0 || uint64_t(size) > Remaining(stream)) return E_UNEXPECTED;
    auto chunk = ZeroBuffer(size_t(size));
    if (!chunk) return E_OUTOFMEMORY;
    const HRESULT hr = ReadAll(stream, chunk.get(), uint32_t(size));
    if (SUCCEEDED(hr)) Dispatch(effSetChunk, index, size, chunk.get());
    return hr;
}

HRESULT CZuVstEffect::LoadProgram(IStream* stream)
{
    if (!stream) return E_INVALIDARG;
    if (!m_pEffect) return ZU_E_NOTINITIALIZED;
    const AEffect* fx = m_pEffect;
    uint32_t kind = 0;
    if (HRESULT hr = Peek(stream, fx, &kind); FAILED(hr)) return hr;
    const int32_t n = std::max(fx->numParams, 0);
    HRESULT result = S_OK;
    char head[kChunkProgramHead] = {};
    const char* nameField = head + 28;
    if (kind == kFxCk) {
        if (HRESULT hr = ReadAll(stream, head, kProgramHead); FAILED(hr)) return hr;
        // A record with fewer parameters is read at its own size; the plug-in's others stay as they are.
        const int32_t m = int32_t(GetBE(reinterpret_cast<uint8_t*>(head) + 24));
        if (m > n || m < 0) return ZU_E_PRESETMISMATCH;
        if (uint64_t(m) * 4 > Remaining(stream)) return E_UNEXPECTED;
        auto values = ZeroBuffer(size_t(m) * 4 + 1);
        if (!values) return E_OUTOFMEMORY;
        if (HRESULT hr = ReadAll(stream, values.get(), uint32_t(m) * 4); FAILED(hr)) return hr;
        for (int32_t i = 0; i < m; ++i) {
            const uint32_t bits = GetBE(values.get() + 4 * i);
            float value;
            std::memcpy(&value, &bits, 4);
            result = SetParameter(i, value);
        }
    } else if (kind == kFPCh) {
        if (!(fx->flags & effFlagsProgramChunks)) return ZU_E_PRESETMISMATCH;
        result = LoadChunk(stream, kChunkProgramHead, 1, &nameField, head);
        if (FAILED(result)) return result;
    } else {
        return ZU_E_PRESETMISMATCH;
    }
    WCHAR name[32];
    platform::Utf8ToWide(nameField, 28, name, 32);
    name[31] = 0;
    if (SUCCEEDED(result)) result = SetProgramName(name);
    return result == S_FALSE ? S_OK : result;
}

HRESULT CZuVstEffect::LoadBank(IStream* stream, int32_t program)
{
    if (!stream) return E_INVALIDARG;
    if (!m_pEffect) return ZU_E_NOTINITIALIZED;
    const AEffect* fx = m_pEffect;
    uint32_t kind = 0;
    if (HRESULT hr = Peek(stream, fx, &kind); FAILED(hr)) return hr;
    if (kind == kFxBk) {
        uint8_t head[kBankHead];
        if (HRESULT hr = ReadAll(stream, head, sizeof(head)); FAILED(hr)) return hr;
        const int32_t programs = int32_t(GetBE(head + 24));
        for (int32_t i = 0; i < programs; ++i) {
            if (HRESULT hr = SetProgram(i); FAILED(hr)) return hr;
            if (HRESULT hr = LoadProgram(stream); FAILED(hr)) return hr;
        }
    } else if (kind == kFBCh) {
        if (!(fx->flags & effFlagsProgramChunks)) return ZU_E_PRESETMISMATCH;
        char head[kChunkBankHead];
        if (HRESULT hr = LoadChunk(stream, kChunkBankHead, 0, nullptr, head); FAILED(hr)) return hr;
    } else {
        return ZU_E_PRESETMISMATCH;
    }
    HRESULT hr = SetProgram(program);
    if (FAILED(hr)) hr = SetProgram(0);
    return hr;
}

} // namespace zuvst
