// Program and bank records: exact layouts, the load checks, round trips, untrusted records.
#include <gtest/gtest.h>

#include "effect/test_support.h"
#include "zuvst/streams.h"

using namespace zuvst;
using Bytes = std::vector<uint8_t>;

namespace {

uint32_t BE(const Bytes& b, size_t at) { return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3]; }
void PutBE(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}
std::string Tag(const Bytes& b, size_t at) { return std::string(b.begin() + long(at), b.begin() + long(at) + 4); }

struct Stream {
    IStream* s = nullptr;
    explicit Stream(const Bytes& initial = {}) { ZuCreateMemoryStream(initial.data(), uint32_t(initial.size()), &s); }
    ~Stream() { s->Release(); }
    Bytes Contents() const
    {
        const void* data;
        uint64_t size;
        ZuMemoryStream_GetBytes(s, &data, &size);
        return Bytes(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    }
    uint64_t Position() const
    {
        uint64_t p = 0;
        s->Seek(0, ZU_STREAM_SEEK_CUR, &p);
        return p;
    }
    void Rewind() const { s->Seek(0, ZU_STREAM_SEEK_SET, nullptr); }
};

struct Presets : ::testing::Test {
    TestPlugin plugin;
    std::unique_ptr<EffectHolder> fx;
    void Make(bool chunks)
    {
        fx.reset();
        plugin->flags = vst2::effFlagsCanReplacing | (chunks ? vst2::effFlagsProgramChunks : 0);
        fx = std::make_unique<EffectHolder>(plugin.path);
        ASSERT_EQ(fx->status, S_OK);
    }
    CZuVstEffect* e() { return fx->effect; }
    void SetParams(float base)
    {
        for (int i = 0; i < plugin->numParams; ++i) e()->SetParameter(i, base + 0.01f * float(i));
    }
    std::vector<float> Params()
    {
        std::vector<float> v;
        for (int i = 0; i < plugin->numParams; ++i) {
            float x = -1;
            e()->GetParameter(i, &x);
            v.push_back(x);
        }
        return v;
    }
};

} // namespace

TEST_F(Presets, ParameterProgramLayout)
{
    Make(false);
    SetParams(0.25f);
    Stream st;
    uint32_t written = 0;
    ASSERT_EQ(e()->SaveProgram(st.s, &written), S_OK);
    const Bytes b = st.Contents();
    ASSERT_EQ(b.size(), 56u + 4 * 8);
    EXPECT_EQ(written, b.size());
    EXPECT_EQ(Tag(b, 0), "CcnK");
    EXPECT_EQ(BE(b, 4), 48u + 32);
    EXPECT_EQ(Tag(b, 8), "FxCk");
    EXPECT_EQ(BE(b, 12), 0u);
    EXPECT_EQ(BE(b, 16), 0x5A74506Cu);
    EXPECT_EQ(BE(b, 20), 1200u);
    EXPECT_EQ(BE(b, 24), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[28])), "Program 0");
    EXPECT_EQ(b[55], 0);
    for (int i = 0; i < 8; ++i) {
        const float expected = 0.25f + 0.01f * float(i);
        uint32_t bits;
        std::memcpy(&bits, &expected, 4);
        EXPECT_EQ(BE(b, 56 + 4 * size_t(i)), bits);
    }
    uint32_t size = 0;
    EXPECT_EQ(e()->SaveProgram(nullptr, &size), S_OK);
    EXPECT_EQ(size, 88u);
    EXPECT_EQ(e()->SaveProgram(nullptr, nullptr), E_INVALIDARG);

    // A long name is cut to 27 bytes and a zero; no parameters give a 56-byte record.
    e()->SetProgramName(std::u16string(30, u'n').c_str());
    plugin->numParams = 0;
    Make(false);
    e()->SetProgramName(std::u16string(30, u'n').c_str());
    Stream empty;
    ASSERT_EQ(e()->SaveProgram(empty.s, &written), S_OK);
    const Bytes c = empty.Contents();
    ASSERT_EQ(c.size(), 56u);
    EXPECT_EQ(BE(c, 4), 48u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&c[28])), std::string(27, 'n'));
}

