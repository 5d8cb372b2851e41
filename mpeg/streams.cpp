// Which streams a conversion takes. Before a conversion reads the recording,
// it looks at its first packets: which PIDs occur, and what its program map
// (PMT) lists. The recording header's video and audio PIDs are checked
// against them (a header may name a PID that never occurs, while the PMT
// names the real stream), and with --all-streams every stream of the PMT
// that the output can carry is taken; without it the user is told which
// ones are left out.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "disk/bytes.h"
#include "mpeg/mpeg.h"

stream_settings stream_options = {};

namespace {

// The probe looks at this many packets at most (3 MB, seconds of a
// broadcast), fewer when the PMT, both header PIDs and every PID the PMT
// lists show up before.
constexpr int64_t kProbePackets = 16384;

bool pid_seen(const recording_probe& probe, uint32_t pid) { return has_pid(probe.seen, pid); }

// A PMT section, collected from the packets of the PMT PID it spans.
struct section_collector {
    uint8_t bytes[kMaxSectionSize];
    size_t length;
    size_t needed;  // the section's size; 0 while none is being collected
};

// Takes packet p of the PMT PID; true when c holds a whole section.
bool collect_section(section_collector& c, const uint8_t* p) {
    uint32_t from = 0;
    if (!ts_scrambled(p) && ts_unit_start(p)) {
        from = ts_section(p, kPmtTableId, kSectionHeadSize);
        c.length = 0;
        c.needed = from ? kSectionHeadSize +
                              (get_be16(p + from + kSectionLengthOffset) & kSectionLengthMask)
                        : 0;
        if (c.needed > kMaxSectionSize) c.needed = 0;
    } else if (!ts_scrambled(p)) {
        from = ts_payload_offset(p);
    }
    if (c.needed == 0 || from == kNoPayload) return false;
    const size_t n = std::min(size_t(kTsPacketSize - from), c.needed - c.length);
    memcpy(c.bytes + c.length, p + from, n);
    c.length += n;
    if (c.length < c.needed) return false;
    c.needed = 0;
    return true;
}

bool all_listed_seen(const recording_probe& probe) {
    for (int i = 0; i < probe.pmt.count; ++i)
        if (!pid_seen(probe, probe.pmt.streams[i].pid)) return false;
    return true;
}

const pmt_stream* pmt_entry_of(const recording_probe& probe, uint32_t pid) {
    for (int i = 0; probe.have_pmt && i < probe.pmt.count; ++i)
        if (probe.pmt.streams[i].pid == pid) return &probe.pmt.streams[i];
    return nullptr;
}

const char* const kRoleNames[] = {"", "video", "audio"};

// Checks the header's PID of one role: occurs, or the first PMT stream of
// kinds that occurs takes its place (told). Nonzero when neither
// (format_missing words it).
int check_role(const recording_probe& probe, int role, int kinds, uint32_t other, uint32_t* pid,
               progress_callback callback) {
    if (probe.packets == 0 || pid_seen(probe, *pid)) return 0;
    const char* name = kRoleNames[role];
    for (int i = 0; probe.have_pmt && i < probe.pmt.count; ++i) {
        const pmt_stream& s = probe.pmt.streams[i];
        if (!(kinds & (1 << s.kind)) || s.pid == other || !pid_seen(probe, s.pid)) continue;
        qv_inform(callback,
                  "The recording header's %s PID %u occurs in none of the first %" PRId64
                  " packets; the PMT's %s PID %u is taken instead\n",
                  name, *pid, probe.packets, name, s.pid);
        *pid = s.pid;
        return 0;
    }
    return 1;
}

// Into message: that the recording has no stream of the role its header names.
void format_missing(char* message, const recording_probe& probe, int role, uint32_t pid) {
    const char* name = kRoleNames[role];
    qv_format(message,
              "The recording has no %s: its header's %s PID %u occurs in none of the first %" PRId64
              " packets, and no PMT names another\n",
              name, name, pid, probe.packets);
}

// The header's streams the output needs, checked. A missing one fails the
// conversion when the output needs all, else (TS) when none is there; a
// missing one that is let pass is told.
int check_roles(const recording_probe& probe, const stream_request& request, stream_plan* plan,
                progress_callback callback) {
    int missing = 0, present = 0;
    char first_missing[kErrorSize] = "";
    for (int role : {kRoleVideo, kRoleAudio}) {
        if (!(request.roles & role)) continue;
        uint32_t* pid = role == kRoleVideo ? &plan->video_pid : &plan->audio_pid;
        const uint32_t other = role == kRoleVideo ? plan->audio_pid : plan->video_pid;
        const int kinds = role == kRoleVideo ? 1 << kStreamVideo : request.audio_kinds;
        if (check_role(probe, role, kinds, other, pid, callback) == 0) {
            ++present;
            continue;
        }
        if (!missing++) format_missing(first_missing, probe, role, *pid);
        if (!request.need_all) qv_inform(callback, "%s", first_missing);
    }
    if (missing && (request.need_all || present == 0)) {
        qv_set_error("%s", first_missing);
        return 1;
    }
    return 0;
}

bool taken(const stream_plan* plan, uint32_t pid) {
    for (int i = 0; i < plan->count; ++i)
        if (plan->tracks[i].pid == pid) return true;
    return false;
}

void add_track(stream_plan* plan, uint32_t pid, stream_kind kind, int header) {
    output_track& t = plan->tracks[plan->count++];
    memset(&t, 0, sizeof t);
    t.pid = pid;
    t.kind = kind;
    t.header = header;
}

bool is_audio_kind(stream_kind kind) { return kind == kStreamMpegAudio || kind == kStreamAc3; }

// The PMT streams of the output's kinds that it leaves out, in one line:
// "PID 259 (MPEG audio), PID 260 (AC-3 audio)". A stream that occurs in none
// of the probed packets is left out of nothing.
void left_out(const recording_probe& probe, const stream_request& request, const stream_plan* plan,
              char* line, size_t size) {
    size_t used = 0;
    line[0] = 0;
    for (int i = 0; probe.have_pmt && i < probe.pmt.count && used < size; ++i) {
        const pmt_stream& s = probe.pmt.streams[i];
        if (!(request.kinds & (1 << s.kind)) || taken(plan, s.pid) || !pid_seen(probe, s.pid))
            continue;
        char name[64];
        describe_pmt_stream(name, sizeof name, s);
        used += size_t(snprintf(line + used, size - used, "%s%s", used ? ", " : "", name));
    }
}

}  // namespace

