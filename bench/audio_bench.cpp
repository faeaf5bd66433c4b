// Conversion kernels beside memcpy of the same bytes and beside libswresample converting the same data
// between the same formats: 4096 stereo frames.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "zuvst/support.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int kFrames = 4096;

struct Buffers {
    std::vector<float> left, right;
    std::vector<uint8_t> interleaved;
    explicit Buffers(int bytes)
        : left(kFrames), right(kFrames), interleaved(size_t(kFrames) * 2 * bytes)
    {
        for (int i = 0; i < kFrames; ++i) left[size_t(i)] = right[size_t(i)] = float((i % 200) - 100) / 101.0f;
    }
};

int HostBytes(int type) { return type == 128 || type == 129 ? 4 : int(ZuAudio_BytesFromSampleType(type)); }

// The interleaved host format libswresample has for a type; AV_SAMPLE_FMT_NONE when it has none.
AVSampleFormat SwrFormat(int type)
{
    switch (type) {
    case 16: return AV_SAMPLE_FMT_U8;
    case 17: return AV_SAMPLE_FMT_S16;
    case 19: return AV_SAMPLE_FMT_S32;
    case 32: return AV_SAMPLE_FMT_FLT;
    case 33: return AV_SAMPLE_FMT_DBL;
    default: return AV_SAMPLE_FMT_NONE;
    }
}

void KernelsToHost(benchmark::State& state)
{
    const int type = int(state.range(0));
    Buffers b(HostBytes(type));
    const auto k = ZuAudio_GetCopyChannelsFunction2(type, 32);
    for (auto _ : state) {
        k(b.interleaved.data(), 2, 0, b.left.data(), 1, 0, kFrames);
        k(b.interleaved.data(), 2, 1, b.right.data(), 1, 0, kFrames);
        benchmark::DoNotOptimize(b.interleaved.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * 2 * 4);
}

void KernelsFromHost(benchmark::State& state)
{
    const int type = int(state.range(0));
    Buffers b(HostBytes(type));
    ZuAudio_GetCopyChannelsFunction2(type, 32)(b.interleaved.data(), 2, 0, b.left.data(), 1, 0, kFrames);
    const auto k = ZuAudio_GetCopyChannelsFunction2(32, type);
    for (auto _ : state) {
        k(b.left.data(), 1, 0, b.interleaved.data(), 2, 0, kFrames);
        k(b.right.data(), 1, 0, b.interleaved.data(), 2, 1, kFrames);
        benchmark::DoNotOptimize(b.left.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * 2 * 4);
}

void SwrConvert(benchmark::State& state, bool toHost)
{
    const int type = int(state.range(0));
    const AVSampleFormat host = SwrFormat(type);
    if (host == AV_SAMPLE_FMT_NONE) {
        state.SkipWithError("no such format in libswresample");
        return;
    }
    Buffers b(HostBytes(type));
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* swr = nullptr;
    if (toHost)
        swr_alloc_set_opts2(&swr, &stereo, host, 48000, &stereo, AV_SAMPLE_FMT_FLTP, 48000, 0, nullptr);
    else
        swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_FLTP, 48000, &stereo, host, 48000, 0, nullptr);
    swr_init(swr);
    uint8_t* planar[2] = {reinterpret_cast<uint8_t*>(b.left.data()), reinterpret_cast<uint8_t*>(b.right.data())};
    uint8_t* packed[1] = {b.interleaved.data()};
    for (auto _ : state) {
        if (toHost)
            swr_convert(swr, packed, kFrames, const_cast<const uint8_t**>(planar), kFrames);
        else
            swr_convert(swr, planar, kFrames, const_cast<const uint8_t**>(packed), kFrames);
        benchmark::DoNotOptimize(b.interleaved.data());
    }
    swr_free(&swr);
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * 2 * 4);
}

void SwrToHost(benchmark::State& state) { SwrConvert(state, true); }
void SwrFromHost(benchmark::State& state) { SwrConvert(state, false); }

void MemcpyHostBytes(benchmark::State& state)
{
    Buffers b(HostBytes(int(state.range(0))));
    std::vector<uint8_t> other(b.interleaved.size());
    for (auto _ : state) {
        std::memcpy(other.data(), b.interleaved.data(), other.size());
        benchmark::DoNotOptimize(other.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * 2 * 4);
}

void FloatSplit(benchmark::State& state)
{
    Buffers b(4);
    for (auto _ : state) {
        ZuAudio_DeInterleaveStereo(b.left.data(), b.right.data(), b.interleaved.data(), ZUSAMPLETYPE_FLOAT32, kFrames);
        benchmark::DoNotOptimize(b.left.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * 8);
}

void FloatJoin(benchmark::State& state)
{
    Buffers b(4);
    for (auto _ : state) {
        ZuAudio_InterleaveStereo(b.interleaved.data(), b.left.data(), b.right.data(), ZUSAMPLETYPE_FLOAT32, kFrames);
        benchmark::DoNotOptimize(b.interleaved.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * 8);
}

void HostTypes(benchmark::internal::Benchmark* b)
{
    for (int t : {16, 17, 18, 19, 32, 33, 48, 49, 64, 65, 66, 128, 129}) b->Arg(t);
}

} // namespace

BENCHMARK(FloatSplit);
BENCHMARK(FloatJoin);
BENCHMARK(MemcpyHostBytes)->Arg(32);
BENCHMARK(KernelsToHost)->Apply(HostTypes);
BENCHMARK(SwrToHost)->Apply(HostTypes);
BENCHMARK(KernelsFromHost)->Apply(HostTypes);
BENCHMARK(SwrFromHost)->Apply(HostTypes);
BENCHMARK(MemcpyHostBytes)->Apply(HostTypes);
BENCHMARK_MAIN();
