// Elementary streams: modes "MP3" and "M2V" write the payload of every PES
// packet of the recording's audio or video PID, PES headers taken off. The
// video begins with its first sequence header, where a decoder can begin.
#include <cstring>

#include "mpeg/mpeg.h"

namespace {

constexpr uint8_t kStartCodePrefix[] = {0x00, 0x00, 0x01};
constexpr uint32_t kNoBytesSeen = 0xFFFFFFFF;  // matches no start code

// out_es's state for one conversion: which audio tracks have been described
// (without the conversion's tracks, the one audio stream: 0); whether the
// video has begun, and the last four video bytes dropped before (a start code
// may span two packets).
bool described[kMaxTracks];
bool video_begun = false;
uint32_t last_bytes = kNoBytesSeen;

int write_bytes(const uint8_t* data, size_t count, FILE* file) {
    if (count != 0 && fwrite(data, 1, count, file) != count) {
        qv_write_failed(kDiskFullMessage);
        return 1;
    }
    return 0;
}

// Drops the video bytes before the first sequence_header_code: *data and
// *count are left on the part to write, from the code on. A code that began
// in the packets before is completed in front of it.
int begin_video(const uint8_t** data, size_t* count, FILE* file) {
    size_t i = 0;
    while (i < *count && (last_bytes = last_bytes << 8 | (*data)[i]) != kSequenceHeaderCode) ++i;
    if (i == *count) {
        *count = 0;
        return 0;
    }
    video_begun = true;
    // The code's last byte is at i, its first at i - 3.
    size_t in_packet = i + 1;
    if (in_packet < kStartCodeSize)
        return write_bytes(kStartCodePrefix, kStartCodeSize - in_packet, file);
    *data += in_packet - kStartCodeSize;
    *count -= in_packet - kStartCodeSize;
    return 0;
}

struct es_mode {
    size_t pid_field;   // offset of the PID in the recording header
    const char* label;  // "Audio" or "Video"
    const char* extension;
    stream_request request;
    const char* empty_reason;
};

// MP3 writes the header's audio as MPEG audio, and with --all-streams the
// other MPEG audio and AC-3 tracks too; it names the streams of the other
// kinds but video, which it cannot write.
constexpr int kMpegAudio = 1 << kStreamMpegAudio;
constexpr int kMp3Kinds = kMpegAudio | 1 << kStreamAc3;
constexpr int kMp3Unwritable = ((1 << kStreamKindCount) - 1) & ~kMp3Kinds & ~(1 << kStreamVideo);
constexpr es_mode kMp3 = {kHeaderAudioPid,
                          "Audio",
                          ".mp3",
                          {kRoleAudio, 1, kMp3Kinds, kMpegAudio, 1, kMp3Unwritable},
                          "the audio holds no data"};
constexpr es_mode kM2v = {kHeaderVideoPid,
                          "Video",
                          ".m2v",
                          {kRoleVideo, 1, 0, 0, 1, 0},
                          "the video has no sequence header"};

// With --all-streams each audio track but the header's goes into a file of
// its own, named with its PID: "-259.mp3", or for AC-3 "-260.ac3".
void name_tracks(stream_plan* plan) {
    for (int i = 0; i < plan->count; ++i) {
        output_track& t = plan->tracks[i];
        label_track(&t);
        if (!t.header)
            snprintf(t.extension, sizeof t.extension, "-%u.%s", t.pid,
                     t.kind == kStreamAc3 ? "ac3" : "mp3");
    }
}

int convert_es(int index, progress_callback callback, const es_mode& mode) {
    reset_es_state();
    recording_probe probe;
    probe_recording(index, &probe);
    recording_reader* reader = open_conversion_source(index, callback);
    if (!reader) return kCopyFailed;
    uint32_t pid = header_pid(reader, mode.pid_field);
    qv_inform(callback, "%s PID is %d\n", mode.label, int(pid));
    static stream_plan plan;
    if (plan_streams(reader, probe, mode.request, &plan, callback) != 0) {
        close_recording_file(reader);
        return kCopyFailed;
    }
    name_tracks(&plan);
    const demux_conversion conversion = {mode.extension,    &plan,  out_es, nullptr, nullptr,
                                         mode.empty_reason, nullptr};
    return run_demux_conversion(index, reader, conversion, callback);
}

}  // namespace

void reset_es_state() {
    memset(described, 0, sizeof described);
    video_begun = false;
    last_bytes = kNoBytesSeen;
}

int out_es(demux_stream* stream) {
    const uint8_t* b = stream->buffer;
    int32_t header = int32_t(b[kPesHeaderLengthOffset]) + int32_t(kPesFixedHeaderSize);
    // A packet cut short before the end of its own header carries no data.
    if (stream->length < header) return 0;
    const uint8_t id = b[kPesStreamIdOffset];
    const output_track* track = conversion_track(stream);
    const int t = track ? stream->track : 0;
    int rate = 0;
    const bool ac3 = track && track->kind == kStreamAc3;
    const char* label = track ? track->label : "Audio";
    if (!described[t] && (ac3 || is_audio_stream(id)))
        described[t] =
            (ac3 ? describe_ac3(stream, label, &rate) : describe_audio(stream, label, &rate)) != 0;
    const uint8_t* data = b + header;
    size_t count = size_t(stream->length - header);
    if (!video_begun && is_video_stream(id) && begin_video(&data, &count, stream->file)) return 1;
    return write_bytes(data, count, stream->file);
}

int convert_mp3(int index, progress_callback callback) { return convert_es(index, callback, kMp3); }

int convert_m2v(int index, progress_callback callback) { return convert_es(index, callback, kM2v); }
