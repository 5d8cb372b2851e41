// The disk record, the message buffer and the shared cluster buffer, and the
// helpers every operation uses to compose and show its messages.
#include <cstdarg>
#include <cstdio>

#include "disk/qvdisk.h"

static qv_instance the_disk;
qv_instance* qv = &the_disk;
char qv_error[kErrorSize];
uint8_t cluster_buffer[kClusterBufferSize];
volatile sig_atomic_t qv_interrupted = 0;
qv_settings qv_options;

static void vformat_error(const char* format, va_list args) {
    vsnprintf(qv_error, sizeof qv_error, format, args);
}

void qv_format(char* message, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(message, kErrorSize, format, args);
    va_end(args);
}

void qv_set_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vformat_error(format, args);
    va_end(args);
}

void qv_inform(progress_callback callback, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vformat_error(format, args);
    va_end(args);
    if (callback) callback(-1);
}

void qv_warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vformat_error(format, args);
    va_end(args);
    if (qv->progress) qv->progress(-1);
}

void qv_report_percent(progress_callback callback, uint64_t done, uint64_t total, int* last) {
    // An empty recording or disk has nothing to divide by: it is all done.
    int percent = total == 0 ? 100 : int(int64_t(done * 100) / int64_t(total));
    if (percent != *last) {
        *last = percent;
        if (callback) callback(percent);
    }
}
