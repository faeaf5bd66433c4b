// zuvst: the command-line host. It uses only the public headers and the installed library.
#include <zuvst/launcher.h>

#include "cli.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zuvst_cli {

const char kUsage[] =
    "usage: zuvst VERB PLUGIN|DIR... [FILES] [options]\n"
    "\n"
    "verbs:\n"
    "  probe PLUGIN [--unique-id ID] [--timeout MS] [--json]\n"
    "                                           names and information record of a plug-in\n"
    "  shell PLUGIN [--json]                    sub-plug-ins of a shell: unique ID and name\n"
    "  params PLUGIN [--unique-id ID] [--json]  index, name, display, label, value, properties\n"
    "  process PLUGIN IN OUT [--unique-id ID] [--block N] [--sample-type T] [--rate HZ]\n"
    "          [--param I=V ...] [--program N] [--load PRESET] [--save PRESET] [--bank] [--tail]\n"
    "          [--progress|--quiet]             an audio file through the plug-in into OUT\n"
    "  edit PLUGIN [--unique-id ID]             the plug-in's editor in a window (needs X11)\n"
    "  scan DIR... [--timeout MS] [--jobs N] [--json]\n"
    "                                           probe every .so file under the directories, each\n"
    "                                           in a server of its own; a summary at the end\n"
    "\n"
    "options:\n"
    "  --unique-id ID   choose the sub-plug-in of a shell (decimal, 0x hex, or four characters)\n"
    "  --timeout MS     probe on a worker thread and give up after MS milliseconds (plus about a\n"
    "                   second to stop the plug-in's thread); 0, the default, probes inline (scan: 5000)\n"
    "  --json           print JSON instead of a table (scan: one object per line)\n"
    "  --jobs N         scan: probes at once (default 1)\n"
    "  --block N        frames per block (default 1024)\n"
    "  --sample-type T  the host sample type (16-19, 32, 33, 48, 49, 64-66, 128, 129); by default the\n"
    "                   one of the output file's sample format\n"
    "  --rate HZ        the sample rate given to the plug-in and written (default the input's)\n"
    "  --param I=V      set parameter I to V (0 to 1) before processing; may be repeated\n"
    "  --program N      choose program N (with --bank --load: the program after loading)\n"
    "  --load PRESET    load a program (or with --bank a bank) file before processing\n"
    "  --save PRESET    save the program (or with --bank the bank) after processing\n"
    "  --tail           go on for the plug-in's tail after the input ends\n"
    "  --progress, --quiet  show or hide the progress bar (shown on a terminal by default)\n"
    "  --in-process     load the plug-in in this process; by default it runs in a server process,\n"
    "                   so that a plug-in that crashes or hangs cannot take zuvst down\n"
    "  -h, --help       show this text\n"
    "\n"
    "exit status: 0 done, 1 the plug-in or a file refused the work, 2 usage error\n";