void probe_recording(int index, recording_probe* probe) {
    memset(probe, 0, sizeof *probe);
    recording_reader* reader = open_recording_file(index, nullptr);
    if (!reader) return;
    const uint32_t pmt_pid = header_pid(reader, kHeaderPmtPid),
                   video_pid = header_pid(reader, kHeaderVideoPid),
                   audio_pid = header_pid(reader, kHeaderAudioPid);
    section_collector section;
    section.needed = 0;
    while (probe->packets < kProbePackets && !qv_interrupted) {
        const uint8_t* p = read_ts_packet(reader);
        if (!p) break;
        ++probe->packets;
        if (p[0] != kTsSyncByte) continue;
        const uint32_t pid = ts_pid(p);
        add_pid(probe->seen, pid);
        if (pid == pmt_pid && !probe->have_pmt && collect_section(section, p))
            probe->have_pmt = read_program_map(section.bytes, section.length, &probe->pmt);
        if (probe->have_pmt && pid_seen(*probe, video_pid) && pid_seen(*probe, audio_pid) &&
            all_listed_seen(*probe))
            break;
    }
    close_recording_file(reader);
}

namespace {

// With --all-streams, the PMT's streams of the kinds asked for, in its order
// (a demultiplexed output only those that occur, and no more audio tracks
// than it holds).
void add_pmt_tracks(const recording_probe& probe, const stream_request& request,
                    stream_plan* plan) {
    int audio = plan->count - ((request.roles & kRoleVideo) ? 1 : 0);
    for (int i = 0; probe.have_pmt && i < probe.pmt.count; ++i) {
        const pmt_stream& s = probe.pmt.streams[i];
        if (!(request.kinds & (1 << s.kind)) || taken(plan, s.pid)) continue;
        if (request.demuxed &&
            (!pid_seen(probe, s.pid) || (is_audio_kind(s.kind) && audio == kMaxAudioTracks)))
            continue;
        audio += is_audio_kind(s.kind);
        add_track(plan, s.pid, s.kind, 0);
    }
}

// The line that names the streams the output leaves out, and with
// --all-streams the one of those it cannot write and the one that says no
// PMT was found.
void tell_left_out(const recording_probe& probe, const stream_request& request,
                   const stream_plan* plan, bool all, progress_callback callback) {
    char line[kErrorSize / 2];
    left_out(probe, request, plan, line, sizeof line);
    if (line[0] && !all)
        qv_inform(callback,
                  "The PMT lists streams this output leaves out: %s; --all-streams keeps them\n",
                  line);
    else if (line[0])
        qv_inform(
            callback,
            "The PMT lists streams this output leaves out: %s; it holds %d audio tracks at most\n",
            line, kMaxAudioTracks);
    stream_request unwritable = request;
    unwritable.kinds = request.unwritable;
    if (all) left_out(probe, unwritable, plan, line, sizeof line);
    if (all && line[0])
        qv_inform(callback,
                  "The PMT lists streams this output leaves out: %s; it cannot write streams of "
                  "their kind\n",
                  line);
    if (all && !probe.have_pmt)
        qv_inform(callback,
                  "No PMT in the first %" PRId64 " packets: only the header's streams are taken\n",
                  probe.packets);
}

}  // namespace

