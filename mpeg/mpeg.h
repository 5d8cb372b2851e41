// MPEG stream processing: the transport stream demultiplexer, the stream
// describers, and the elementary, program and transport stream writers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "disk/bytes.h"
#include "disk/copy/copy.h"

// Transport packets (their header and adaptation fields are read through
// the accessors of disk/fs/fs.h).
constexpr uint32_t kPidCount = 8192;
constexpr uint32_t kMaxPid = kPidCount - 1;
constexpr uint32_t kTsPayloadSize = kTsPacketSize - kTsHeaderSize;  // 184
// PSI sections (program association and program map tables).
constexpr uint8_t kPatTableId = 0x00;
constexpr uint8_t kPmtTableId = 0x02;
constexpr uint32_t kSectionHeadSize = 3;    // table_id and section_length
constexpr size_t kSectionLengthOffset = 1;  // from table_id, 12 bits
constexpr uint32_t kSectionLengthMask = 0x0FFF;
constexpr uint32_t kCrcSize = 4;  // CRC_32 closing every section
// The PSI section of table_id that begins in p (a unit start, not scrambled,
// behind the pointer_field), at least head bytes of it inside the packet:
// its offset in the packet, or 0 when there is none.
uint32_t ts_section(const uint8_t* p, uint8_t table_id, uint32_t head);
constexpr size_t kMaxSectionSize = 1024;  // table_id, section_length, at most 1021 bytes

// PES packets.
constexpr uint32_t kPesBufferSize = 1048576;
constexpr uint8_t kStreamIdVideoMask = 0xF0;  // 0xE0..0xEF video
constexpr uint8_t kStreamIdAudioMask = 0xE0;  // 0xC0..0xDF MPEG audio
constexpr uint8_t kVideoStreamId = 0xE0;
constexpr uint8_t kAudioStreamId = 0xC0;
constexpr uint8_t kPrivateStream1Id = 0xBD;  // AC-3 in DVB and on DVDs
constexpr uint8_t kPaddingStreamId = 0xBE;
constexpr size_t kPesStreamIdOffset = 3;
constexpr size_t kPesLengthOffset = 4;
constexpr size_t kPesFlagsOffset = 6;
constexpr size_t kPesPtsDtsFlagsOffset = 7;
constexpr size_t kPesHeaderLengthOffset = 8;
constexpr size_t kPesPtsOffset = 9;
constexpr size_t kPesDtsOffset = 14;
constexpr uint32_t kPesFixedHeaderSize = 9;  // up to PES_header_data_length
// PES_packet_length counts the bytes behind the start code prefix, the
// stream_id and the length field itself (the same in every packet of a
// program stream, padding packets too).
constexpr uint32_t kPesLengthBase = 6;
constexpr uint32_t kMaxPesPacketLength = 0xFFFF + kPesLengthBase;  // 65541
// The kind of stream a PES packet (or its stream_id) belongs to.
inline bool is_video_stream(uint8_t id) { return (id & kStreamIdVideoMask) == kVideoStreamId; }
inline bool is_audio_stream(uint8_t id) { return (id & kStreamIdAudioMask) == kAudioStreamId; }
// A split size must leave room for a whole transport packet's payload behind
// what the split function keeps (repack_pes keeps a 9-byte continuation header).
constexpr int32_t kMinRepackSize = int32_t(kTsPayloadSize + kPesFixedHeaderSize);  // 193
// Whether size is a repack size the writer can use: 0 (no splitting) or
// kMinRepackSize to largest. False with "Repack size %d not supported: use
// 0 or a size from %d to %d\n" in qv_error.
bool repack_size_fits(int32_t size, int32_t largest);

// Video elementary stream.
constexpr uint32_t kSequenceHeaderCode = 0x000001B3;
constexpr uint32_t kStartCodeSize = 4;

// The clock.
constexpr uint64_t kClockMask42 = (uint64_t(1) << 42) - 1;
constexpr uint64_t kClockMask33 = (uint64_t(1) << 33) - 1;
constexpr uint64_t kScrLead = 8640000;  // 0.32 s at 27 MHz

// Program stream.
constexpr uint32_t kPackSize = 2048;
constexpr uint32_t kPackHeaderSize = 14;
constexpr uint32_t kVobPiece = kPackSize - kPackHeaderSize;  // 2034
constexpr uint32_t kProgramMuxRate = 25200;                  // units of 50 bytes/s

struct demux_stream;

// What the command line chose for the conversions; the driver sets it.
struct stream_settings {
    int all_streams;  // every stream of the PMT that the output can carry, not only the header's
    int dvd;          // VOB: navigation packs and DVD buffer sizes, for dvdauthor
};
extern stream_settings stream_options;

