// The command-line driver. Everything the user sees around the conversions is
// worded here: the usage line, "ERROR: " and "INFO: " lines, the percentage
// line, the recording list, the banner and the prompt. The prompt alone goes to
// standard output; everything else to standard error.
#include "cli/driver.h"

#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "disk/qvdisk.h"
#include "mpeg/mpeg.h"

namespace {

// The mode keywords, compared without regard to letter case, in this order.
enum Mode { kModeDisk, kModeRaw, kModeMp3, kModeM2v, kModeM2p, kModeVob, kModeTs, kModeCount };
const char* const kModeWords[kModeCount] = {"disk", "raw", "MP3", "M2V", "M2P", "VOB", "TS"};

constexpr size_t kAnswerSize = 512;       // one answer line, 511 characters and the NUL
constexpr int kExitUsage = 1;
constexpr int kExitFailure = 1;
constexpr int kExitDone = 0;
constexpr int kExitInterrupted = 128 + SIGINT;   // 130, as a shell reports an interrupted program

// Ctrl-C. While a copy or conversion runs, the handler only sets
// qv_interrupted: the loop stops at its next cluster or packet, closes the
// output file (the part written is left in place) and the program ends with
// kExitInterrupted. Anywhere else nothing is half done and the program ends
// at once with the same status.
volatile sig_atomic_t converting = 0;

extern "C" void on_interrupt(int) {
    qv_interrupted = 1;
    if (!converting) _exit(kExitInterrupted);
}

void catch_interrupts() {
#ifdef _WIN32
    signal(SIGINT, on_interrupt);
#else
    // Restarted system calls: a write cut short by the signal would look
    // like a full disk.
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
#endif
}

// Runs one copy or conversion with the handler in its deferring mode.
template <class F> int interruptible(F work) {
    converting = 1;
    int result = work();
    converting = 0;
    return result;
}

// Recordings are the root directory entries whose whole type byte is 0xD1.
constexpr uint8_t kWholeTypeByte = 0xFF;

int same_word(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return 0;
    }
    return *a == *b;
}

int find_mode(const char* word) {
    for (int m = 0; m < kModeCount; ++m)
        if (same_word(word, kModeWords[m])) return m;
    return -1;
}

// The ascii-to-int rule (blanks, a sign, decimal digits up to the first other
// character, 0 without a number), with values beyond int held at its limits
// instead of overflowing.
int read_int(const char* text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return int(value);
}

void print_error() { fprintf(stderr, "ERROR: %s", qv_error); }

// Reads one answer. Returns 0 at end of input or on a read error. A line
// longer than the buffer is cut: the rest of it is dropped, so it cannot come
// back as the next answer.
int read_answer(char* line, size_t size) {
    if (!fgets(line, int(size), stdin)) return 0;
    if (!strchr(line, '\n')) {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
    return 1;
}

int convert(int mode, int index) {
    switch (mode) {
    case kModeRaw: return dump_file(index);
    case kModeMp3: return convert_mp3(index, showpercent);
    case kModeM2v: return convert_m2v(index, showpercent);
    case kModeM2p: return convert_m2p(index, showpercent);
    case kModeVob: return convert_vob(index, showpercent);
    case kModeTs: return convert_ts(index, showpercent);
    }
    qv_set_error("Mode %d has no conversion\n", mode);
    return 1;
}

// The prompt loop over n recordings; ends at an answer without a number
// above 0, or when a conversion was interrupted. Returns the exit status.
int prompt_loop(int mode, const char* word, int n) {
    char line[kAnswerSize];
    for (;;) {
        if (qv_interrupted) return kExitInterrupted;
        pr_dir(n);
        fputs("---> ", stdout);
        fflush(stdout);
        if (!read_answer(line, sizeof line)) return kExitDone;
        long number = strtol(line, nullptr, 0);
        if (number < 1) return kExitDone;
        if (number > n) {
            // Entries past the count are empty; nothing beyond them is touched.
            fprintf(stderr, "ERROR: No recording %ld on this disk\n", number);
            continue;
        }
        int index = int(number - 1);
        const recording_entry* entry = &qv->recordings[index];
        fprintf(stderr, "\nRecording '%.*s' size %" PRId64 " MB %s copy\n\n", int(kNameSize),
                entry->name, recording_size_mb(entry), word);
        if (interruptible([&] { return convert(mode, index); }) != 0) print_error();
    }
}

}  // namespace

void showpercent(int value) {
    if (value < 0)
        fprintf(stderr, "INFO: %s", qv_error);
    else
        fprintf(stderr, "%3d%% completed...\r", value);
}

void pr_dir(int count) {
    fputs("\n\n", stderr);
    for (int i = 0; i < count && i < int(kMaxRecordings); ++i) {
        const recording_entry* entry = &qv->recordings[i];
        int year, month, day, hour, minute;
        convert_date_time(entry->mjd, &year, &month, &day, &hour, &minute);
        char date[64];
        if (year != 0)
            snprintf(date, sizeof date, "%02d-%02d-%04d %02d:%02d", day, month, year, hour, minute);
        else
            snprintf(date, sizeof date, "%16s", "");
        fprintf(stderr, "%3d: %s %5" PRId64 " MB '%.*s'\n", i + 1, date, recording_size_mb(entry),
                int(kNameSize), entry->name);
    }
}

int run_pvrcopy(int argc, char** argv) {
    const char* program = argc > 0 && argv[0] ? argv[0] : "pvrcopy";
    int mode = argc == 2 || argc == 3 ? find_mode(argv[1]) : -1;
    if (mode < 0) {
        fprintf(stderr, "%s: Usage: %s (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size]\n", program,
                program);
        return kExitUsage;
    }
    repack = 0;
    if (argc == 3) repack = read_int(argv[2]);

    catch_interrupts();
    qv_disk_mode = mode == kModeDisk;
    if (open_qvdisk(showpercent) != 0) {
        print_error();
        return kExitFailure;
    }

    if (mode == kModeDisk) {
        fputs("Copying whole Velmoran disk to PC file\n", stderr);
        if (interruptible(copy_disk) != 0) print_error();
        return qv_interrupted ? kExitInterrupted : kExitDone;
    }

    int n = parse_dir(0, root_entry_count(), kWholeTypeByte, kTypeRecording);
    if (n == 0) {
        fputs("ERROR: No recordings found on the disk\n", stderr);
        return kExitFailure;
    }
    if (n < 0) {
        print_error();
        return kExitFailure;
    }
    return prompt_loop(mode, argv[1], n);
}
