// The copy layer: the recording reader and the read-ahead beneath it, the
// raw copy of a recording and the whole-disk image, output names and output
// files.
//
// Results: the copies give a copy_result (0 done, nonzero with the reason in
// qv_error); other operations return 0 on success and nonzero on failure; a
// function named as a question returns bool; open_recording_file and
// open_output return null on failure.
#pragma once

#include <cstdio>
#include <ctime>

#include "disk/device/device.h"
#include "disk/fs/fs.h"
#include "disk/qvdisk.h"

// What a copy or a conversion gives back. Anything but kCopyDone has its
// reason in qv_error; an output file already created is left as written.
// kCopyFailed: the recording or the disk cannot be read (or no memory for
// the demultiplexer); kCopyNoOutput: the output file cannot be created;
// kCopyNoStream: no memory for a stream of the demultiplexer;
// kCopyIncomplete: stopped or incomplete (a write failure, a read error,
// unreadable data, an interrupt).
enum copy_result {
    kCopyDone = 0,
    kCopyFailed = 1,
    kCopyNoOutput = 2,
    kCopyNoStream = 3,
    kCopyIncomplete = 4,
};

// Where the outputs go and how mode "disk" rescues (set by the driver): all
// zero is the current directory and the plain rescue.
struct copy_settings {
    const char* output_dir;  // every output file is created in this directory
    // Mode "disk": these recordings (count indices of the table) are read
    // first, and the bad sectors are tried again in retries passes.
    const int* first_recordings;
    int first_count;
    int retries;
};
extern copy_settings copy_options;

// The texts of a write that failed: the copies' and the conversions'.
constexpr char kWriteFailedMessage[] = "Write failed (disk full?)\n";
constexpr char kDiskFullMessage[] = "Write to disk failed, disk full?\n";
constexpr char kFileTooLargeMessage[] =
    "Write failed: the output file system cannot hold files of this size\n";

// --- output names (names.cpp) ---
constexpr size_t kListNumberSize = 6;  // "_%d" of a list number up to kMaxRecordings
constexpr size_t kOutputNameSize = kNameSize + kListNumberSize + 4;  // name, number, ext, NUL
constexpr size_t kOutputDirSize = 4096;                              // longest output directory
constexpr size_t kOutputPathSize = kOutputDirSize + 1 + kOutputNameSize;  // dir, separator, name
void make_name(char* out, const char* name, const char* extension);
// The output file name of recording index (out: kOutputNameSize bytes), the
// one name every copy and conversion of it uses: make_name of its name and
// extension, with "_N" (its list number) before the extension when another
// recording of the table gives the same name (ASCII letter case ignored, as
// Windows and FAT file systems compare), when that name would be another's
// numbered name, or when the name is empty.
void recording_file_name(char* out, int index, const char* extension);

// --- output files (output.cpp) ---
// The path under which the output file file_name is created: in
// copy_options.output_dir when one is set, else in the current directory. A
// path that does not fit into size comes out empty (no file can be created
// under it) rather than cut short.
void output_path(char* out, size_t size, const char* file_name);
// The file's own name in path: what follows its last separator.
const char* path_file_name(const char* path);
// Creates the output file file_name (through output_path; "wb", large
// buffer). Refuses (null) the open disk itself, so no output can ever
// truncate the disk image; a file that is there already is kept and the
// output goes to NAME(2).EXT, or the next number free (a warning says so).
// The path opened goes into used (kOutputPathSize bytes) when it is given.
// The file of a dated recording (entry, may be null) gets the recording's
// date and time when it is closed.
FILE* open_output(const char* file_name, const recording_entry* entry, char* used = nullptr);
// Opens the existing output file file_name (through output_path) for writing
// in place ("r+b"), with the same refusal of the open disk.
FILE* open_output_update(const char* file_name);
// open_output that can also read back what it wrote ("w+b"), undated.
FILE* open_output_readable(const char* file_name, char* used);
// Moves an output file to a 64-bit byte position; nonzero on failure.
int seek_output(FILE* file, int64_t position);
// Closes an output file and gives it its recording's time; nonzero when
// buffered data could not be written (errno then still tells why).
int close_output(FILE* file);
// Puts the message of an output write, flush or close that just failed into
// qv_error: kFileTooLargeMessage when the output file system refused a file
// this large, else usual (the copy's or conversion's disk-full text).
void qv_write_failed(const char* usual);

