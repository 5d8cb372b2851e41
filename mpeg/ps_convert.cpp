// VOB and M2P conversions: the recording's video and audio PIDs go through
// the demultiplexer into one program stream file, as 2048-byte packs
// (".vob") or as the PES packets themselves (".m2p").
#include "mpeg/mpeg.h"

int repack = 0;

namespace {

// The pieces of M2P must fit the 16-bit PES_packet_length.
constexpr int32_t kMaxRepack = int32_t(kMaxPesPacketLength);  // 65541

struct ps_mode {
    const char* extension;
    demux_fn out_fn;
    bool vob;  // packs of a fixed piece size; the repack size is ignored
};

constexpr ps_mode kVob = {".vob", out_pack, true};
constexpr ps_mode kM2p = {".m2p", out_pes, false};

int convert_ps(int index, progress_callback callback, const ps_mode& mode) {
    reset_ps_state();
    int32_t repack_size = mode.vob ? int32_t(kVobPiece) : repack;
    if (!mode.vob && !repack_size_fits(repack_size, kMaxRepack)) return kCopyFailed;
    recording_reader* reader = open_conversion_source(index, callback);
    if (!reader) return kCopyFailed;
    uint32_t video_pid = header_pid(reader, kHeaderVideoPid);
    uint32_t audio_pid = header_pid(reader, kHeaderAudioPid);
    qv_inform(callback, "Video PID is %d, audio PID is %d\n", int(video_pid), int(audio_pid));
    // One PID cannot be both streams: its packets would reach only one of them.
    if (video_pid == audio_pid) {
        close_recording_file(reader);
        qv_set_error("Video and audio PID are both %d: the recording cannot be multiplexed\n",
                     int(video_pid));
        return kCopyFailed;
    }
    // The warnings of the packets are shown beside the demultiplexer's counts.
    const demux_conversion conversion = {
        mode.extension,
        2,
        {video_pid, audio_pid},
        {"Allocation of video demux failed!\n", "Allocation of audio demux failed!\n"},
        mode.out_fn,
        repack_size,
        repack_pes,
        report_ps_warnings};
    return run_demux_conversion(index, reader, conversion, callback);
}

}  // namespace

int convert_vob(int index, progress_callback callback) { return convert_ps(index, callback, kVob); }

int convert_m2p(int index, progress_callback callback) { return convert_ps(index, callback, kM2p); }
