// The one exit route of the raw and disk copies: the output closed and the
// verdict given.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "disk/copy/copy.h"

// The one end of a raw or disk copy. The output is closed (a close that
// cannot write out what was buffered is a write failure); then the verdict:
// a failure, an interrupt or the bytes written as zeros make the copy
// incomplete; otherwise completed is shown. What was written stays.
void set_loss_error(const char* first, int64_t untried) {
    if (untried == 0)
        qv_set_error("%s\n", first);
    else
        qv_set_error("%s; %" PRId64
                     " of those bytes were never tried sector by sector (pvrcopy disk tries "
                     "them)\n",
                     first, untried);
}

int finish_copy(FILE* file, loop_stop stop, int64_t zeros, int64_t untried, const char* completed,
                loss_timeline* losses) {
    close_losses(losses);
    keep_account(losses);
    const int close_failed = close_output(file);
    if (stop == kLoopStopped) return kCopyIncomplete;
    if (close_failed) {
        qv_write_failed(kWriteFailedMessage);
        return kCopyIncomplete;
    }
    if (stop == kLoopInterrupted) {
        qv_set_error("%s", kInterruptedMessage);
        return kCopyIncomplete;
    }
    if (zeros != 0) {
        char totals[kErrorSize / 2] = "";
        if (losses) loss_totals(totals, sizeof totals);
        char message[kErrorSize];
        snprintf(message, sizeof message,
                 "%" PRId64 " bytes could not be read and were written as zeros%s", zeros, totals);
        set_loss_error(message, untried);
        copy_outcome().lossy_end = true;
        return kCopyIncomplete;
    }
    qv_inform(qv->progress, "%s", completed);
    return kCopyDone;
}
