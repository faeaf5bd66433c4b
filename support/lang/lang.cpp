// Language contexts and numbered strings: the program's string tables, the "^*" rule and a cache whose
// texts never move.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/module_path.h"
#include "zuvst/support.h"

namespace {

struct StringEntry {
    uint32_t language;
    uint32_t number;
    const char16_t* text;
};

const StringEntry kStrings[] = {
#include "string_tables.inc"
};

constexpr uint32_t kEnglishUS = 0x0409;
const WCHAR kEmpty[1] = {0};

const char16_t* FindString(uint32_t language, uint32_t number)
{
    for (const StringEntry& e : kStrings)
        if (e.language == language && e.number == number) return e.text;
    return nullptr;
}

// The thread's user-interface language from the environment, as a language id of our tables.
uint32_t UserInterfaceLanguage()
{
    const char* value = nullptr;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            value = v;
            break;
        }
    }
    if (!value) return kEnglishUS;
    const std::string first(value, std::strcspn(value, ":"));
    const struct {
        const char* prefix;
        uint32_t id;
    } map[] = {{"de", 0x0407}, {"en", 0x0409}, {"es", 0x040A}, {"fr", 0x040C}, {"ja", 0x0411}};
    for (const auto& m : map)
        if (first.compare(0, 2, m.prefix) == 0 && (first.size() == 2 || first[2] == '_' || first[2] == '.'))
            return m.id;
    return kEnglishUS;
}

} // namespace

struct ZuLangContext {
    void* hInstance = nullptr;
    bool lockReady = false;
    std::mutex lock;
    uint32_t scratchCapacity = 0;
    uint32_t scratchReserve = 0;
    uint32_t scratchPosition = 0;
    WCHAR* scratch = nullptr;
    void* hResModule = nullptr; // the language module's handle, or hInstance when there is none
    bool haveLanguageModule = false;
    uint32_t lcid = 0;
    std::map<uint32_t, std::u16string>* cache = nullptr; // map nodes never move
};

extern "C" {

HRESULT ZuLang_Open(HZULANG* out, void* instance, uint32_t lcid, uint32_t capacity)
{
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    auto* h = new (std::nothrow) ZuLangContext;
    if (!h) return E_OUTOFMEMORY;
    h->scratchCapacity = capacity == 0 ? 8192 : capacity <= 2048 ? 2048 : capacity;
    h->scratchReserve = 1024;
    h->scratch = new (std::nothrow) WCHAR[h->scratchCapacity]();
    h->cache = new (std::nothrow) std::map<uint32_t, std::u16string>;
    if (!h->scratch || !h->cache) {
        ZuLang_Close(h);
        return E_OUTOFMEMORY;
    }
    if (lcid) h->lcid = lcid;
    h->hInstance = instance;
    h->hResModule = instance;
    // The language module: the program's file name with "LNG" after its last ".", or ".LNG" added.
    std::string path = zuvst::platform::ModuleFilePath(instance);
    if (!path.empty()) {
        const size_t slash = path.rfind('/');
        const size_t dot = path.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
            path.find_first_of(" \t", dot) == std::string::npos)
            path.replace(dot + 1, std::string::npos, "LNG");
        else
            path += ".LNG";
        if (void* module = zuvst::platform::OpenLanguageModule(path.c_str())) {
            h->hResModule = module;
            h->haveLanguageModule = true;
        }
    }
    h->lockReady = true;
    *out = h;
    return S_OK;
}

int32_t ZuLang_Close(HZULANG h)
{
    if (!h) return 0;
    h->lockReady = false;
    if (h->haveLanguageModule) zuvst::platform::CloseLanguageModule(h->hResModule);
    delete[] h->scratch;
    delete h->cache;
    delete h;
    return 0;
}

int32_t ZuLoadString(HZULANG h, uint32_t number, WCHAR* buffer, int32_t capacity)
{
    if (!buffer || capacity <= 0) return 0;
    buffer[0] = 0;
    if (!h) return 0;
    // Without a language module the US English table answers; with one, the thread's language does.
    const uint32_t language = h->haveLanguageModule ? UserInterfaceLanguage() : kEnglishUS;
    const char16_t* text = FindString(language, number);
    if (!text && language != kEnglishUS) text = FindString(kEnglishUS, number);
    if (!text) return 0;
    size_t length = std::char_traits<char16_t>::length(text);
    if (length > size_t(capacity) - 1) length = size_t(capacity) - 1;
    std::memcpy(buffer, text, length * sizeof(WCHAR));
    buffer[length] = 0;
    if (length >= 2 && buffer[0] == u'^' && buffer[1] == u'*') {
        std::memmove(buffer, buffer + 2, (length - 1) * sizeof(WCHAR));
        length -= 2;
    }
    return int32_t(length);
}

const WCHAR* ZuGetString(HZULANG h, uint32_t number)
{
    if (!h || !h->cache) return kEmpty;
    std::lock_guard<std::mutex> g(h->lock);
    auto it = h->cache->find(number);
    if (it != h->cache->end()) return it->second.c_str();
    WCHAR local[1024];
    if (ZuLoadString(h, number, local, 1024) == 0) return kEmpty;
    try {
        return h->cache->emplace(number, local).first->second.c_str();
    } catch (...) {
        return kEmpty;
    }
}

void* ZuLoadCursor(HZULANG h, uintptr_t name)
{
    // Cursors are the window system's; without one, the standard cursor ids (0x7F00..0xFFFF) stand for
    // themselves and other names have nothing to load.
    (void)h;
    return name >= 0x7F00 && name <= 0xFFFF ? reinterpret_cast<void*>(name) : nullptr;
}
}
