// The parts of the shared test fixtures that need no test framework: text
// formatting and the running of the external tools.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "disk/qvdisk.h"

std::string format(const char* fmt, ...) {
    char buf[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
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
#endif
