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
    close_losses(reader->losses);
    keep_account(reader->losses);
    if (failed || reader->error) return 1;
    if (reader->unreadable_bytes == 0 && reader->lost_packets == 0) return 0;
    char totals[kErrorSize / 2];
    loss_totals(totals, sizeof totals);
    char first[kErrorSize];
    snprintf(first, sizeof first,
             "%" PRId64 " bytes could not be read; %" PRId64 " packets were lost%s",
             reader->unreadable_bytes, reader->lost_packets, totals);
    set_loss_error(first, reader->untried);
    copy_outcome().lossy_end = true;
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

namespace {

const output_track* current_tracks = nullptr;
int current_track_count = 0;

void close_outputs(FILE* const* files, int count) {
    for (int i = 0; i < count; ++i) close_output(files[i]);
}

// The output files of a conversion: files[0] under the conversion's
// extension, then one for each track with an extension of its own (its
// index in file_of). On failure every file made is closed again.
int create_outputs(int index, const demux_conversion& conversion, FILE** files, int* file_of) {
    int count = 0;
    for (int i = -1; i < conversion.plan->count; ++i) {
        const char* extension = i < 0 ? conversion.extension : conversion.plan->tracks[i].extension;
        if (i >= 0 && !extension[0]) {
            file_of[i] = 0;
            continue;
        }
        char out_name[kOutputNameSize];
        recording_file_name(out_name, index, extension);
        files[count] = open_output(out_name, recording_entry_at(index));
        if (!files[count]) {
            close_outputs(files, count);
            qv_set_error("Output file creation failed\n");
            return 0;
        }
        if (i >= 0) file_of[i] = count;
        ++count;
    }
    return count;
}

int attach_tracks(demux_table* table, const demux_conversion& conversion, FILE* const* files,
                  const int* file_of) {
    for (int i = 0; i < conversion.plan->count; ++i) {
        const output_track& t = conversion.plan->tracks[i];
        if (demux_set(table, t.pid, conversion.out_fn, files[file_of[i]], t.repack_size,
                      conversion.repack_fn) != 0) {
            qv_set_error("%s", t.kind == kStreamVideo ? "Allocation of video demux failed!\n"
                                                      : "Allocation of audio demux failed!\n");
            return 1;
        }
    }
    return 0;
}

}  // namespace

void set_conversion_tracks(const output_track* tracks, int count) {
    current_tracks = tracks;
    current_track_count = count;
}

const output_track* conversion_tracks(int* count) {
    *count = current_track_count;
    return current_tracks;
}

const output_track* conversion_track(const demux_stream* stream) {
    return stream->track >= 0 && stream->track < current_track_count
               ? &current_tracks[stream->track]
               : nullptr;
}

int run_demux_conversion(int index, recording_reader* reader, const demux_conversion& conversion,
                         progress_callback callback) {
    FILE* files[kMaxTracks + 1];
    int file_of[kMaxTracks];
    const int file_count = create_outputs(index, conversion, files, file_of);
    if (file_count == 0) {
        close_recording_file(reader);
        return kCopyNoOutput;
    }
    demux_table* table = new_demux_table();
    if (!table) {
        close_recording_file(reader);
        close_outputs(files, file_count);
        qv_set_error("Allocation of demux table failed!\n");
        return kCopyFailed;
    }
    if (attach_tracks(table, conversion, files, file_of) != 0) {
        close_recording_file(reader);
        close_outputs(files, file_count);
        free_demux_table(table);
        return kCopyNoStream;
    }

    set_conversion_tracks(conversion.plan->tracks, conversion.plan->count);
    int failed = demux_loop(table, reader);
    if (conversion.finish && conversion.finish() != 0) failed = 1;
    set_conversion_tracks(nullptr, 0);
    if (conversion.report) conversion.report(callback);  // beside the demultiplexer's counts
    free_demux_table(table);
    // An output that stayed empty is no copy.
    if (!failed && ftell(files[0]) == 0) {
        qv_set_error("Nothing was written: %s\n", conversion.empty_reason);
        failed = 1;
    }
    close_outputs(files + 1, file_count - 1);
    return finish_conversion(reader, files[0], failed);
}
