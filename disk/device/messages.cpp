// The helpers every layer uses to compose its failures and to show its
// lines and percentages, and the interrupt flag.
#include <cstdarg>
#include <cstdio>

#include "disk/device/device.h"

volatile sig_atomic_t qv_interrupted = 0;

// The one composition of a message: into message, then shown through
// callback when there is one.
static void compose(char* message, progress_callback callback, const char* format, va_list args) {
    vsnprintf(message, kErrorSize, format, args);
    if (callback) callback(-1, message);
}

// The body of every formatting function below: its variable arguments into
// compose. A line shown is composed in a buffer of its own: qv_error keeps
// the reason of a failure that is yet to be reported.
#define COMPOSE_FROM_FORMAT(message, callback) \
    va_list args;                              \
    va_start(args, format);                    \
    compose(message, callback, format, args);  \
    va_end(args)

void qv_format(char* message, const char* format, ...) { COMPOSE_FROM_FORMAT(message, nullptr); }

void qv_set_error(const char* format, ...) { COMPOSE_FROM_FORMAT(qv_error, nullptr); }

void qv_inform(progress_callback callback, const char* format, ...) {
    char line[kErrorSize];
    COMPOSE_FROM_FORMAT(line, callback);
}

void qv_warn(const char* format, ...) {
    char line[kErrorSize];
    COMPOSE_FROM_FORMAT(line, qv->progress);
}

void qv_report_percent(progress_callback callback, uint64_t done, uint64_t total, int* last) {
    // An empty recording or disk has nothing to divide by: it is all done.
    int percent = total == 0 ? 100 : int(int64_t(done * 100) / int64_t(total));
    if (percent != *last) {
        *last = percent;
        if (callback) callback(percent, nullptr);
    }
}