// --- program map table (pmt.cpp) ---
// What an elementary stream of the PMT holds, by its stream_type and descriptors.
enum stream_kind {
    kStreamVideo,  // MPEG-1 or MPEG-2 video
    kStreamMpegAudio,
    kStreamAc3,
    kStreamTeletext,
    kStreamSubtitles,
    kStreamOther,
    kStreamKindCount
};
constexpr int kMaxPmtStreams = 32;
struct pmt_stream {
    uint8_t stream_type;
    uint32_t pid;
    stream_kind kind;
};
struct program_map {
    uint32_t pcr_pid;
    int count;  // the first kMaxPmtStreams entries of the loop
    pmt_stream streams[kMaxPmtStreams];
};
uint32_t mpeg_crc32(const uint8_t* p, size_t n);
// The elementary stream loop of the PMT section s (size bytes there, from
// table_id): [*loop, *loop_end) when the section lies whole in them, its
// CRC_32 is right and the loop fits; false otherwise.
bool pmt_stream_loop(const uint8_t* s, size_t size, size_t* loop, size_t* loop_end);
// The size of the loop entry at offset at (with its descriptors); 0 when it
// runs past loop_end.
size_t pmt_entry_size(const uint8_t* s, size_t at, size_t loop_end);
uint32_t pmt_entry_pid(const uint8_t* s, size_t at);
// Reads the PMT section s into map; 0 when it does not parse.
int read_program_map(const uint8_t* s, size_t size, program_map* map);
// The PCR_PID of the PMT section that begins in packet p, or kPidCount when
// the packet does not let it be read.
uint32_t pmt_pcr_pid(const uint8_t* p);
// "PID 259 (MPEG audio)", or with the stream type for a stream of another kind.
void describe_pmt_stream(char* out, size_t size, const pmt_stream& s);

// --- which streams a conversion takes (streams.cpp) ---
// At most a video and eight audio tracks (a DVD's limit) leave in one output.
constexpr int kMaxAudioTracks = 8;
constexpr int kMaxTracks = 1 + kMaxAudioTracks;
constexpr size_t kLabelSize = 40;
constexpr size_t kTrackExtensionSize = 16;
// One stream of the output, in the order the conversion attaches them to the
// demultiplexer (demux_stream.track is the index).
struct output_track {
    uint32_t pid;
    stream_kind kind;
    int header;              // the recording header's stream (or the PMT's in its place)
    uint8_t stream_id;       // in a program stream; 0: as the recording has it
    uint8_t sub_id;          // AC-3 in a program stream: 0x80 onwards
    int32_t repack_size;     // its split size in the demultiplexer
    char label[kLabelSize];  // the head of its description: "Audio", "Audio PID 259 as 0xC1"
    char extension[kTrackExtensionSize];  // MP3: its own file's, "-259.mp3"; "": the conversion's
};
// A set of PIDs.
struct pid_set {
    uint8_t bits[kPidCount / 8];
};
inline void add_pid(pid_set& set, uint32_t pid) {
    set.bits[(pid & kMaxPid) >> 3] |= uint8_t(1u << (pid & 7));
}
inline bool has_pid(const pid_set& set, uint32_t pid) {
    return pid <= kMaxPid && (set.bits[pid >> 3] & (1u << (pid & 7))) != 0;
}
// What the first packets of a recording show.
struct recording_probe {
    int64_t packets;  // packets looked at; 0 when none could be read
    int have_pmt;
    program_map pmt;
    pid_set seen;  // the PIDs that occur
};
// Looks at the first packets of recording index (silently; a bounded number).
void probe_recording(int index, recording_probe* probe);
// What an output needs and can carry.
enum stream_role { kRoleVideo = 1, kRoleAudio = 2 };
struct stream_request {
    int roles;        // the header's streams it needs
    int need_all;     // every one of them (else, as TS, at least one)
    int kinds;        // bit (1 << stream_kind) for each kind it carries with --all-streams
    int audio_kinds;  // the kinds that may stand in for the header's audio
    int demuxed;      // through the demultiplexer: at most kMaxAudioTracks audio tracks, and
                      // with --all-streams only streams that occur in the probed packets
    int unwritable;   // the kinds it names with --all-streams as left out, since it cannot write
                      // them
};
struct stream_plan {
    uint32_t video_pid, audio_pid;  // the header's, or the PMT's in their place
    uint32_t pcr_pid;               // the PMT's (kPidCount: none)
    int count;
    output_track tracks[kMaxTracks + kMaxPmtStreams];  // video first; TS takes every PMT stream
};
// Works out the streams of the output from the header's PIDs and the probe:
// a header PID that occurs in no packet is replaced by the PMT's stream of
// its kind (a warning names both); the line of the streams left out is
// shown. Nonzero, with the reason in qv_error, when a stream the output
// needs is missing.
int plan_streams(const recording_reader* reader, const recording_probe& probe,
                 const stream_request& request, stream_plan* plan, progress_callback callback);