// --- raw copies (raw_copy.cpp, disk_copy.cpp, finish.cpp) ---

// The one end of a raw or disk copy. The output is closed (a close that
// cannot write out what was buffered is a write failure); then the verdict:
// a failure, an interrupt or the bytes written as zeros (untried of them
// never read sector by sector) make the copy incomplete; otherwise
// completed is shown. What was written stays. The places of losses (a
// recording's, or null) are told first, and the error of the zeros ends
// with their totals.
int finish_copy(FILE* file, loop_stop stop, int64_t zeros, int64_t untried, const char* completed,
                loss_timeline* losses = nullptr);
// The closing error of a copy that could not read everything: first (its
// own words, without the line end) and, when some of those bytes were
// never tried sector by sector, how many and that mode "disk" tries them.
void set_loss_error(const char* first, int64_t untried);
int dump_file(int index);
// The whole disk into the image file, every sector, with a ddrescue map
// beside it ("qvdisk.img.map"), rescued as GNU ddrescue does: the areas
// that matter first (list_matter_areas, copy_options.first_recordings
// before the other recordings), copied and trimmed before anything else is
// read, then the rest; then scraping and copy_options.retries retry passes,
// the areas that matter again first. An image and map already there are a
// copy to continue: only the blocks the map does not mark finished are read.
int copy_disk();
// Sets up the image and its map for copy_disk as soon as the disk is found
// (qv_options.found in mode "disk"), so that the opening's reads already
// land in them; copy_disk sets them up itself when this was not called.
void begin_disk_copy();
// Mode "disk", before the first read of the disk: whether the output
// directory can hold its image of disk_bytes (what an image to go on with
// takes already counts as held). 0, or 1 with both sizes and the directory
// in qv_error.
int check_output_room(int64_t disk_bytes);
// Writes a GNU ddrescue domain mapfile at path that marks the areas that
// matter finished ("ddrescue -m path" rescues only those). 0, or 1 with the
// reason in qv_error.
int write_domain_map(const char* path);
// Whether path names the image copy to continue in the output
// location (the image with its map there): in mode "disk" it is never the
// source.
bool is_disk_copy_to_continue(const char* path);

// Within the copy layer: the disk copy that runs (disk_copy.cpp sets it up
// and is its sink, disk_rescue.cpp runs the phases into it).
struct disk_copy {
    FILE* file;
    char name[kOutputPathSize];  // the image, where it is written
    char map_name[kOutputPathSize + sizeof kMapSuffix];
    int64_t total;     // bytes of the disk: every sector
    int64_t file_pos;  // where the next write lands without a seek; -1 unknown
    int64_t unsaved;   // bytes copied since the map was last written
    time_t saved_at;
    time_t started;
    bool prepared;   // set up (when the disk was found, or by copy_disk)
    bool continued;  // an image and map that were there already
    bool failed;     // setting up or writing failed: why in failure
    char failure[kErrorSize];
    // The rescue's own lines are shown: something failed, or the copy
    // continued has blocks not finished.
    bool rescue_shown;
    int64_t untried_at_start;  // non-tried bytes when the copy was set up
    char phase;                // the status of the phase that runs; 0 before
    int copy_percent;          // of the copying phase, over the whole copy
    int phase_percent;         // of the other phases, each its own
    int64_t phase_bytes;       // what the percentage of the phase that runs counts
};
disk_copy& current_disk_copy();
// The percentage after a read: of the copying phase over all non-tried
// bytes, of the other phases over their own (done of total).
void show_progress(disk_copy& copy, int64_t done, int64_t total);
// The bytes the percentage now shown counts: of the copying phase all
// non-tried bytes at its start, of another phase its own.
int64_t disk_percent_bytes();
// After the rescue's summary: the places of losses of each recording that
// an area the map does not mark finished touches (read from the image),
// then one line that the others are complete.
void tell_recordings_touched(disk_copy& copy);
// Writes the map now. 0, or 1 (why in copy.failure).
int save_disk_map(disk_copy& copy);
// The copy is over: the rescue reads into it no more.
void end_disk_copy();

