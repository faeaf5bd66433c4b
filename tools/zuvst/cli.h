// What the verbs of the command-line host share.
#ifndef ZUVST_TOOLS_CLI_H
#define ZUVST_TOOLS_CLI_H

#include <zuvst/launcher.h>

#include <string>
#include <utility>
#include <vector>

namespace zuvst_cli {

struct Options {
    std::string verb;
    std::string plugin;
    std::vector<std::string> files; // process: IN and OUT; scan: the directories
    int32_t uniqueId = 0;
    uint32_t timeout = 0;
    bool json = false;
    bool inProcess = false;
    // process
    int32_t block = 1024;
    int32_t sampleType = 0; // 0: follow the output file
    double rate = 0;        // 0: the input file's
    std::vector<std::pair<int32_t, float>> params;
    int32_t program = -1;
    std::string load, save;
    bool bank = false;
    bool tail = false;
    int progress = -1; // -1: when standard error is a terminal, 0 never, 1 always
    // scan
    int jobs = 1;
};

std::u16string Widen(const std::string& s);
std::string Narrow(const char16_t* s);
std::string Json(const std::string& s);
std::string Status(HRESULT hr);
// Prints one line saying what failed and its status (and how a lost server ended); returns 1.
int Fail(const char* what, HRESULT hr);

int ProcessFile(IZuVstEffectFactory* factory, const Options& o);
int Scan(const Options& o);
int Edit(IZuVstEffectFactory* factory, const Options& o);

} // namespace zuvst_cli

#endif