// The tracks of the conversion that runs now (null, 0: none; the writers then
// take each packet's kind from its stream_id).
void set_conversion_tracks(const output_track* tracks, int count);
const output_track* conversion_track(const demux_stream* stream);
const output_track* conversion_tracks(int* count);
// The label of a track's description: "Video", "Audio", and with
// --all-streams "Audio PID 259", with the program stream id "Audio PID 259
// as 0xC1" or "Audio PID 260 as 0xBD 0x80".
void label_track(output_track* track);

typedef int (*demux_fn)(demux_stream* stream);

struct demux_stream {
    int32_t next_cc;
    int32_t length;
    int32_t repack_size;
    uint64_t scr;
    FILE* file;
    demux_fn out_fn;
    demux_fn repack_fn;
    int32_t last_cc;     // counter of the previous packet with payload, -1 before it
    int32_t duplicates;  // duplicates in a row seen on this PID
    uint64_t begun;      // number of the transport packet that began the PES packet in buffer
    int32_t track;       // the order of attachment: 0 for the first stream attached
    uint8_t buffer[kPesBufferSize];
};

constexpr int kMaxAttached = kMaxTracks;
struct demux_table {
    demux_stream* slot[kPidCount];
    int attached;  // the streams attached, in order
    demux_stream* streams[kMaxAttached];
};

// --- what the conversions share (conversion.cpp) ---
// Progress of a loop over a recording's packets, as a percentage of the
// packets its clusters can hold. The percentage is worked out only at the
// packet where it next changes, not for every packet.
struct packet_progress {
    progress_callback callback;
    uint64_t expected;     // packets in the recording's clusters (0: unknown or empty)
    uint64_t next_report;  // packet number of the next report; the first packet always reports
    int last_percent;
};
packet_progress start_packet_progress(const recording_reader* reader, progress_callback callback);
// The packet number at which the percentage of total next changes.
uint64_t next_percent_step(uint64_t done, uint64_t total);
// Reports packet (counted from 1) when the percentage has changed.
inline void report_packet(packet_progress& progress, uint64_t packet) {
    if (packet < progress.next_report) return;
    qv_report_percent(progress.callback, packet, progress.expected, &progress.last_percent);
    progress.next_report = next_percent_step(packet, progress.expected);
}

// The verdict at the end of a pass over a recording, once the places of its
// losses are told: nonzero, with the reason in qv_error, when the pass
// failed (its message is there already), ended on a read error, or left out
// what could not be read ("%I64d bytes could not be read; %I64d packets were
// lost" and their totals); 0 when the whole recording was read.
int recording_verdict(const recording_reader* reader, int failed);
// Opens recording index for a conversion; null with "Open of recording %s
// failed.\n" in qv_error when it cannot be read.
recording_reader* open_conversion_source(int index, progress_callback callback);
// Creates the output file of recording index, its name made from the
// recording's with extension. On failure the reader is closed, null is
// returned and qv_error holds "Output file creation failed\n".
FILE* create_conversion_output(int index, const char* extension, recording_reader* reader);
// Closes file and reader and gives the conversion's result: kCopyIncomplete
// when failed (the message is already in qv_error) or when the buffered output
// could not be written, else kCopyDone.
int finish_conversion(recording_reader* reader, FILE* file, int failed);

// A conversion through the demultiplexer: the tracks of the plan, each with
// its split size, handed to out_fn (with the split function), into the file
// of the conversion's extension or one of their own; what to show beside the
// loop's closing counts (null: nothing), why an output that stays empty is
// empty, and what writes what out_fn still holds at the end (null: nothing).
struct demux_conversion {
    const char* extension;
    const stream_plan* plan;
    demux_fn out_fn;
    demux_fn repack_fn;
    void (*report)(progress_callback callback);
    const char* empty_reason;
    int (*finish)();
};
// Creates the output files, runs the demultiplexer from reader into them and
// closes all. Returns a copy_result: kCopyFailed when there is no memory for
// the table, kCopyNoStream when a stream cannot be attached, kCopyIncomplete
// also when the output stayed empty ("Nothing was written: %s\n").
int run_demux_conversion(int index, recording_reader* reader, const demux_conversion& conversion,
                         progress_callback callback);

// --- demultiplexer (demux.cpp) ---
// The counts of one run of demux_loop, kept for the caller and the tests.
struct demux_counts {
    int64_t packets;
    int64_t scrambled;
    int64_t out_of_sequence;
    int64_t bad_sync;
};

demux_table* new_demux_table();
int demux_set(demux_table* table, uint32_t pid, demux_fn out_fn, FILE* file, int32_t repack_size,
              demux_fn repack_fn);
