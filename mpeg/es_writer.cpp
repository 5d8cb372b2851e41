// Elementary streams: modes "MP3" and "M2V" write the payload of every PES
// packet of the recording's audio or video PID, PES headers taken off.
#include "mpeg/mpeg.h"

namespace {

constexpr uint8_t kAudioStreamMask = 0xE0;   // 110x xxxx: MPEG audio
constexpr char kWriteFailed[] = "Write to disk failed, disk full?\n";

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
    const char* name = qv->recordings[index].name;
    recording_reader* reader = open_recording_file(index, callback);
    if (!reader) {
        qv_set_error("Open of recording %s failed.\n", name);
        return 1;
    }
    uint32_t pid = header_pid(reader, mode.pid_field);
    qv_inform(callback, "%s PID is %d\n", mode.label, int(pid));

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
    if (demux_set(table, pid, out_es, file, 0, nullptr) != 0) {
        close_recording_file(reader);
        close_output(file);
        free_demux_table(table);
        qv_set_error("%s", mode.attach_failed);
        return 3;
    }
    int failed = demux_loop(table, reader);
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
        qv_set_error("%s", kWriteFailed);
        return 1;
    }
    return 0;
}

int convert_mp3(int index, progress_callback callback) { return convert_es(index, callback, kMp3); }

int convert_m2v(int index, progress_callback callback) { return convert_es(index, callback, kM2v); }
