// zuvst scan: probes every plug-in file under directories, each through a server of its own so that one
// that takes its server down or hangs costs only its own probe; several probes run at once.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cli.h"

namespace zuvst_cli {

namespace {

void Collect(const std::string& dir, std::vector<std::string>* files, int depth = 0)
{
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode) && depth < 16)
            Collect(path, files, depth + 1);
        else if (S_ISREG(st.st_mode) && name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0)
            files->push_back(path);
    }
}

struct Job {
    std::string path;
    pid_t pid = -1;
    int out = -1;
    std::string text;
    std::chrono::steady_clock::time_point deadline;
    bool killed = false;
};

std::string Field(const std::string& json, const char* name)
{
    const std::string key = std::string("\"") + name + "\":\"";
    const size_t at = json.find(key);
    if (at == std::string::npos) return {};
    const size_t end = json.find('"', at + key.size());
    return json.substr(at + key.size(), end - at - key.size());
}

bool Launch(Job* job, const Options& o)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    const std::string timeout = std::to_string(o.timeout);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devnull >= 0) dup2(devnull, 2);
        execl("/proc/self/exe", "zuvst", "probe", job->path.c_str(), "--json", "--timeout", timeout.c_str(), nullptr);
        _exit(127);
    }
    close(pipeFds[1]);
    job->pid = pid;
    job->out = pipeFds[0];
    // The probe's own limit, the second its worker gets to stop, and a margin for starting a server.
    job->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.timeout + 5000);
    return true;
}

} // namespace

int Scan(const Options& o)
{
    std::vector<std::string> files;
    for (const std::string& dir : o.files) Collect(dir, &files);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> lines(files.size());
    std::map<std::string, int> counts;
    std::vector<Job> running;
    size_t next = 0, finished = 0;
    const bool progress = o.progress == 1 || (o.progress == -1 && isatty(2));
    while (finished < files.size()) {
        while (running.size() < size_t(std::max(o.jobs, 1)) && next < files.size()) {
            Job job;
            job.path = files[next];
            job.text = std::to_string(next++);
            job.text += '\n';
            if (!Launch(&job, o)) {
                std::fprintf(stderr, "zuvst: could not start a probe of %s\n", job.path.c_str());
                return 1;
            }
            running.push_back(job);
        }
        std::vector<pollfd> fds;
        for (Job& j : running) fds.push_back(pollfd {j.out, POLLIN, 0});
        poll(fds.data(), fds.size(), 100);
        const auto now = std::chrono::steady_clock::now();
        for (size_t i = 0; i < running.size();) {
            Job& j = running[i];
            char buffer[4096];
            bool ended = false;
            if (fds[i].revents) {
                const ssize_t n = read(j.out, buffer, sizeof(buffer));
                if (n > 0)
                    j.text.append(buffer, size_t(n));
                else
                    ended = true;
            }
            if (!ended && now > j.deadline && !j.killed) {
                kill(j.pid, SIGKILL); // its server sees its host gone and ends once it is free
                j.killed = true;
            }
            if (!ended) {
                ++i;
                continue;
            }
            close(j.out);
            waitpid(j.pid, nullptr, 0);
            const size_t index = std::stoul(j.text.substr(0, j.text.find('\n')));
            std::string json = j.text.substr(j.text.find('\n') + 1);
            while (!json.empty() && (json.back() == '\n' || json.back() == ' ')) json.pop_back();
            if (json.empty() || json[0] != '{')
                json = "{\"path\":" + Json(j.path) + ",\"result\":\"timeout\",\"serverEnd\":\"\",\"status\":\"0x8004E00C\"}";
            const std::string result = Field(json, "result");
            ++counts[result];
            if (o.json) {
                lines[index] = json;
            } else {
                std::string what = Field(json, "name");
                if (result == "crashed") what = Field(json, "serverEnd");
                if (result == "failed" || result == "timeout") what = "status " + Field(json, "status");
                char line[64];
                std::snprintf(line, sizeof(line), "%-8s ", result.c_str());
                lines[index] = line + j.path + "  " + what;
            }
            ++finished;
            if (progress) std::fprintf(stderr, "\rscanned %zu of %zu", finished, files.size());
            running.erase(running.begin() + long(i));
            fds.erase(fds.begin() + long(i));
        }
    }
    if (progress) std::fputc('\n', stderr);
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string summary;
    for (const char* r : {"ok", "failed", "crashed", "timeout"})
        summary += std::string(summary.empty() ? "" : ", ") + std::to_string(counts[r]) + " " + r;
    std::fprintf(o.json ? stderr : stdout, "%zu files in %.1f s with %d job(s): %s\n", files.size(), seconds,
                 std::max(o.jobs, 1), summary.c_str());
    return 0;
}

} // namespace zuvst_cli