int plan_streams(const recording_reader* reader, const recording_probe& probe,
                 const stream_request& request, stream_plan* plan, progress_callback callback) {
    plan->video_pid = header_pid(reader, kHeaderVideoPid);
    plan->audio_pid = header_pid(reader, kHeaderAudioPid);
    plan->pcr_pid = probe.have_pmt ? probe.pmt.pcr_pid : kPidCount;
    plan->count = 0;
    if (check_roles(probe, request, plan, callback) != 0) return 1;

    const bool all = stream_options.all_streams && request.kinds != 0;
    if (request.roles & kRoleVideo) add_track(plan, plan->video_pid, kStreamVideo, 1);
    if (request.roles & kRoleAudio) {
        // The header's audio as the PMT knows it, or as MPEG audio; with
        // --all-streams first, before the PMT's other tracks.
        const pmt_stream* listed = pmt_entry_of(probe, plan->audio_pid);
        const stream_kind kind =
            listed && (request.audio_kinds & (1 << listed->kind)) ? listed->kind : kStreamMpegAudio;
        add_track(plan, plan->audio_pid, kind, 1);
    }
    if (all) add_pmt_tracks(probe, request, plan);
    tell_left_out(probe, request, plan, all, callback);
    return 0;
}

void label_track(output_track* t) {
    const size_t n = sizeof t->label;
    if (t->kind == kStreamVideo)
        snprintf(t->label, n, "Video");
    else if (!stream_options.all_streams)
        snprintf(t->label, n, "Audio");
    else if (!t->stream_id)
        snprintf(t->label, n, "Audio PID %u", t->pid);
    else if (!t->sub_id)
        snprintf(t->label, n, "Audio PID %u as 0x%02X", t->pid, t->stream_id);
    else
        snprintf(t->label, n, "Audio PID %u as 0x%02X 0x%02X", t->pid, t->stream_id, t->sub_id);
}
