// What every conversion shares: the recording opened, its output file
// created, and the end that closes both and turns a failure into the result.
// The conversions through the demultiplexer share the whole run.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "mpeg/mpeg.h"

namespace {

const recording_entry* recording_entry_at(int index) {
    return index >= 0 && uint32_t(index) < kMaxRecordings ? &qv->recordings[index] : nullptr;
}

const char* recording_name(int index) {
    const recording_entry* entry = recording_entry_at(index);
    return entry ? entry->name : "";
}

}  // namespace

packet_progress start_packet_progress(const recording_reader* reader, progress_callback callback) {
    uint64_t expected = 0;
    if (reader->index >= 0 && uint32_t(reader->index) < kMaxRecordings)
        expected =
            uint64_t(qv->recordings[reader->index].num_clusters) * qv->cluster_size / kTsPacketSize;
    return {callback, expected, 1, -1};
}

uint64_t next_percent_step(uint64_t done, uint64_t total) {
    if (total == 0) return done + 1;
    uint64_t percent = done * 100 / total;
    return ((percent + 1) * total + 99) / 100;
}

bool repack_size_fits(int32_t size, int32_t largest) {
    if (size == 0 || (size >= kMinRepackSize && size <= largest)) return true;
    qv_set_error("Repack size %d not supported: use 0 or a size from %d to %d\n", size,
                 kMinRepackSize, largest);
    return false;
}

int recording_verdict(const recording_reader* reader, int failed) {
    if (failed || reader->error) return 1;
    if (reader->unreadable_bytes == 0 && reader->lost_packets == 0) return 0;
    char first[kErrorSize];
    snprintf(first, sizeof first,
             "%" PRId64 " bytes could not be read; %" PRId64 " packets were lost",
             reader->unreadable_bytes, reader->lost_packets);
    set_loss_error(first, reader->untried);
    return 1;
}

recording_reader* open_conversion_source(int index, progress_callback callback) {
    recording_reader* reader = open_recording_file(index, callback);
    if (!reader) qv_set_error("Open of recording %s failed.\n", recording_name(index));
    return reader;
}

FILE* create_conversion_output(int index, const char* extension, recording_reader* reader) {
    char out_name[kOutputNameSize];
    recording_file_name(out_name, index, extension);
    FILE* file = open_output(out_name, recording_entry_at(index));
    if (!file) {
        close_recording_file(reader);
        qv_set_error("Output file creation failed\n");
    }
    return file;
}

int finish_conversion(recording_reader* reader, FILE* file, int failed) {
    int close_failed = close_output(file);
    // Told at once, while errno still holds the reason; an earlier failure's
    // message stays.
    if (close_failed && !failed) qv_write_failed(kDiskFullMessage);
    close_recording_file(reader);
    return failed || close_failed ? kCopyIncomplete : kCopyDone;
}

int run_demux_conversion(int index, recording_reader* reader, const demux_conversion& conversion,
                         progress_callback callback) {
    FILE* file = create_conversion_output(index, conversion.extension, reader);
    if (!file) return kCopyNoOutput;
    demux_table* table = new_demux_table();
    if (!table) {
        close_recording_file(reader);
        close_output(file);
        qv_set_error("Allocation of demux table failed!\n");
        return kCopyFailed;
    }
    for (int i = 0; i < conversion.stream_count; ++i) {
        if (demux_set(table, conversion.pids[i], conversion.out_fn, file, conversion.repack_size,
                      conversion.repack_fn) != 0) {
            close_recording_file(reader);
            close_output(file);
            free_demux_table(table);
            qv_set_error("%s", conversion.attach_failed[i]);
            return kCopyNoStream;
        }
    }

    int failed = demux_loop(table, reader);
    if (conversion.report) {
        // Shown beside the demultiplexer's counts; a failure's message stays
        // in qv_error for the caller.
        char message[kErrorSize];
        memcpy(message, qv_error, sizeof message);
        conversion.report(callback);
        if (failed) memcpy(qv_error, message, sizeof message);
    }
    free_demux_table(table);
    return finish_conversion(reader, file, failed);
}