void free_demux_table(demux_table* table);
// Runs the demultiplexer over the whole recording. 0 when the recording was
// read to its end; nonzero when an output function failed or the recording
// could not be read, with the message in qv_error (not shown: the caller
// reports it as the conversion's error). The closing counts are shown in
// both cases, "Processing completed." only in the first.
int demux_loop(demux_table* table, recording_reader* reader);
// The counts of the last demux_loop.
const demux_counts* last_demux_counts();

// --- stream describers (stream_info.cpp) ---
// The scan of get_vinfo, without the description: the offset of the first
// sequence_header_code in the n bytes at b when the header fields that
// get_vinfo reads follow it there; -1 otherwise (also when that first code
// is cut off by the end).
int32_t find_sequence_header(const uint8_t* b, int32_t n);
int get_vinfo(const demux_stream* stream, int* rate);
int get_ainfo(const demux_stream* stream, int* rate);
// get_ainfo with label in front of the description in place of "Audio".
int describe_audio(const demux_stream* stream, const char* label, int* rate);
// The first AC-3 frame header behind the PES header: "%s: AC-3, bit
// rate=%d kb/s, frequency=%2.1f kHz, channels=%d%s\n" (".1" with the LFE
// channel); 2 when found, else 0.
int describe_ac3(const demux_stream* stream, const char* label, int* rate);
// Kbit/s of MPEG-1 audio by layer code (3 Layer I .. 1 Layer III) and bitrate_index.
int32_t mpeg_audio_kbits(int layer_code, int bitrate_index);

// --- audio frames (audio_frames.cpp) ---
struct audio_frame {
    int32_t size;     // bytes, the header's included
    int32_t samples;  // per channel
    int32_t rate;     // Hz
    int32_t kbits;
};
// Hz of MPEG-1 audio by sampling_frequency; 0 for the reserved value.
int32_t mpeg_audio_rate(int sampling);
// The bytes a frame header of kind needs to be told and measured.
int32_t audio_header_bytes(stream_kind kind);
// The frame of kind (MPEG audio or AC-3) whose header is at p (avail bytes
// there); false when p holds no valid header.
bool read_audio_frame(stream_kind kind, const uint8_t* p, int32_t avail, audio_frame* f);
// The walk over the frames of one stream, piece by piece.
struct frame_walk {
    int32_t ahead;  // where the next frame begins in the next piece; -1: out of step
    audio_frame last;
    bool pending;  // a PES time stamp waits for the next frame that begins
    uint64_t pending_pts;
    bool timed;  // the frames' time is known: base_pts plus samples
    uint64_t base_pts;
    int64_t samples;
};
// The frames that begin in one piece: how many, the offset of the first and,
// when known, its time stamp (90 kHz).
struct frame_span {
    int32_t frames;
    int32_t first;
    bool timed;
    uint64_t pts;
};
// The piece about to be walked carries a PES time stamp: it belongs to the
// first frame that begins from there on.
void note_pes_pts(frame_walk& w, uint64_t pts);
frame_span walk_frames(frame_walk& w, stream_kind kind, const uint8_t* d, int32_t m);

// --- elementary streams (es_writer.cpp) ---
int out_es(demux_stream* stream);
// Clears out_es's state (the audio description is shown once per conversion).
void reset_es_state();
int convert_mp3(int index, progress_callback callback);
int convert_m2v(int index, progress_callback callback);

// --- program stream (ps_mux.cpp) ---
int repack_pes(demux_stream* stream);
int out_pack(demux_stream* stream);
int out_pes(demux_stream* stream);
uint64_t get_pts_dts(const uint8_t* field);
void set_pts_dts(uint64_t value, int prefix, uint8_t* field);
// Clears the multiplexer state; every conversion starts with it.
void reset_ps_state();
// Writes the audio still held at the end of the recording (a track that
// waited for one that never began); nonzero, with the message in qv_error,
// when a write fails.
int finish_ps_output();
// The bytes a piece of a track of kind may grow by in the output (AC-3's
// sub-stream header; in a pack with --dvd, an audio piece's time stamp).
int32_t ps_growth(stream_kind kind, bool pack);
// Shows the counts of the packet warnings ("Bad PES packet start",
// "bad PES packet length") of the conversion through callback.
void report_ps_warnings(progress_callback callback);

// --- VOB and M2P (ps_convert.cpp) ---
extern int repack;  // the command line's repack size
int convert_vob(int index, progress_callback callback);
int convert_m2p(int index, progress_callback callback);

// --- transport stream (ts_writer.cpp) ---
int convert_ts(int index, progress_callback callback);
// The PMT packet p with only the entries of the two PIDs: p itself when it is
// kept as it is (a section that spans packets, fails its CRC_32, does not
// parse or drops nothing), else a packet of the writer's own, valid until the
// next call.
const uint8_t* reduce_pmt(const uint8_t* p, uint32_t video_pid, uint32_t audio_pid);
