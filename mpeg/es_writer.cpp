// Elementary streams: modes "MP3" and "M2V" write the payload of every PES
// packet of the recording's audio or video PID, PES headers taken off. The
// video begins with its first sequence header, where a decoder can begin.
#include "mpeg/mpeg.h"

namespace {

constexpr uint8_t kStartCodePrefix[] = {0x00, 0x00, 0x01};
constexpr uint32_t kNoBytesSeen = 0xFFFFFFFF;  // matches no start code

// out_es's state for one conversion: whether the audio stream has been
// described, and its bit rate; whether the video has begun, and the last
// four video bytes dropped before (a start code may span two packets).
int init = 0;
int ar = 0;
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
    const char* attach_failed;
};

constexpr es_mode kMp3 = {kHeaderAudioPid, "Audio", ".mp3", "Allocation of audio demux failed!\n"};
constexpr es_mode kM2v = {kHeaderVideoPid, "Video", ".m2v", "Allocation of video demux failed!\n"};

int convert_es(int index, progress_callback callback, const es_mode& mode) {
    reset_es_state();
    recording_reader* reader = open_conversion_source(index, callback);
    if (!reader) return kCopyFailed;
    uint32_t pid = header_pid(reader, mode.pid_field);
    qv_inform(callback, "%s PID is %d\n", mode.label, int(pid));
    const demux_conversion conversion = {mode.extension, 1, {pid, 0}, {mode.attach_failed, nullptr},
                                         out_es,         0, nullptr,  nullptr};
    return run_demux_conversion(index, reader, conversion, callback);
}

}  // namespace

void reset_es_state() {
    init = 0;
    ar = 0;
    video_begun = false;
    last_bytes = kNoBytesSeen;
}

int out_es(demux_stream* stream) {
    const uint8_t* b = stream->buffer;
    int32_t header = int32_t(b[kPesHeaderLengthOffset]) + int32_t(kPesFixedHeaderSize);
    // A packet cut short before the end of its own header carries no data.
    if (stream->length < header) return 0;
    const uint8_t id = b[kPesStreamIdOffset];
    if (init == 0 && is_audio_stream(id)) init = get_ainfo(stream, &ar);
    const uint8_t* data = b + header;
    size_t count = size_t(stream->length - header);
    if (!video_begun && is_video_stream(id) && begin_video(&data, &count, stream->file)) return 1;
    return write_bytes(data, count, stream->file);
}

int convert_mp3(int index, progress_callback callback) { return convert_es(index, callback, kMp3); }

int convert_m2v(int index, progress_callback callback) { return convert_es(index, callback, kM2v); }
