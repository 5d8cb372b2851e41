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

// PES packets.
constexpr uint32_t kPesBufferSize = 1048576;
constexpr uint8_t kStreamIdVideoMask = 0xF0;  // 0xE0..0xEF video
constexpr uint8_t kStreamIdAudioMask = 0xE0;  // 0xC0..0xDF MPEG audio
constexpr uint8_t kVideoStreamId = 0xE0;
constexpr uint8_t kAudioStreamId = 0xC0;
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
    uint8_t buffer[kPesBufferSize];
};

struct demux_table {
    demux_stream* slot[kPidCount];
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

// The verdict at the end of a pass over a recording: nonzero, with the reason
// in qv_error, when the pass failed (its message is there already), ended on
// a read error, or left out what could not be read ("%I64d bytes could not be
// read; %I64d packets were lost\n"); 0 when the whole recording was read.
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

// A conversion through the demultiplexer: the PIDs handed to out_fn (each with
// the error shown when it cannot be attached), the split size and function,
// and what to show beside the loop's closing counts (null: nothing).
struct demux_conversion {
    const char* extension;
    int stream_count;
    uint32_t pids[2];
    const char* attach_failed[2];
    demux_fn out_fn;
    int32_t repack_size;
    demux_fn repack_fn;
    void (*report)(progress_callback callback);
};
// Creates the output file, runs the demultiplexer from reader into it and
// closes both. Returns a copy_result: kCopyFailed when there is no memory for
// the table, kCopyNoStream when a stream cannot be attached.
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
// Shows the counts of the packet warnings ("Bad PES packet start",
// "bad PES packet length") of the conversion through callback.
void report_ps_warnings(progress_callback callback);

// --- VOB and M2P (ps_convert.cpp) ---
extern int repack;  // the command line's repack size
int convert_vob(int index, progress_callback callback);
int convert_m2p(int index, progress_callback callback);

// --- transport stream (ts_writer.cpp) ---
int convert_ts(int index, progress_callback callback);
// The PCR_PID of a PMT packet that starts a section, or kPidCount when the
// packet does not let it be read.
uint32_t pmt_pcr_pid(const uint8_t* p);
// The PMT packet p with only the entries of the two PIDs: p itself when it is
// kept as it is (a section that spans packets, fails its CRC_32, does not
// parse or drops nothing), else a packet of the writer's own, valid until the
// next call.
const uint8_t* reduce_pmt(const uint8_t* p, uint32_t video_pid, uint32_t audio_pid);