TEST_F(Presets, ChunkRecordLayouts)
{
    Make(true);
    Stream program, bank;
    uint32_t written = 0, size = 0;
    ASSERT_EQ(e()->SaveProgram(program.s, &written), S_OK);
    const Bytes p = program.Contents();
    const uint32_t s = BE(p, 56);
    ASSERT_GT(s, 0u);
    EXPECT_EQ(p.size(), 60u + s);
    EXPECT_EQ(written, p.size());
    EXPECT_EQ(Tag(p, 8), "FPCh");
    EXPECT_EQ(BE(p, 4), 52u + s);
    EXPECT_EQ(BE(p, 24), 8u);
    ASSERT_EQ(e()->SaveBank(bank.s, &written), S_OK);
    const Bytes k = bank.Contents();
    EXPECT_EQ(k.size(), 160u + s);
    EXPECT_EQ(Tag(k, 8), "FBCh");
    EXPECT_EQ(BE(k, 4), 152u + s);
    EXPECT_EQ(BE(k, 24), 4u);
    EXPECT_EQ(BE(k, 28), 0u);
    EXPECT_EQ(BE(k, 156), s);
    for (size_t i = 32; i < 156; ++i) ASSERT_EQ(k[i], 0);
    // The size queries still ask the plug-in for its chunk.
    plugin.ClearLog();
    EXPECT_EQ(e()->SaveProgram(nullptr, &size), S_OK);
    EXPECT_EQ(size, 60u + s);
    EXPECT_EQ(e()->SaveBank(nullptr, &size), S_OK);
    EXPECT_EQ(size, 160u + s);
    const auto ops = plugin.Opcodes();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), vst2::effGetChunk), 2);
    // A chunk the plug-in does not give is refused before anything is written.
    plugin->chunkAnswer = 0;
    Stream none;
    EXPECT_EQ(e()->SaveProgram(none.s, &written), E_UNEXPECTED);
    EXPECT_EQ(e()->SaveBank(none.s, &written), E_UNEXPECTED);
    EXPECT_TRUE(none.Contents().empty());
}

TEST_F(Presets, ParameterBankLayoutPatchedAtItsPosition)
{
    Make(false);
    e()->SetProgram(2);
    Stream st(Bytes(10, 0xEE));
    st.s->Seek(10, ZU_STREAM_SEEK_SET, nullptr);
    uint32_t written = 0;
    ASSERT_EQ(e()->SaveBank(st.s, &written), S_OK);
    const Bytes b = st.Contents();
    const size_t program = 56 + 4 * 8;
    ASSERT_EQ(b.size(), 10 + 156 + 4 * program);
    EXPECT_EQ(written, 156 + 4 * program);
    EXPECT_EQ(st.Position(), b.size()); // behind the last program
    EXPECT_EQ(Tag(b, 10), "CcnK");
    EXPECT_EQ(BE(b, 14), 148 + 4 * program);
    EXPECT_EQ(Tag(b, 18), "FxBk");
    EXPECT_EQ(BE(b, 34), 4u);
    EXPECT_EQ(BE(b, 38), 0u);
    for (int i = 0; i < 4; ++i) {
        const size_t at = 10 + 156 + size_t(i) * program;
        EXPECT_EQ(Tag(b, at + 8), "FxCk");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[at + 28])), "Program " + std::to_string(i));
    }
    int32_t current = -1;
    e()->GetProgram(&current);
    EXPECT_EQ(current, 2); // the same before and after
    uint32_t size = 0;
    EXPECT_EQ(e()->SaveBank(nullptr, &size), S_OK);
    EXPECT_EQ(size, 156 + 4 * program);
}