// --- reading a chain ahead (read_ahead.cpp) ---
// One cluster of a chain as the read-ahead found it: its data (unreadable
// sectors as zero bytes, listed in bad), the read's message, and what
// follows it in the table.
struct chain_cluster {
    uint32_t cluster;
    int result;  // of the salvaging read: kSalvageFailed when nothing could be read
    bad_sectors bad;
    char message[kErrorSize];  // the read's message when the read was not complete
    link_kind link;            // chain_next of the cluster
    uint32_t next;
    int repeats;    // next is a cluster read before: the chain loops there
    uint8_t* data;  // cluster_size bytes
};
struct chain_reader;
// Starts reading the chain at cluster start, ahead of its use. Null when
// there is no memory (message in qv_error).
chain_reader* open_chain(uint32_t start);
// The next cluster of the chain, in chain order; the one handed out before
// is given back (its data may be overwritten from now on). Null when that
// one was the last read: it ended the chain, its link was damaged or
// returned to a cluster read before, or it could not be read at all.
const chain_cluster* next_chain_cluster(chain_reader* chain);
void close_chain(chain_reader* chain);
// Whether the chain ends after c for a damage (a damaged link, or a loop back
// to a cluster read before); then "Recording %s: chain ..." for the
// recording named name is in qv_error.
bool recording_chain_damaged(const chain_cluster* c, const char* name);

// --- what a copy lost, in the recording's time (losses.cpp) ---
// The places where a copy of a recording loses data (unreadable areas, a
// chain that ends early), each told once in the recording's own time: from
// its clock (the PCR, or the DTS or PTS where it has none), counted from its
// first picture, losses closer than a second apart one place: "Film: 0.44 s
// lost at 0:43:10 (4096 bytes unreadable at position 3196928)". Without a
// clock the place is a share of the recording ("Film: lost at 61 % (...)").
struct loss_timeline;
// A timeline of recording index, telling through callback; null without memory.
loss_timeline* open_losses(int index, progress_callback callback);
// The recording's next cluster, read at disk position, its first valid
// bytes in data (recorder order; the first one holds the recording header)
// and its unreadable sectors in bad: their areas noted, the clock read.
// Returns the unreadable bytes among the valid ones (also for a null t).
int64_t account_cluster(loss_timeline* t, const uint8_t* data, const bad_sectors* bad,
                        int64_t position, uint32_t valid);
// The chain ends here for a damage: what its entry holds beyond is lost.
void note_cut(loss_timeline* t);
// The copy is over: every place not yet told is told.
void close_losses(loss_timeline* t);
void free_losses(loss_timeline* t);
// A duration ("0.44 s", "12.4 s") and a time of the recording ("0:43:10"),
// each fitting in kTimeTextSize.
constexpr size_t kTimeTextSize = 32;
void format_seconds(char* out, size_t size, double seconds);
void format_clock(char* out, size_t size, double seconds);

// What the copy that runs came to, for the summary of a batch: the driver
// clears it before each copy.
struct copy_account {
    char output[kOutputPathSize];  // the first output file it made; "" for none
    int places;                    // where it lost data, a cut included
    bool timed;                    // the places were told in time, not as shares
    double lost_seconds;           // all places
    double lost_before_cut;        // the places before a cut
    double total_seconds;          // of the whole recording (to its entry's end)
    bool cut;                      // its chain ended early
    double cut_seconds;
    int cut_percent;
    bool lossy_end;  // its closing error is the one of its losses
};
copy_account& copy_outcome();
// The totals of a closed timeline into the account.
void keep_account(const loss_timeline* t);
// What the closing error of a copy with losses adds: ": 12.4 s in 3 places
// of 0:50:00", without a clock " in 3 places".
void loss_totals(char* out, size_t size);
// The account in words: "complete", "12.4 s lost in 3 places", "cut at
// 0:12:04 of 0:15:00" (without a clock "lost in 3 places", "cut at 61 %").
void describe_outcome(char* out, size_t size);

// --- the recording reader (reader.cpp) ---
recording_reader* open_recording_file(int index, progress_callback callback);
const uint8_t* read_ts_packet(recording_reader* reader);
void close_recording_file(recording_reader* reader);
// A PID field of the header (offset kHeader*Pid): its low 13 bits.
uint32_t header_pid(const recording_reader* reader, size_t offset);
// Whether the next read_ts_packet returns a packet from data without
// loading another cluster: packets returned so far from data stay valid.
bool reader_next_in_place(const recording_reader* reader);
