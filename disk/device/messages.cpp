// The disk record, the message buffer and the shared cluster buffer, and the
// helpers every layer uses to compose and show its messages.
#include <cstdarg>
#include <cstdio>

#include "disk/device/device.h"

static qv_instance the_disk;
qv_instance* qv = &the_disk;
char qv_error[kErrorSize];
alignas(kMaxDeviceSector) uint8_t cluster_buffer[kClusterBufferSize];  // aligned for direct reads
volatile sig_atomic_t qv_interrupted = 0;

// The one composition of a message: into message, then shown through
// callback (-1) when there is one.
static void compose(char* message, progress_callback callback, const char* format, va_list args) {
    vsnprintf(message, kErrorSize, format, args);
    if (callback) callback(-1);
}

// The body of every formatting function below: its variable arguments into
// compose.
#define COMPOSE_FROM_FORMAT(message, callback) \
    va_list args;                              \
    va_start(args, format);                    \
    compose(message, callback, format, args);  \
    va_end(args)

void qv_format(char* message, const char* format, ...) { COMPOSE_FROM_FORMAT(message, nullptr); }

void qv_set_error(const char* format, ...) { COMPOSE_FROM_FORMAT(qv_error, nullptr); }

void qv_inform(progress_callback callback, const char* format, ...) {
    COMPOSE_FROM_FORMAT(qv_error, callback);
}

void qv_warn(const char* format, ...) { COMPOSE_FROM_FORMAT(qv_error, qv->progress); }

void qv_report_percent(progress_callback callback, uint64_t done, uint64_t total, int* last) {
    // An empty recording or disk has nothing to divide by: it is all done.
    int percent = total == 0 ? 100 : int(int64_t(done * 100) / int64_t(total));
    if (percent != *last) {
        *last = percent;
        if (callback) callback(percent);
    }
}