TEST_F(Presets, RoundTripsIntoAFreshInstance)
{
    for (bool chunks : {false, true}) {
        SCOPED_TRACE(chunks ? "chunks" : "parameters");
        Make(chunks);
        SetParams(0.4f);
        e()->SetProgramName(u"Warm Pad");
        Stream program, bank;
        uint32_t n = 0;
        ASSERT_EQ(e()->SaveProgram(program.s, &n), S_OK);
        e()->SetProgram(1);
        e()->SetProgramName(u"Second");
        ASSERT_EQ(e()->SaveBank(bank.s, &n), S_OK);
        const auto saved = Params();

        Make(chunks);
        program.Rewind();
        ASSERT_EQ(e()->LoadProgram(program.s), S_OK);
        EXPECT_EQ(Params(), saved);
        char16_t name[64];
        e()->GetProgramName(-1, name, 64);
        EXPECT_EQ(std::u16string(name), u"Warm Pad");
        EXPECT_EQ(program.Position(), program.Contents().size());

        Make(chunks);
        bank.Rewind();
        // A chunk bank restores the current program itself, so selecting it again has nothing to do.
        ASSERT_EQ(e()->LoadBank(bank.s, 1), chunks ? S_FALSE : S_OK);
        EXPECT_EQ(Params(), saved);
        int32_t current = -1;
        e()->GetProgram(&current);
        EXPECT_EQ(current, 1);
        e()->GetProgramName(1, name, 64);
        EXPECT_EQ(std::u16string(name), u"Second");
        e()->GetProgramName(0, name, 64);
        EXPECT_EQ(std::u16string(name), u"Warm Pad");
        bank.Rewind();
        EXPECT_EQ(e()->LoadBank(bank.s, 99), S_OK); // outside the range: program 0
        e()->GetProgram(&current);
        EXPECT_EQ(current, 0);
    }
    // An unchanged name sends no effSetProgramName.
    Make(false);
    Stream st;
    uint32_t n;
    e()->SaveProgram(st.s, &n);
    st.Rewind();
    plugin.ClearLog();
    ASSERT_EQ(e()->LoadProgram(st.s), S_OK);
    const auto ops = plugin.Opcodes();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), vst2::effSetProgramName), 0);
}

TEST_F(Presets, LoadChecksAndTheirStatuses)
{
    Make(false);
    Stream good;
    uint32_t n = 0;
    e()->SaveProgram(good.s, &n);
    const Bytes record = good.Contents();
    const struct {
        const char* name;
        size_t at;
        uint32_t value;
        HRESULT status;
    } rows[] = {
        {"record tag", 0, 0x43636E4C, ZU_E_PRESETMISMATCH},
        {"another plug-in", 16, 0x12345678, ZU_E_PRESETMISMATCH},
        {"newer version", 20, 1201, ZU_E_PRESETMISMATCH},
        {"older version", 20, 1199, S_OK},
        {"format version is ignored", 12, 7, S_OK},
        {"unknown kind", 8, 0x41424344, ZU_E_PRESETMISMATCH},
        {"chunk kind without chunks", 8, 0x46504368, ZU_E_PRESETMISMATCH},
        {"more parameters than the plug-in", 24, 9, ZU_E_PRESETMISMATCH},
    };
    for (const auto& r : rows) {
        Bytes b = record;
        PutBE(b, r.at, r.value);
        SetParams(0.1f);
        const auto before = Params();
        Stream st(b);
        EXPECT_EQ(e()->LoadProgram(st.s), r.status) << r.name;
        if (FAILED(r.status)) {
            EXPECT_EQ(Params(), before) << r.name; // no parameter changed
            if (r.at != 24) EXPECT_EQ(st.Position(), 0u) << r.name; // refused at the peek
        }
        Stream bank(b);
        if (r.at != 24 && r.at != 8) EXPECT_EQ(e()->LoadBank(bank.s, 0), FAILED(r.status) ? r.status : ZU_E_PRESETMISMATCH) << r.name;
    }
    for (size_t cut : {0u, 10u, 23u, 40u, 60u}) {
        Stream st(Bytes(record.begin(), record.begin() + long(cut)));
        EXPECT_EQ(e()->LoadProgram(st.s), E_UNEXPECTED) << cut;
    }
    EXPECT_EQ(e()->LoadProgram(nullptr), E_INVALIDARG);
}

