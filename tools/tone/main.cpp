// zuvst-tone: writes a short test signal (a sine sweep with a click at its start) to an audio file, so that
// the project's demonstration needs no file from elsewhere.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: zuvst-tone OUT.wav [SECONDS] [CHANNELS]\n");
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    const int channels = argc > 3 ? std::atoi(argv[3]) : 2;
    if (!(seconds > 0 && seconds <= 600) || channels < 1 || channels > 8) {
        std::fprintf(stderr, "zuvst-tone: SECONDS from 0 to 600, CHANNELS from 1 to 8\n");
        return 2;
    }
    SF_INFO info {};
    info.samplerate = 48000;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(argv[1], SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "zuvst-tone: writing %s failed: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    const long frames = long(seconds * info.samplerate);
    std::vector<double> block(static_cast<size_t>(channels), 0.0);
    double phase = 0;
    for (long i = 0; i < frames; ++i) {
        const double t = double(i) / frames;
        phase += 2 * M_PI * (110.0 * std::pow(40.0, t)) / info.samplerate; // 110 Hz up to 4.4 kHz
        for (int c = 0; c < channels; ++c) block[size_t(c)] = (i < 48 ? 0.9 : 0.4) * std::sin(phase + c * 0.5);
        sf_writef_double(file, block.data(), 1);
    }
    sf_close(file);
    std::printf("%s: %.2f s of a sine sweep, %d channel(s), 48000 Hz, 16-bit\n", argv[1], seconds, channels);
    return 0;
}
