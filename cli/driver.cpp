// The command-line driver. Everything the user sees around the conversions is
// worded here: the usage line and the help, "ERROR: " and "INFO: " lines, the
// percentage line, the recording list, the banner and the prompt. The prompt
// and the help go to standard output; everything else to standard error. The
// options choose the disk, the output directory and the recordings; without
// them the run is the plain one: search, current directory, prompt.
#include "cli/driver.h"

#include <chrono>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "mpeg/mpeg.h"

namespace {

// The mode keywords, compared without regard to letter case, in this order.
enum mode_word { kModeDisk, kModeRaw, kModeMp3, kModeM2v, kModeM2p, kModeVob, kModeTs, kModeCount };
const char* const kModeWords[kModeCount] = {"disk", "raw", "MP3", "M2V", "M2P", "VOB", "TS"};
// What each mode is for, in the help.
const char* const kModeHelp[kModeCount] = {
    "the whole disk into qvdisk.img, for later runs without the drive",
    "the recording file byte for byte",
    "the audio for editing: MPEG audio of the recording's layer (usually Layer II)",
    "the video for editing (with MP3)",
    "video and audio for editing: PES packets, repack_size cuts them",
    "video and audio in 2048-byte packs; with --dvd for a DVD (dvdauthor)",
    "for players: the recording's program as a transport stream",
};

constexpr size_t kAnswerSize = 512;  // one answer line, 511 characters and the NUL
constexpr int kExitUsage = 1;
constexpr int kExitFailure = 1;
constexpr int kExitDone = 0;
constexpr int kExitInterrupted = 128 + SIGINT;  // 130, as a shell reports an interrupted program

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
template <class F>
int interruptible(F work) {
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

// The percentage line. On a terminal it also shows the rate and the time
// left, measured from where the work (or the disk copy's phase) began: a
// percentage below the one before begins a phase. To a pipe or a file it is
// the plain line, as it always was.
using steady = std::chrono::steady_clock;
constexpr double kBytesPerMb = 1048576;
struct progress_display {
    bool terminal;       // standard error is one (run_pvrcopy asks)
    int64_t work_bytes;  // what 100 % stands for; for the disk copy it tells itself
    bool disk;           // the disk copy reports
    steady::time_point since;
    int since_percent;
    int last;
    int width;  // of the line last shown on the terminal; 0 when none stands
};
progress_display display = {false, 0, false, {}, 0, -1, 0};

void start_progress(int64_t work_bytes, bool disk) {
    display.work_bytes = work_bytes;
    display.disk = disk;
    display.since = steady::now();
    display.since_percent = 0;
    display.last = -1;
}

// Clears the terminal's percentage line before another line takes its place.
void clear_percent_line() {
    if (display.width == 0) return;
    fprintf(stderr, "\r%*s\r", display.width, "");
    display.width = 0;
}

void show_rate_line(int percent) {
    const steady::time_point now = steady::now();
    if (percent < display.last) {
        display.since = now;
        display.since_percent = percent;
    }
    display.last = percent;
    char line[128];
    int n = snprintf(line, sizeof line, "%3d%% completed...", percent);
    const double seconds = std::chrono::duration<double>(now - display.since).count();
    const int done = percent - display.since_percent;
    const int64_t bytes = display.disk ? disk_percent_bytes() : display.work_bytes;
    if (seconds > 0 && done > 0 && percent <= 100) {
        char left[kTimeTextSize];
        format_clock(left, sizeof left, seconds * (100 - percent) / done);
        n += snprintf(line + n, sizeof line - size_t(n), " %.1f MB/s, %s left",
                      double(bytes) * done / 100 / seconds / kBytesPerMb, left);
    }
    fprintf(stderr, "%s%*s\r", line, display.width > n ? display.width - n : 0, "");
    display.width = n;
}

void print_error() {
    clear_percent_line();
    fprintf(stderr, "ERROR: %s", qv_error);
}

// The usage line: "%s: Usage: %s (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size]\n" with options
// "" and ending "", as the recorder's own tool printed it; the help and the option errors show
// "[options] " before the mode words, the option errors " (-h for help)" at the end.
void print_usage(FILE* stream, const char* program, const char* options, const char* ending) {
    fprintf(stream, "%s: Usage: %s %s(", program, program, options);
    for (int m = 0; m < kModeCount; ++m) fprintf(stream, "%s%s", m ? "|" : "", kModeWords[m]);
    fprintf(stream, ") [repack_size]%s\n", ending);
}
constexpr char kOptionsWord[] = "[options] ";
constexpr char kHelpHint[] = " (-h for help)";

// The options, before the mode word; "--" ends them. A value follows as the
// next argument, or behind "=" in the long form ("--output=DIR").
enum option_id {
    kOptImage,
    kOptDevice,
    kOptOutput,
    kOptRecordings,
    kOptList,
    kOptSalvage,
    kOptAllStreams,
    kOptDvd,
    kOptRetries,
    kOptDomainMap,
    kOptHelp,
    kOptVersion,
    kOptionCount
};
struct option_spec {
    char short_name;  // 0: long form only
    const char* long_name;
    const char* value;  // null: the option takes no value
    const char* help;
};
const option_spec kOptions[kOptionCount] = {
    {'i', "image", "FILE", "read FILE as the disk image; nothing else is tried"},
#ifdef _WIN32
    {'d', "device", "PATH",
     "read this drive: \\\\.\\PhysicalDriveN or just N; nothing else is tried"},
#else
    {'d', "device", "PATH",
     "read this drive (/dev/sdX, /dev/nvmeXnY, removable too); nothing else is tried"},
#endif
    {'o', "output", "DIR", "write every output file into DIR, which must exist"},
    {'r', "recordings", "LIST", "copy these recordings without asking: \"1,3,5-7\" or \"all\""},
    {'l', "list", nullptr, "print the list of recordings and end; no mode word needed"},
    {0, "salvage", nullptr, "use a disk that the file system check refuses, as it stands"},
    {0, "all-streams", nullptr, "keep every sound track (and with TS every stream) the PMT lists"},
    {0, "dvd", nullptr, "with VOB: navigation packs and buffer sizes for dvdauthor"},
    {0, "retries", "N", "mode disk: try the bad sectors again, N passes (default 0)"},
    {0, "domain-map", "FILE", "write a ddrescue domain mapfile of the areas that matter"},
    {'h', "help", nullptr, "print this help and end"},
    {0, "version", nullptr, "print the version and end"},
};

// What the option errors call the value of each kind ("-i needs a file name").
struct value_kind {
    const char* placeholder;  // as the help shows it
    const char* noun;
};
const value_kind kValueKinds[] = {
    {"FILE", "a file name"}, {"DIR", "a directory name"},      {"PATH", "a drive"},
    {"N", "a number"},       {"LIST", "a list of recordings"},
};

const char* value_noun(const char* placeholder) {
    for (const value_kind& kind : kValueKinds)
        if (strcmp(kind.placeholder, placeholder) == 0) return kind.noun;
    return "a value";
}

// An option as the errors name it: its short form, else its long one.
struct option_name {
    char text[64];
};
option_name name_of(int id) {
    option_name name;
    if (kOptions[id].short_name)
        snprintf(name.text, sizeof name.text, "-%c", kOptions[id].short_name);
    else
        snprintf(name.text, sizeof name.text, "--%s", kOptions[id].long_name);
    return name;
}

void print_help(const char* program) {
    print_usage(stdout, program, kOptionsWord, "");
    for (const option_spec& o : kOptions) {
        char names[64];
        char short_form[8] = "    ";
        if (o.short_name) snprintf(short_form, sizeof short_form, "-%c, ", o.short_name);
        snprintf(names, sizeof names, "%s--%s%s%s", short_form, o.long_name, o.value ? " " : "",
                 o.value ? o.value : "");
        printf("  %-24s %s\n", names, o.help);
    }
    for (int m = 0; m < kModeCount; ++m) printf("  %-24s %s\n", kModeWords[m], kModeHelp[m]);
}

// The option an argument names, with a value written behind "=" in *value
// (also for an option that takes none, which the caller refuses). -1 for an
// unknown option.
int find_option(const char* arg, const char** value) {
    *value = nullptr;
    for (int id = 0; id < kOptionCount; ++id) {
        const option_spec& o = kOptions[id];
        if (arg[1] == '-') {
            size_t length = strlen(o.long_name);
            if (strncmp(arg + 2, o.long_name, length) != 0) continue;
            if (arg[2 + length] == '=')
                *value = arg + 3 + length;
            else if (arg[2 + length] != 0)
                continue;
            return id;
        }
        if (o.short_name && arg[1] == o.short_name && arg[2] == 0) return id;
    }
    return -1;
}

// Recording lists: "all", or items "N" and "N-M" separated by commas. A
// number has at most kMaxListDigits digits, so no count or range of the list
// is ever larger than a disk can hold numbers for in a long.
constexpr int kMaxListDigits = 9;
constexpr char kAllRecordings[] = "all";

int read_list_number(const char** text, long* number) {
    size_t digits = strspn(*text, "0123456789");
    if (digits == 0 || digits > size_t(kMaxListDigits)) return 1;
    *number = strtol(*text, nullptr, 10);
    *text += digits;
    return 0;
}

// The next item of a list at *text: 0 with its first and last number and
// *text behind it (and behind its comma), else 1.
int next_list_item(const char** text, long* first, long* last) {
    if (read_list_number(text, first) != 0) return 1;
    *last = *first;
    if (**text == '-' && (++*text, read_list_number(text, last) != 0)) return 1;
    if (*last < *first) return 1;
    if (**text == ',' && *(*text + 1) != 0)
        ++*text;
    else if (**text != 0)
        return 1;
    return 0;
}

int list_valid(const char* list) {
    if (same_word(list, kAllRecordings)) return 1;
    long first, last;
    while (*list)
        if (next_list_item(&list, &first, &last) != 0) return 0;
    return 1;
}

// --retries N: a decimal count of passes, as long as a list's numbers.
bool read_retries(const char* text) {
    long passes = 0;
    if (read_list_number(&text, &passes) != 0 || *text != 0) return false;
    copy_options.retries = int(passes);
    return true;
}

// What the command line asked for.
struct command_line {
    int mode;                // kModeCount with -l and no mode word
    const char* word;        // the mode word as typed
    const char* repack;      // the repack size argument, or null
    const char* recordings;  // --recordings LIST, or null
    const char* domain_map;  // --domain-map FILE, or null
    int list_only;
    int help;
    int version;
};

// How the command line was read: usable; the usage line alone, for the wrong
// count of arguments or an unknown mode word without any option; or an
// option error, its one line in qv_error, before the usage line with the
// options.
enum reading_result { kReadOk, kReadUsage, kReadOptionError };

// Reads the options into values (indexed by option) and sets *next to the
// first argument behind them. -h and --version end the reading.
int read_options(int argc, char** argv, const char** values, command_line* cl, int* next) {
    int i = 1;
    for (; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        if (arg[0] != '-' || arg[1] == 0) break;  // the mode word
        const char* value = nullptr;
        int id = find_option(arg, &value);
        if (id < 0) return qv_set_error("unknown option %s\n", arg), kReadOptionError;
        const option_spec& o = kOptions[id];
        if (value && !o.value)
            return qv_set_error("--%s takes no value\n", o.long_name), kReadOptionError;
        cl->help = id == kOptHelp;
        cl->version = id == kOptVersion;
        if (cl->help || cl->version) return kReadOk;
        if (o.value && !value) {
            if (i + 1 >= argc)
                return qv_set_error("%s needs %s\n", arg, value_noun(o.value)), kReadOptionError;
            value = argv[++i];
        }
        // A value once: which of two images or lists was meant is not for us to guess.
        if (values[id] && o.value)
            return qv_set_error("%s given twice\n", name_of(id).text), kReadOptionError;
        values[id] = value ? value : "";
    }
    *next = i;
    return kReadOk;
}

// The mode word and the repack size behind the options at argv[i].
int read_mode(int argc, char** argv, int i, int list_only, command_line* cl) {
    const int plain = i == 1;  // no option given
    const int words = argc - i;
    if (words == 0 && list_only) {
        cl->mode = kModeCount;
        return kReadOk;
    }
    if (words < 1 || words > 2) {
        if (plain) return kReadUsage;
        if (words == 0) return qv_set_error("the mode word is missing\n"), kReadOptionError;
        return qv_set_error("unexpected argument %s\n", argv[i + 2]), kReadOptionError;
    }
    cl->mode = find_mode(argv[i]);
    cl->word = argv[i];
    cl->repack = words == 2 ? argv[i + 1] : nullptr;
    if (cl->mode >= 0) return kReadOk;
    if (plain) return kReadUsage;
    return qv_set_error("unknown mode %s\n", argv[i]), kReadOptionError;
}

// Reads the command line into qv_options, copy_options and cl.
int parse_command_line(int argc, char** argv, command_line* cl) {
    const char* values[kOptionCount] = {};
    int i = 1;
    int reading = read_options(argc, argv, values, cl, &i);
    if (reading != kReadOk || cl->help || cl->version) return reading;
    cl->list_only = values[kOptList] != nullptr;
    reading = read_mode(argc, argv, i, cl->list_only, cl);
    if (reading != kReadOk) return reading;
    cl->recordings = values[kOptRecordings];
    cl->domain_map = values[kOptDomainMap];
    qv_options.image_path = values[kOptImage];
    qv_options.device_path = values[kOptDevice];
    copy_options.output_dir = values[kOptOutput];
    qv_options.salvage = values[kOptSalvage] != nullptr;
    stream_options.all_streams = values[kOptAllStreams] != nullptr;
    stream_options.dvd = values[kOptDvd] != nullptr;
    if (stream_options.dvd && cl->mode != kModeVob)
        return qv_set_error("%s needs mode VOB\n", name_of(kOptDvd).text), kReadOptionError;
    if (qv_options.image_path && qv_options.device_path)
        return qv_set_error("%s and %s exclude each other\n", name_of(kOptImage).text,
                            name_of(kOptDevice).text),
               kReadOptionError;
    if (cl->recordings && !list_valid(cl->recordings))
        return qv_set_error("%s %s is not a list of recordings (1,3,5-7 or %s)\n",
                            name_of(kOptRecordings).text, cl->recordings, kAllRecordings),
               kReadOptionError;
    if (values[kOptRetries] && cl->mode != kModeDisk)
        return qv_set_error("%s is for mode disk only\n", name_of(kOptRetries).text),
               kReadOptionError;
    if (values[kOptRetries] && !read_retries(values[kOptRetries]))
        return qv_set_error("%s %s is not a number of passes\n", name_of(kOptRetries).text,
                            values[kOptRetries]),
               kReadOptionError;
    return kReadOk;
}

// Reads one answer. Returns 0 at end of input or on a read error. A line
// longer than the buffer is cut: the rest of it is dropped, so it cannot come
// back as the next answer.
int read_answer(char* line, size_t size) {
    if (!fgets(line, int(size), stdin)) return 0;
    if (!strchr(line, '\n')) {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {}
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

// The summary of a batch: a line for each copy, then the counts.
struct batch_summary {
    std::vector<std::string> lines;
    int complete, lossy, failed;
};
batch_summary batch;

// Notes how the copy of the recording listed as number ended (result).
void note_copy(long number, const recording_entry* entry, int result) {
    const copy_account& account = copy_outcome();
    char outcome[kErrorSize];
    if (account.cut || (result != 0 && account.lossy_end)) {
        describe_outcome(outcome, sizeof outcome);
        batch.lossy++;
    } else if (result == 0) {
        snprintf(outcome, sizeof outcome, "complete");
        batch.complete++;
    } else {
        snprintf(outcome, sizeof outcome, "failed: %.*s", int(strcspn(qv_error, "\n")), qv_error);
        batch.failed++;
    }
    // The output file by its name (the directory is the run's), else the recording's name.
    const char* name = path_file_name(account.output);
    char file[kOutputPathSize + kNameSize];
    if (account.output[0])
        snprintf(file, sizeof file, "%s", name);
    else
        snprintf(file, sizeof file, "'%.*s'", int(kNameSize), entry->name);
    char line[sizeof file + sizeof outcome + 16];
    snprintf(line, sizeof line, "%3ld: %s: %s\n", number, file, outcome);
    batch.lines.push_back(line);
}

// After a run that copied more than one recording: the summary.
void print_batch_summary() {
    const int copies = batch.complete + batch.lossy + batch.failed;
    if (copies < 2) return;
    clear_percent_line();
    fputs("\n", stderr);
    for (const std::string& line : batch.lines) fputs(line.c_str(), stderr);
    fprintf(stderr, "%d recordings: %d complete, %d with losses, %d failed\n", copies,
            batch.complete, batch.lossy, batch.failed);
}

void no_recording(long number) {
    fprintf(stderr, "ERROR: No recording %ld on this disk\n", number);
}

// Copies the recording listed as number (1 to the count) with its banner.
// 0 when the copy completed.
int copy_recording(int mode, const char* word, long number) {
    int index = int(number - 1);
    const recording_entry* entry = &qv->recordings[index];
    fprintf(stderr, "\nRecording '%.*s' size %" PRId64 " MB %s copy\n\n", int(kNameSize),
            entry->name, recording_size_mb(entry), word);
    copy_outcome() = copy_account{};
    start_progress(int64_t(entry->num_clusters) * qv->cluster_size, false);
    const int result = interruptible([&] { return convert(mode, index); });
    note_copy(number, entry, result);
    if (result == 0) return 0;
    print_error();
    return 1;
}

// The prompt loop over n recordings; ends at an answer without a number
// above 0, or when a copy was interrupted. Returns the exit status: failure
// when any copy failed or an answer named no recording.
int prompt_loop(int mode, const char* word, int n) {
    char line[kAnswerSize];
    int failed = 0;
    for (;;) {
        if (qv_interrupted) {
            print_batch_summary();
            return kExitInterrupted;
        }
        pr_dir(n);
        fputs("---> ", stdout);
        fflush(stdout);
        if (!read_answer(line, sizeof line)) break;
        long number = strtol(line, nullptr, 0);
        if (number < 1) break;
        if (number > n) {
            // Entries past the count are empty; nothing beyond them is touched.
            no_recording(number);
            failed = 1;
            continue;
        }
        if (copy_recording(mode, word, number) != 0) failed = 1;
    }
    print_batch_summary();
    return failed ? kExitFailure : kExitDone;
}

// Walks the numbers of list (already checked) on a disk of n recordings,
// each once, in the order of the list: visit(number) for each, nonzero when
// it failed; a number the disk does not have is told. Nonzero when
// anything failed; ends after a visit that was interrupted.
template <class Visit>
int walk_list(const char* list, int n, Visit visit) {
    static uint8_t seen[kMaxRecordings];
    memset(seen, 0, sizeof seen);
    int failed = 0;
    const int all = same_word(list, kAllRecordings);
    do {
        long first = 1, last = n;
        if (!all && next_list_item(&list, &first, &last) != 0) break;
        for (long number = first; number <= last && number <= n; ++number) {
            if (number < 1 || seen[number - 1]) continue;
            seen[number - 1] = 1;
            if (visit(number) != 0) failed = 1;
            if (qv_interrupted) return failed;
        }
        // The first number that is not on the disk stands for the rest of the item.
        if (first < 1 || last > n) {
            no_recording(first < 1 || first > n ? first : long(n) + 1);
            failed = 1;
        }
    } while (!all && *list);
    return failed;
}

// Copies the recordings of list (already checked) without asking, each
// number once, in the order of the list. The exit status as for the loop.
int copy_list(int mode, const char* word, int n, const char* list) {
    pr_dir(n);
    const int failed =
        walk_list(list, n, [&](long number) { return copy_recording(mode, word, number); });
    print_batch_summary();
    if (qv_interrupted) return kExitInterrupted;
    return failed ? kExitFailure : kExitDone;
}

// --domain-map FILE, when asked for: 0, or 1 when it cannot be written (told).
int write_domain_map_asked(const command_line& cl) {
    if (!cl.domain_map || write_domain_map(cl.domain_map) == 0) return 0;
    print_error();
    return 1;
}

// Mode "disk": the recordings of -r first (each number once; one the disk
// does not have is told), then the copy of the whole disk.
int image_disk(const command_line& cl) {
    int n = geometry_known() ? parse_dir(0, root_entry_count(), kWholeTypeByte, kTypeRecording) : 0;
    if (n < 0) n = 0;  // the whole disk is copied all the same
    // The salvage's recordings are among the areas that matter.
    if (qv_options.salvage) n = salvage_recordings(n);
    static int first[kMaxRecordings];
    int count = 0;
    const int missing = cl.recordings && walk_list(cl.recordings, n, [&](long number) {
                            first[count++] = int(number - 1);
                            return 0;
                        });
    copy_options.first_recordings = first;
    copy_options.first_count = count;
    if (write_domain_map_asked(cl) != 0) return kExitFailure;
    fputs("Copying whole Velmoran disk to PC file\n", stderr);
    start_progress(0, true);
    int failed = interruptible(copy_disk) != 0;
    if (failed) print_error();
    // A failed copy of the disk is a failure, not the normal end.
    return qv_interrupted ? kExitInterrupted : failed || missing ? kExitFailure : kExitDone;
}

}  // namespace

void showpercent(int value, const char* line) {
    if (value < 0) {
        clear_percent_line();
        fprintf(stderr, "INFO: %s", line);
    } else if (display.terminal) {
        show_rate_line(value);
    } else {
        fprintf(stderr, "%3d%% completed...\r", value);
    }
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

namespace {

// The output directory, when one is given, must exist; 0 when it does.
int check_output_dir() {
    if (!copy_options.output_dir) return 0;
    int code = qv_check_directory(copy_options.output_dir);
    if (code == 0) return 0;
    char reason[256];
    qv_system_message(code, reason, sizeof reason);
    fprintf(stderr, "ERROR: Output directory %s: %s\n", copy_options.output_dir, reason);
    return 1;
}

// Opens the disk; 0 when it opened, else its error is printed. Mode "disk"
// (imaging) images the whole disk whatever its file system, never reads the
// image it is to go on with, and reads into its image from the moment the
// disk is found.
int open_disk(bool imaging) {
    if (imaging) {
        qv_options.whole_disk = 1;
        qv_options.excluded = is_disk_copy_to_continue;
        qv_options.found = begin_disk_copy;
        qv_options.before_reading = check_output_room;
    }
    if (open_qvdisk(showpercent) == 0) return 0;
    print_error();
    if (search_report()[0]) fprintf(stderr, "INFO: %s", search_report());
    return 1;
}

// The recordings listed, or copied as the command line or the prompt asks.
int list_and_copy(const command_line& cl) {
    int n = parse_dir(0, root_entry_count(), kWholeTypeByte, kTypeRecording);
    // The salvage follows chains by content where the table cannot tell, and
    // also offers the recordings that no entry reaches.
    if (qv_options.salvage) n = salvage_recordings(n);
    if (write_domain_map_asked(cl) != 0) return kExitFailure;
    if (n == 0) {
        fputs("ERROR: No recordings found on the disk\n", stderr);
        return kExitFailure;
    }
    if (n < 0) {
        print_error();
        return kExitFailure;
    }
    if (cl.list_only) {
        pr_dir(n);
        return kExitDone;
    }
    if (cl.recordings) return copy_list(cl.mode, cl.word, n, cl.recordings);
    return prompt_loop(cl.mode, cl.word, n);
}

}  // namespace

int run_pvrcopy(int argc, char** argv) {
    const char* program = argc > 0 && argv[0] ? argv[0] : "pvrcopy";
    command_line cl = {};
    switch (parse_command_line(argc, argv, &cl)) {
    case kReadUsage: print_usage(stderr, program, "", ""); return kExitUsage;
    case kReadOptionError:
        fprintf(stderr, "%s: %s", program, qv_error);
        print_usage(stderr, program, kOptionsWord, kHelpHint);
        return kExitUsage;
    }
    if (cl.help) {
        print_help(program);
        return kExitDone;
    }
    if (cl.version) {
        printf("pvrcopy %s\n", PVR_VERSION);
        return kExitDone;
    }
    repack = cl.repack ? read_int(cl.repack) : 0;
    display.terminal = qv_stderr_is_terminal();
    if (check_output_dir() != 0) return kExitFailure;
    catch_interrupts();
    const bool imaging = cl.mode == kModeDisk && !cl.list_only;
    if (open_disk(imaging) != 0) return kExitFailure;
    if (imaging) return image_disk(cl);
    return list_and_copy(cl);
}