TEST_F(Presets, UntrustedSizesAreBoundedByTheStream)
{
    Make(true);
    Stream st;
    uint32_t n;
    e()->SaveBank(st.s, &n);
    Bytes b = st.Contents();
    b.resize(100 + 160);
    for (uint32_t claim : {0x7FFFFFFFu, 0x80000000u, 0u, 101u}) {
        PutBE(b, 156, claim);
        Stream bad(b);
        EXPECT_EQ(e()->LoadBank(bad.s, 0), E_UNEXPECTED) << claim;
    }
    EXPECT_EQ(plugin->setChunkCount, 0);
}

TEST_F(Presets, ShorterProgramsInABankAreReadAtTheirOwnSize)
{
    // A bank written by a version of the plug-in with 3 parameters, loaded into one with 8.
    Make(false);
    SetParams(0.2f);
    const auto before = Params();
    Bytes bank(156, 0);
    PutBE(bank, 0, 0x43636E4B);
    PutBE(bank, 8, 0x4678426B);
    PutBE(bank, 16, 0x5A74506C);
    PutBE(bank, 20, 1100);
    PutBE(bank, 24, 2);
    for (int p = 0; p < 2; ++p) {
        Bytes prog(56 + 12, 0);
        PutBE(prog, 0, 0x43636E4B);
        PutBE(prog, 4, 48 + 12);
        PutBE(prog, 8, 0x4678436B);
        PutBE(prog, 16, 0x5A74506C);
        PutBE(prog, 20, 1100);
        PutBE(prog, 24, 3);
        std::snprintf(reinterpret_cast<char*>(&prog[28]), 28, "Old %d", p);
        for (int i = 0; i < 3; ++i) {
            const float v = 0.9f - 0.1f * float(p) - 0.01f * float(i);
            uint32_t bits;
            std::memcpy(&bits, &v, 4);
            PutBE(prog, 56 + 4 * size_t(i), bits);
        }
        bank.insert(bank.end(), prog.begin(), prog.end());
    }
    Stream st(bank);
    ASSERT_EQ(e()->LoadBank(st.s, 0), S_OK);
    char16_t name[64];
    e()->GetProgramName(1, name, 64);
    EXPECT_EQ(std::u16string(name), u"Old 1"); // the second record was read where it starts
    const auto after = Params();
    EXPECT_EQ(after[0], 0.9f - 0.1f * 1.0f - 0.01f * 0.0f); // the last program's values
    EXPECT_EQ(after[2], 0.9f - 0.1f * 1.0f - 0.01f * 2.0f);
    for (size_t i = 3; i < after.size(); ++i) EXPECT_EQ(after[i], before[i]); // beyond the record: kept
    EXPECT_EQ(st.Position(), bank.size());
}

TEST(Streams, FileStreamRoundTripAndErrors)
{
    const std::string file = testing::TempDir() + "zuvst_stream_test.fxp";
    const std::u16string path(file.begin(), file.end());
    IStream* s = nullptr;
    ASSERT_EQ(ZuCreateFileStream(path.c_str(), ZU_FILE_CREATE, &s), S_OK);
    ULONG n = 0;
    EXPECT_EQ(s->Write("abcdef", 6, &n), S_OK);
    uint64_t pos = 0;
    EXPECT_EQ(s->Seek(-4, ZU_STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(pos, 2u);
    char buf[8] = {};
    EXPECT_EQ(s->Read(buf, 8, &n), S_FALSE);
    EXPECT_EQ(n, 4u);
    EXPECT_STREQ(buf, "cdef");

    EXPECT_LT(s->Seek(-100, ZU_STREAM_SEEK_CUR, nullptr), 0);
    s->Release();
    EXPECT_LT(ZuCreateFileStream(u"/nonexistent/dir/x.fxp", ZU_FILE_READ, &s), 0);
    EXPECT_EQ(ZuCreateFileStream(nullptr, ZU_FILE_READ, &s), E_INVALIDARG);
    std::remove(file.c_str());
}
