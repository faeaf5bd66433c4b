#include "zuvstwrap/server/command_line.h"

#include "platform/text.h"

namespace zuvst {

namespace {

bool IsDelimiter(WCHAR c) { return c == u'-' || c == u'/'; }

// wcstok over "-/" on one element: skips leading delimiters, returns the token's start (null when there is
// none) and writes a terminator over the first delimiter after it.
WCHAR* CutToken(std::u16string& element)
{
    WCHAR* p = element.data();
    while (*p && IsDelimiter(*p)) ++p;
    if (!*p) return nullptr;
    WCHAR* token = p;
    while (*p && !IsDelimiter(*p)) ++p;
    if (*p) *p = 0;
    return token;
}

} // namespace

CommandLineArgs MakeCommandLineArgs(int argc, char** argv)
{
    CommandLineArgs args;
    for (int i = 0; i < argc; ++i) args.elements.push_back(platform::Utf8ToWideString(argv[i]));
    return args;
}

int FindOption(CommandLineArgs& args, const WCHAR* name)
{
    for (size_t i = 1; i < args.elements.size(); ++i) {
        std::u16string& element = args.elements[i];
        const WCHAR* token = CutToken(element);
        if (!token || token == element.data()) continue; // no token, or a value: it had no leading delimiter
        if (platform::CompareWideNoCase(token, name) == 0) return int(i);
    }
    return 0;
}

const WCHAR* GetOptionValue(CommandLineArgs& args, const WCHAR* name)
{
    if (args.elements.empty()) return nullptr;
    const size_t i = size_t(FindOption(args, name)) + 1;
    if (i < 2 || i >= args.elements.size()) return nullptr;
    std::u16string& element = args.elements[i];
    const WCHAR* token = CutToken(element);
    return token && token == element.data() ? element.c_str() : nullptr;
}

std::u16string BuildServerCommandLine(const std::u16string& serverPath, const std::u16string& eventName,
                                      const WCHAR* vendor, const WCHAR* product)
{
    // A path with blanks is quoted, or it would split into several elements.
    std::u16string line = serverPath.find(u' ') == std::u16string::npos ? serverPath : u"\"" + serverPath + u"\"";
    line += u" -Event " + eventName;
    if (vendor) line += u" -Vendor \"" + std::u16string(vendor) + u"\"";
    if (product) line += u" -Product \"" + std::u16string(product) + u"\"";
    return line;
}

std::vector<std::u16string> SplitCommandLine(const std::u16string& line)
{
    std::vector<std::u16string> out;
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && (line[i] == u' ' || line[i] == u'\t')) ++i;
        if (i >= n) break;
        std::u16string element;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
            if (line[i] == u'\\') {
                size_t slashes = 0;
                while (i < n && line[i] == u'\\') ++slashes, ++i;
                if (i < n && line[i] == u'"') {
                    element.append(slashes / 2, u'\\');
                    if (slashes % 2) {
                        element += u'"';
                        ++i;
                    }
                } else
                    element.append(slashes, u'\\');
                continue;
            }
            if (line[i] == u'"') {
                quoted = !quoted;
                ++i;
                continue;
            }
            element += line[i++];
        }
        out.push_back(element);
    }
    return out;
}

} // namespace zuvst
