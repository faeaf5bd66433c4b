// Probing every plug-in of the distribution's packages, inline and through the probe worker.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "zuvst/launcher.h"

namespace {

const std::vector<std::u16string>& Plugins()
{
    static const std::vector<std::u16string> files = [] {
        std::vector<std::u16string> out;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator("/usr/lib/vst", ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_regular_file() && it->path().extension() == ".so") {
                const std::string s = it->path().string();
                out.emplace_back(s.begin(), s.end());
            }
        std::sort(out.begin(), out.end());
        return out;
    }();
    return files;
}

void ProbeAll(benchmark::State& state)
{
    const uint32_t limit = uint32_t(state.range(0));
    IZuVstEffectFactory* factory = nullptr;
    CreateEffectFactory(IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory));
    for (auto _ : state) {
        int ok = 0;
        for (const auto& path : Plugins()) {
            char16_t name[64], vendor[64], product[64];
            ZUVSTEFFECTINFO info;
            ok += factory->ProbeEffect(path.c_str(), 0, name, vendor, product, &info, limit) >= 0;
        }
        state.counters["probed"] = ok;
    }
    factory->Release();
}

} // namespace

// 0: inline; 10000 ms: on the probe worker.
BENCHMARK(ProbeAll)->Arg(0)->Arg(10000)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
