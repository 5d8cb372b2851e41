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

// What a program stream takes: the header's video and audio, and with
// --all-streams every MPEG audio and AC-3 track.
constexpr int kPsAudioKinds = 1 << kStreamMpegAudio | 1 << kStreamAc3;
constexpr stream_request kPsRequest = {kRoleVideo | kRoleAudio, 1, kPsAudioKinds,
                                       kPsAudioKinds,           1, 0};
constexpr uint8_t kFirstAc3Substream = 0x80;

// The stream ids of the tracks and the split size of each. The audio tracks
// are numbered in the plan's order, as a DVD numbers its audio streams
// whatever their format: track n as MPEG audio 0xC0 + n or as AC-3 in
// sub-stream 0x80 + n of private stream 1 (without --all-streams the one
// track as the kind's first).
void assign_tracks(stream_plan* plan, const ps_mode& mode, int32_t repack_size) {
    int audio = 0;
    for (int i = 0; i < plan->count; ++i) {
        output_track& t = plan->tracks[i];
        if (t.kind == kStreamAc3) {
            t.stream_id = kPrivateStream1Id;
            t.sub_id = uint8_t(kFirstAc3Substream + audio);
        } else if (t.kind == kStreamMpegAudio && stream_options.all_streams) {
            t.stream_id = uint8_t(kAudioStreamId + audio);
        }
        audio += t.kind != kStreamVideo;
        const int32_t growth = ps_growth(t.kind, mode.vob);
        t.repack_size = repack_size == 0                         ? 0
                        : repack_size - growth >= kMinRepackSize ? repack_size - growth
                                                                 : kMinRepackSize;
        label_track(&t);
    }
}

int convert_ps(int index, progress_callback callback, const ps_mode& mode) {
    reset_ps_state();
    int32_t repack_size = mode.vob ? int32_t(kVobPiece) : repack;
    if (!mode.vob && !repack_size_fits(repack_size, kMaxRepack)) return kCopyFailed;
    recording_probe probe;
    probe_recording(index, &probe);
    recording_reader* reader = open_conversion_source(index, callback);
    if (!reader) return kCopyFailed;
    uint32_t video_pid = header_pid(reader, kHeaderVideoPid);
    uint32_t audio_pid = header_pid(reader, kHeaderAudioPid);
    qv_inform(callback, "Video PID is %d, audio PID is %d\n", int(video_pid), int(audio_pid));
    // One PID cannot be both streams: its packets would reach only one of them.
    static stream_plan plan;
    if (video_pid == audio_pid) {
        close_recording_file(reader);
        qv_set_error("Video and audio PID are both %d: the recording cannot be multiplexed\n",
                     int(video_pid));
        return kCopyFailed;
    }
    if (plan_streams(reader, probe, kPsRequest, &plan, callback) != 0) {
        close_recording_file(reader);
        return kCopyFailed;
    }
    assign_tracks(&plan, mode, repack_size);
    // The warnings of the packets are shown beside the demultiplexer's counts.
    const demux_conversion conversion = {
        mode.extension,     &plan,
        mode.out_fn,        repack_pes,
        report_ps_warnings, "the video has no sequence header in a packet with a time stamp",
        finish_ps_output};
    return run_demux_conversion(index, reader, conversion, callback);
}

}  // namespace

int convert_vob(int index, progress_callback callback) { return convert_ps(index, callback, kVob); }

int convert_m2p(int index, progress_callback callback) { return convert_ps(index, callback, kM2p); }
