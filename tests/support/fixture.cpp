// The parts of the shared test fixtures that need no test framework: text
// formatting, numbered packets, the external tools and the program as a child.
// (It includes no test framework: the fuzz targets link it too.)
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "disk/qvdisk.h"

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct Outcome {
    int status;
    std::string out, err;
};
#endif

using Bytes = std::vector<uint8_t>;

std::string format(const char* fmt, ...) {
    char buf[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

Bytes numbered_packet(uint32_t seq, uint32_t pid = 0x101);
Bytes numbered_packet(uint32_t seq, uint32_t pid) {
    Bytes p(kTsPacketSize, 0xAA);
    p[0] = kTsSyncByte;
    p[1] = uint8_t(pid >> 8 & 0x1F);
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x10 | (seq & 0x0F));
    for (int i = 0; i < 4; ++i) p[4 + i] = uint8_t(0x80 | (seq >> (6 * i) & 0x3F));
    return p;
}

Bytes numbered_packets(uint32_t first, uint32_t count) {
    Bytes out;
    for (uint32_t s = first; s < first + count; ++s) {
        Bytes p = numbered_packet(s);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

#ifndef _WIN32
bool tool_present(const char* name) {
    // ffmpeg's tools know -version, GNU tools --version.
    const std::string n = name;
    return std::system((n + " -version >/dev/null 2>&1 || " + n + " --version >/dev/null 2>&1").c_str()) == 0;
}

std::string run_tool(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

bool running_in_ci() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

static std::string file_text(int fd) {
    std::string t(size_t(lseek(fd, 0, SEEK_END)), '\0');
    if (pread(fd, t.data(), t.size(), 0) != ssize_t(t.size())) t.clear();
    return t;
}

bool wait_for_output(int out, const std::string& text) {
    for (int i = 0; i < 6000; ++i) {   // 60 s at most
        if (file_text(out).find(text) != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

Outcome run_child(const std::filesystem::path& dir, const std::vector<std::string>& args, const std::string& input,
                  const std::function<void(int, int)>& meanwhile, long file_limit) {
    FILE *out = tmpfile(), *err = tmpfile();
    int in[2];
    if (!out || !err || pipe(in) != 0) return {-1, "", ""};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(in[1]);
        if (chdir(dir.c_str()) != 0 || dup2(in[0], 0) < 0 || dup2(fileno(out), 1) < 0 || dup2(fileno(err), 2) < 0)
            _exit(126);
        rlimit limit = {rlim_t(file_limit), rlim_t(file_limit)};
        if (file_limit && (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)) _exit(126);
        alarm(60);
        std::vector<std::string> copy = args;
        std::vector<char*> argv{const_cast<char*>("pvrcopy")};
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        int status = run_pvrcopy(int(argv.size() - 1), argv.data());
        fflush(nullptr);
        _exit(status);
    }
    close(in[0]);
    if (write(in[1], input.data(), input.size()) != ssize_t(input.size())) perror("run_child: input");
    if (meanwhile) meanwhile(pid, fileno(out));
    close(in[1]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    Outcome r{WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), file_text(fileno(out)), file_text(fileno(err))};
    fclose(out);
    fclose(err);
    return r;
}
#endif
