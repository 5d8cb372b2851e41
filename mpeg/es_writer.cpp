// Elementary streams: modes "MP3" and "M2V" write the payload of every PES
// packet of the recording's audio or video PID, PES headers taken off.
#include "mpeg/mpeg.h"

namespace {

constexpr uint8_t kAudioStreamMask = 0xE0;   // 110x xxxx: MPEG audio

// out_es's state for one conversion: whether the audio stream has been
// described, and its bit rate.
int init = 0;
int ar = 0;

struct es_mode {
    size_t pid_field;      // offset of the PID in the recording header
    const char* label;     // "Audio" or "Video"
    const char* extension;
    const char* attach_failed;
};

constexpr es_mode kMp3 = {kHeaderAudioPid, "Audio", ".mp3", "Allocation of audio demux failed!\n"};
constexpr es_mode kM2v = {kHeaderVideoPid, "Video", ".m2v", "Allocation of video demux failed!\n"};

int convert_es(int index, progress_callback callback, const es_mode& mode) {
    reset_es_state();
    recording_reader* reader = open_conversion_source(index, callback);
    if (!reader) return 1;
    uint32_t pid = header_pid(reader, mode.pid_field);
    qv_inform(callback, "%s PID is %d\n", mode.label, int(pid));
    const demux_conversion conversion = {mode.extension, 1, {pid, 0}, {mode.attach_failed, nullptr},
                                         out_es, 0, nullptr, nullptr};
    return run_demux_conversion(index, reader, conversion, callback);
}

}  // namespace

void reset_es_state() {
    init = 0;
    ar = 0;
}

int out_es(demux_stream* stream) {
    const uint8_t* b = stream->buffer;
    int32_t header = int32_t(b[kPesHeaderLengthOffset]) + int32_t(kPesFixedHeaderSize);
    // A packet cut short before the end of its own header carries no data.
    if (stream->length < header) return 0;
    if (init == 0 && (b[3] & kAudioStreamMask) == kAudioStreamId) init = get_ainfo(stream, &ar);
    size_t count = size_t(stream->length - header);
    if (count != 0 && fwrite(b + header, 1, count, stream->file) != count) {
        qv_write_failed(kDiskFullMessage);
        return 1;
    }
    return 0;
}

int convert_mp3(int index, progress_callback callback) { return convert_es(index, callback, kMp3); }

int convert_m2v(int index, progress_callback callback) { return convert_es(index, callback, kM2v); }
