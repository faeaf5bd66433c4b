// Process through the audio path beside the plug-in's own processReplacing on planar buffers, and
// beside libswresample doing the same two conversions (host to planar float, and back).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "zuvst/launcher.h"
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace {

zuvst::CZuVstEffect* Gain()
{
    static zuvst::CZuVstEffect* effect = [] {
        const std::string file = ZT_PLUGIN_DIR "/zt_plugin.so";
        const std::u16string path(file.begin(), file.end());
        HRESULT hr;
        auto* e = new zuvst::CZuVstEffect(path.c_str(), 0, &hr);
        e->SetSampleRate(48000.0);
        e->Start(0);
        return e;
    }();
    return effect;
}

int Bytes(int type) { return int(ZuAudio_BytesFromSampleType(type)); }

void PathProcess(benchmark::State& state)
{
    const int frames = int(state.range(0)), type = int(state.range(1));
    auto* e = Gain();
    e->SetSampleType(type);
    std::vector<uint8_t> in(size_t(frames) * 2 * size_t(Bytes(type)), 0x11), out(in.size());
    for (auto _ : state) {
        e->Process(in.data(), 2, out.data(), 2, frames, Bytes(type));
        benchmark::DoNotOptimize(out.data());
    }
}

void DirectProcessReplacing(benchmark::State& state)
{
    const int frames = int(state.range(0));
    auto* fx = Gain()->Descriptor();
    const size_t n = static_cast<size_t>(frames);
    std::vector<float> l(n, 0.1f), r(n, 0.1f), ol(n), orr(n);
    float* ins[2] = {l.data(), r.data()};
    float* outs[2] = {ol.data(), orr.data()};
    for (auto _ : state) {
        fx->processReplacing(fx, ins, outs, frames);
        benchmark::DoNotOptimize(ol.data());
    }
}

void SwrBothWays(benchmark::State& state)
{
    const int frames = int(state.range(0)), type = int(state.range(1));
    const AVSampleFormat host = type == 32 ? AV_SAMPLE_FMT_FLT : type == 17 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext *in = nullptr, *out = nullptr;
    swr_alloc_set_opts2(&in, &stereo, AV_SAMPLE_FMT_FLTP, 48000, &stereo, host, 48000, 0, nullptr);
    swr_alloc_set_opts2(&out, &stereo, host, 48000, &stereo, AV_SAMPLE_FMT_FLTP, 48000, 0, nullptr);
    swr_init(in);
    swr_init(out);
    const int hostBytes = type == 17 ? 2 : 4; // libswresample has no packed 24-bit: 32-bit stands in
    std::vector<uint8_t> packedIn(size_t(frames) * 2 * size_t(hostBytes)), packedOut(packedIn.size());
    const size_t n = static_cast<size_t>(frames);
    std::vector<float> l(n), r(n);
    uint8_t* planar[2] = {reinterpret_cast<uint8_t*>(l.data()), reinterpret_cast<uint8_t*>(r.data())};
    const uint8_t* pin[1] = {packedIn.data()};
    uint8_t* pout[1] = {packedOut.data()};
    for (auto _ : state) {
        swr_convert(in, planar, frames, pin, frames);
        swr_convert(out, pout, frames, const_cast<const uint8_t**>(planar), frames);
        benchmark::DoNotOptimize(packedOut.data());
    }
    swr_free(&in);
    swr_free(&out);
}

void Shapes(benchmark::internal::Benchmark* b)
{
    for (int type : {32, 17, 18})
        for (int frames : {64, 128, 512, 4096}) b->Args({frames, type});
}

} // namespace

BENCHMARK(PathProcess)->Apply(Shapes);
BENCHMARK(DirectProcessReplacing)->Arg(64)->Arg(128)->Arg(512)->Arg(4096);
BENCHMARK(SwrBothWays)->Apply(Shapes);
BENCHMARK_MAIN();
