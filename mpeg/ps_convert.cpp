// VOB and M2P conversions: the recording's video and audio PIDs go through
// the demultiplexer into one program stream file, as 2048-byte packs
// (".vob") or as the PES packets themselves (".m2p").
#include <cstring>

#include "mpeg/mpeg.h"

int repack = 0;

namespace {

constexpr char kWriteFailed[] = "Write to disk failed, disk full?\n";
// The split size must leave room for a whole transport packet's payload
// behind the 9-byte continuation header, and the pieces must fit the 16-bit
// PES_packet_length.
constexpr int32_t kMinRepack = int32_t(kTsPayloadSize + kPesFixedHeaderSize);   // 193
constexpr int32_t kMaxRepack = int32_t(kMaxPesPacketLength);                    // 65541

struct ps_mode {
    const char* extension;
    demux_fn out_fn;
    bool vob;   // packs of a fixed piece size; the repack size is ignored
};

constexpr ps_mode kVob = {".vob", out_pack, true};
constexpr ps_mode kM2p = {".m2p", out_pes, false};

int convert_ps(int index, progress_callback callback, const ps_mode& mode) {
    reset_ps_state();
    int32_t repack_size = mode.vob ? int32_t(kVobPiece) : repack;
    if (!mode.vob && repack_size != 0 && (repack_size < kMinRepack || repack_size > kMaxRepack)) {
        qv_set_error("Repack size %d not supported: use 0 or a size from %d to %d\n", repack_size, kMinRepack,
                     kMaxRepack);
        return 1;
    }
    const char* name = qv->recordings[index].name;
    recording_reader* reader = open_recording_file(index, callback);
    if (!reader) {
        qv_set_error("Open of recording %s failed.\n", name);
        return 1;
    }
    uint32_t video_pid = header_pid(reader, kHeaderVideoPid);
    uint32_t audio_pid = header_pid(reader, kHeaderAudioPid);
    qv_inform(callback, "Video PID is %d, audio PID is %d\n", int(video_pid), int(audio_pid));
    // One PID cannot be both streams: its packets would reach only one of them.
    if (video_pid == audio_pid) {
        close_recording_file(reader);
        qv_set_error("Video and audio PID are both %d: the recording cannot be multiplexed\n", int(video_pid));
        return 1;
    }

    char out_name[kOutputNameSize];
    make_name(out_name, name, mode.extension);
    FILE* file = open_output(out_name);
    if (!file) {
        close_recording_file(reader);
        qv_set_error("Output file creation failed\n");
        return 2;
    }
    demux_table* table = new_demux_table();
    if (!table) {
        close_recording_file(reader);
        close_output(file);
        qv_set_error("Allocation of demux table failed!\n");
        return 1;
    }
    const char* attach_failed = nullptr;
    if (demux_set(table, video_pid, mode.out_fn, file, repack_size, repack_pes) != 0)
        attach_failed = "Allocation of video demux failed!\n";
    else if (demux_set(table, audio_pid, mode.out_fn, file, repack_size, repack_pes) != 0)
        attach_failed = "Allocation of audio demux failed!\n";
    if (attach_failed) {
        close_recording_file(reader);
        close_output(file);
        free_demux_table(table);
        qv_set_error("%s", attach_failed);
        return 3;
    }

    int failed = demux_loop(table, reader);
    // The warnings of the packets are shown beside the demultiplexer's counts;
    // a failure's message stays in qv_error for the caller.
    char message[kErrorSize];
    memcpy(message, qv_error, sizeof message);
    report_ps_warnings(callback);
    if (failed) memcpy(qv_error, message, sizeof message);

    free_demux_table(table);
    int close_failed = close_output(file);
    close_recording_file(reader);
    if (failed) return kConversionFailed;
    if (close_failed) {
        qv_set_error("%s", kWriteFailed);
        return kConversionFailed;
    }
    return 0;
}

}  // namespace

int convert_vob(int index, progress_callback callback) { return convert_ps(index, callback, kVob); }

int convert_m2p(int index, progress_callback callback) { return convert_ps(index, callback, kM2p); }