std::u16string Widen(const std::string& s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
        if (i + len <= s.size()) {
            cp = len == 1 ? b : b & (0x7F >> len);
            for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        i += len;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Narrow(const char16_t* s)
{
    std::string out;
    for (; *s; ++s) {
        uint32_t cp = *s;
        if (cp >= 0xD800 && cp <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[1] - 0xDC00);
            ++s;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string Json(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Status(HRESULT hr)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08X", static_cast<uint32_t>(hr));
    return buf;
}

bool ParseUniqueId(const char* text, int32_t* id)
{
    if (std::strlen(text) == 4 && !(text[0] >= '0' && text[0] <= '9')) {
        *id = static_cast<int32_t>((uint32_t(uint8_t(text[0])) << 24) | (uint32_t(uint8_t(text[1])) << 16) |
                                   (uint32_t(uint8_t(text[2])) << 8) | uint32_t(uint8_t(text[3])));
        return true;
    }
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 0);
    if (!*text || *end || v < INT32_MIN || v > 0xFFFFFFFFLL) return false;
    *id = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}


std::string ServerEndText(HRESULT hr)
{
    if (uint32_t(hr) != 0x80010108u) return {};
    ZUVSTSERVEREND end {};
    // The connection breaks as the server ends; how it ended is recorded a moment later.
    for (int waited = 0; waited < 1000; waited += 10) {
        if (GetLastServerEnd(&end) != S_OK || end.state != ZUVST_SERVER_RUNNING) break;
        usleep(10000);
    }
    if (!end.pid || end.state == ZUVST_SERVER_RUNNING) return {};
    char text[96];
    std::snprintf(text, sizeof(text), "the server (process %u) %s %d", end.pid,
                  end.state == ZUVST_SERVER_EXITED   ? "exited with code"
                  : end.state == ZUVST_SERVER_KILLED ? "was killed by signal"
                                                     : "ended, code",
                  end.code);
    return text;
}

int Fail(const char* what, HRESULT hr)
{
    const std::string end = ServerEndText(hr);
    std::fprintf(stderr, "zuvst: %s failed: status %s%s%s\n", what, Status(hr).c_str(), end.empty() ? "" : ": ",
                 end.c_str());
    return 1;
}

struct Factory {
    IZuVstEffectFactory* p = nullptr;
    BOOL inProcess = FALSE;
    ~Factory()
    {
        if (p) ReleaseEffectFactory(inProcess, p);
    }
};

int Probe(IZuVstEffectFactory* factory, const Options& o)
{
    char16_t name[64] = {}, vendor[64] = {}, product[64] = {};
    ZUVSTEFFECTINFO info {};
    const std::u16string path = Widen(o.plugin);
    const HRESULT hr = factory->ProbeEffect(path.c_str(), o.uniqueId, name, vendor, product, &info, o.timeout);
    if (o.json) {
        const std::string end = ServerEndText(hr);
        const char* result = SUCCEEDED(hr)                 ? "ok"
                             : uint32_t(hr) == 0x8004E00Cu ? "timeout"
                             : uint32_t(hr) == 0x80010108u ? "crashed"
                                                           : "failed";
        std::printf("{\"path\":%s,\"result\":\"%s\",\"serverEnd\":%s,", Json(o.plugin).c_str(), result,
                    Json(end).c_str());
        std::printf("\"status\":%s,\"name\":%s,\"vendor\":%s,\"product\":%s,\"uniqueId\":%d,"
                    "\"version\":%d,\"vendorVersion\":%d,\"programs\":%d,\"params\":%d,\"inputs\":%d,"
                    "\"outputs\":%d,\"initialDelay\":%d,\"flags\":%d}\n",
                    Json(Status(hr)).c_str(), Json(Narrow(name)).c_str(),
                    Json(Narrow(vendor)).c_str(), Json(Narrow(product)).c_str(), info.uniqueID, info.version,
                    info.vendorVersion, info.numPrograms, info.numParams, info.numInputs, info.numOutputs,
                    info.initialDelay, info.flags);
    } else if (SUCCEEDED(hr)) {
        std::printf("path           %s\nstatus         %s\nname           %s\nvendor         %s\n"
                    "product        %s\nunique ID      0x%08X\nversion        %d\nvendor version %d\n"
                    "programs       %d\nparameters     %d\ninputs         %d\noutputs        %d\n"
                    "initial delay  %d\nflags          0x%08X\n",
                    o.plugin.c_str(), Status(hr).c_str(), Narrow(name).c_str(), Narrow(vendor).c_str(),
                    Narrow(product).c_str(), static_cast<uint32_t>(info.uniqueID), info.version,
                    info.vendorVersion, info.numPrograms, info.numParams, info.numInputs, info.numOutputs,
                    info.initialDelay, static_cast<uint32_t>(info.flags));
    }
    return FAILED(hr) ? Fail(("probe of " + o.plugin).c_str(), hr) : 0;
}

int Shell(IZuVstEffectFactory* factory, const Options& o)
{
    IZuVstEffect* effect = nullptr;
    const std::u16string path = Widen(o.plugin);
    const HRESULT hr = factory->CreateEffect(path.c_str(), 0, IID_IZuVstEffect, reinterpret_cast<void**>(&effect));
    if (FAILED(hr)) return Fail(("loading " + o.plugin).c_str(), hr);
    std::string out = o.json ? "[" : "";
    int count = 0;
    for (;;) {
        int32_t id = 0;
        char16_t name[1024] = {};
        if (effect->ShellGetNextPlugin(&id, name, 1024) != S_OK || count >= 100000) break;
        char line[64];
        if (o.json) {
            std::snprintf(line, sizeof(line), "%s{\"uniqueId\":%d,\"name\":", count ? "," : "", id);
            out += line + Json(Narrow(name)) + "}";
        } else {
            std::snprintf(line, sizeof(line), "0x%08X  ", static_cast<uint32_t>(id));
            out += line + Narrow(name) + "\n";
        }
        ++count;
    }
    effect->Release();
    if (o.json) out += "]\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}

int Params(IZuVstEffectFactory* factory, const Options& o)
{
    IZuVstEffect* effect = nullptr;
    const std::u16string path = Widen(o.plugin);
    const HRESULT hr =
        factory->CreateEffect(path.c_str(), o.uniqueId, IID_IZuVstEffect, reinterpret_cast<void**>(&effect));
    if (FAILED(hr)) return Fail(("loading " + o.plugin).c_str(), hr);
    ZUVSTEFFECTINFO info {};
    effect->GetInfo(&info);
    std::string out = o.json ? "[" : "";
    for (int32_t i = 0; i < info.numParams; ++i) {
        char16_t name[64] = {}, display[64] = {}, label[64] = {};
        float value = 0.0f;
        effect->GetParameterName(i, name, 64);
        effect->GetParameterDisplay(i, display, 64);
        effect->GetParameterLabel(i, label, 64);
        effect->GetParameter(i, &value);
        ZUVSTPARAMPROPS props {};
        const bool haveProps = effect->GetParameterProperties(i, &props) == S_OK;
        char buf[128];
        if (o.json) {
            std::snprintf(buf, sizeof(buf), "%s{\"index\":%d,\"name\":", i ? "," : "", i);
            out += buf + Json(Narrow(name)) + ",\"display\":" + Json(Narrow(display)) +
                   ",\"label\":" + Json(Narrow(label));
            std::snprintf(buf, sizeof(buf), ",\"value\":%.9g,\"properties\":", value);
            out += buf;
            if (haveProps) {
                std::snprintf(buf, sizeof(buf), "{\"flags\":%d,\"minInteger\":%d,\"maxInteger\":%d,\"label\":",
                              props.flags, props.minInteger, props.maxInteger);
                out += buf + Json(Narrow(props.label)) + "}";
            } else {
                out += "null";
            }
            out += "}";
        } else {
            std::snprintf(buf, sizeof(buf), "%4d  %-24s %-14s %-8s %.6f\n", i, Narrow(name).c_str(),
                          Narrow(display).c_str(), Narrow(label).c_str(), value);
            out += buf;
        }
    }
    effect->Release();
    if (o.json) out += "]\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}

} // namespace zuvst_cli

using namespace zuvst_cli;

int main(int argc, char** argv)
{
    Options o;
    bool timeoutGiven = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--timeout") {
            char* end = nullptr;
            const unsigned long v = i + 1 < argc ? std::strtoul(argv[++i], &end, 10) : 0;
            if (!end || *end || v > 0xFFFFFFFEul) {
                std::fprintf(stderr, "zuvst: --timeout needs a number of milliseconds\n%s", kUsage);
                return 2;
            }
            o.timeout = uint32_t(v);
            timeoutGiven = true;
        } else if (a == "--in-process") {
            o.inProcess = true;
        } else if (a == "--jobs") {
            const int v = i + 1 < argc ? std::atoi(argv[++i]) : 0;
            if (v < 1 || v > 64) {
                std::fprintf(stderr, "zuvst: --jobs needs a number from 1 to 64\n%s", kUsage);
                return 2;
            }
            o.jobs = v;
        } else if (a == "--bank") {
            o.bank = true;
        } else if (a == "--tail") {
            o.tail = true;
        } else if (a == "--progress" || a == "--quiet") {
            o.progress = a == "--progress" ? 1 : 0;
        } else if (a == "--block" || a == "--sample-type" || a == "--program" || a == "--rate") {
            char* end = nullptr;
            const double v = i + 1 < argc ? std::strtod(argv[++i], &end) : 0;
            const bool whole = end && !*end && v == double(int64_t(v));
            if (!end || *end || (a != "--rate" && !whole) || (a == "--block" && (v < 1 || v > 1 << 20)) ||
                (a == "--rate" && (v < 1 || v > 1e7)) || (a == "--program" && (v < 0 || v > INT32_MAX)) ||
                (a == "--sample-type" && (v < 1 || v > 255))) {
                std::fprintf(stderr, "zuvst: %s needs a number in range\n%s", a.c_str(), kUsage);
                return 2;
            }
            if (a == "--block") o.block = int32_t(v);
            if (a == "--sample-type") o.sampleType = int32_t(v);
            if (a == "--program") o.program = int32_t(v);
            if (a == "--rate") o.rate = v;
        } else if (a == "--param") {
            int index = -1;
            float value = 0;
            char extra = 0;
            if (i + 1 >= argc || std::sscanf(argv[++i], "%d=%f%c", &index, &value, &extra) != 2 || index < 0) {
                std::fprintf(stderr, "zuvst: --param needs INDEX=VALUE\n%s", kUsage);
                return 2;
            }
            o.params.emplace_back(index, value);
        } else if (a == "--load" || a == "--save") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zuvst: %s needs a file\n%s", a.c_str(), kUsage);
                return 2;
            }
            (a == "--load" ? o.load : o.save) = argv[++i];
        } else if (a == "--unique-id") {
            if (i + 1 >= argc || !ParseUniqueId(argv[++i], &o.uniqueId)) {
                std::fprintf(stderr, "zuvst: --unique-id needs a number or four characters\n%s", kUsage);
                return 2;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "zuvst: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            positional.push_back(a);
        }
    }
    if (!positional.empty() && positional[0] == "scan") {
        if (positional.size() < 2) {
            std::fprintf(stderr, "zuvst: scan needs one or more directories\n%s", kUsage);
            return 2;
        }
        o.verb = "scan";
        o.files.assign(positional.begin() + 1, positional.end());
        if (!timeoutGiven) o.timeout = 5000;
        return Scan(o);
    }
    const size_t wanted = !positional.empty() && positional[0] == "process" ? 4 : 2;
    if (positional.size() != wanted) {
        std::fprintf(stderr, "zuvst: expected a verb and a plug-in%s\n%s", wanted == 4 ? ", IN and OUT" : "", kUsage);
        return 2;
    }
    o.verb = positional[0];
    o.plugin = positional[1];
    o.files.assign(positional.begin() + 2, positional.end());
    int (*verb)(IZuVstEffectFactory*, const Options&) = o.verb == "probe"    ? Probe
                                                        : o.verb == "shell"  ? Shell
                                                        : o.verb == "params" ? Params
                                                        : o.verb == "process" ? ProcessFile
                                                        : o.verb == "edit"    ? Edit
                                                                             : nullptr;
    if (!verb) {
        std::fprintf(stderr, "zuvst: unknown verb %s\n%s", o.verb.c_str(), kUsage);
        return 2;
    }
    Factory factory;
    factory.inProcess = o.inProcess ? TRUE : FALSE;
    const HRESULT hr = ConnectEffectFactory(factory.inProcess, IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory.p),
                                            u"zuvst", u"zuvst command-line host", nullptr);
    if (FAILED(hr)) return Fail("getting the effect factory", hr);
    return verb(factory.p, o);
}
