// Mapfiles of GNU ddrescue: which parts of a disk copy are rescued. A text
// file of comment lines ('#' at the start of a line or behind blanks), the
// status line "current_pos current_status current_pass" and one line
// "pos size status" per block; the blocks are contiguous and do not overlap.
// Numbers are written as ddrescue writes them (0x and upper-case hex digits)
// and read as C++ integer constants (decimal, 0x hex, leading-zero octal).
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/device/device.h"

namespace {

constexpr size_t kLineSize = 1024;
constexpr uint32_t kFirstRoom = 64;
constexpr char kBlockStatuses[] = "?*/-+";
constexpr char kCurrentStatuses[] = "?*/-FG+";

bool is_status(char c, const char* allowed) { return c != 0 && strchr(allowed, c) != nullptr; }

// The line with its comment cut off, and its fields split at blanks.
int split_fields(char* line, char** fields, int room) {
    for (char* p = line; *p; ++p) {
        if (*p == '#' && (p == line || p[-1] == ' ' || p[-1] == '\t')) {
            *p = 0;
            break;
        }
    }
    int n = 0;
    char* save = line;
    while (*save) {
        while (*save == ' ' || *save == '\t' || *save == '\r' || *save == '\n') ++save;
        if (!*save) break;
        if (n == room) return room + 1;
        fields[n++] = save;
        while (*save && *save != ' ' && *save != '\t' && *save != '\r' && *save != '\n') ++save;
        if (*save) *save++ = 0;
    }
    return n;
}

// A non-negative integer constant, the whole field.
int parse_number(const char* text, int base, int64_t* value) {
    if (*text == '-' || *text == '+') return 0;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text, &end, base);
    if (errno != 0 || end == text || *end != 0 || v < 0) return 0;
    *value = int64_t(v);
    return 1;
}

int grow(rescue_map* map, uint32_t needed) {
    if (needed <= map->room) return 0;
    uint32_t room = map->room ? map->room : kFirstRoom;
    while (room < needed) room *= 2;
    map_block* blocks = static_cast<map_block*>(realloc(map->blocks, sizeof(map_block) * room));
    if (!blocks) {
        qv_set_error("Not enough memory for the map\n");
        return 1;
    }
    map->blocks = blocks;
    map->room = room;
    return 0;
}

int append_block(rescue_map* map, int64_t pos, int64_t size, char status) {
    if (grow(map, map->count + 1) != 0) return 1;
    map->blocks[map->count++] = map_block{pos, size, status};
    return 0;
}

// What a reading of a mapfile has found so far.
struct map_reading {
    rescue_map* map;
    int line_number;
    bool have_status;
    const char* problem;  // the line (or the file) cannot be used: why
    bool no_memory;       // the message is in qv_error
};

// The status line: "pos status [pass]" (the pass came with version 1.20).
void read_status_line(map_reading* r, char** fields, int n) {
    int64_t pos = 0;
    int64_t pass = 0;
    if (n < 2 || n > 3 || !parse_number(fields[0], 0, &pos) || strlen(fields[1]) != 1 ||
        !is_status(fields[1][0], kCurrentStatuses) ||
        (n == 3 && !parse_number(fields[2], 10, &pass)) || pass > INT32_MAX) {
        r->problem = "is not the status line \"current_pos current_status current_pass\"";
        return;
    }
    r->map->current_pos = pos;
    r->map->current_status = fields[1][0];
    r->map->current_pass = n == 3 ? int(pass) : 1;
    r->have_status = true;
}

// A block line: "pos size status", beginning where the block before ends.
void read_block_line(map_reading* r, char** fields, int n) {
    int64_t pos = 0;
    int64_t size = 0;
    if (n != 3 || !parse_number(fields[0], 0, &pos) || !parse_number(fields[1], 0, &size) ||
        size == 0 || strlen(fields[2]) != 1 || !is_status(fields[2][0], kBlockStatuses) ||
        pos > INT64_MAX - size) {
        r->problem = "is not a block line \"pos size status\"";
        return;
    }
    if (r->map->count > 0 && pos != map_end(r->map)) {
        r->problem = "does not begin where the block before it ends";
        return;
    }
    if (append_block(r->map, pos, size, fields[2][0]) != 0) r->no_memory = true;
}

void read_line(map_reading* r, char* line) {
    char* fields[4] = {};
    int n = split_fields(line, fields, 3);
    if (n == 0) return;
    if (r->have_status)
        read_block_line(r, fields, n);
    else
        read_status_line(r, fields, n);
}

// Extends the map over [pos, end) with non-tried blocks where it does not
// reach yet (before its first block, behind its last).
int cover(rescue_map* map, int64_t pos, int64_t end) {
    if (map->count == 0 || map->blocks[0].pos > pos) {
        int64_t first = map->count ? map->blocks[0].pos : end;
        if (grow(map, map->count + 1) != 0) return 1;
        memmove(map->blocks + 1, map->blocks, sizeof(map_block) * map->count);
        map->blocks[0] = map_block{pos, first - pos, kMapNonTried};
        map->count++;
    }
    if (map_end(map) < end &&
        append_block(map, map_end(map), end - map_end(map), kMapNonTried) != 0)
        return 1;
    return 0;
}

// Joins the blocks from .. to - 1 that have the status of their neighbour.
void join_neighbours(rescue_map* map, uint32_t from, uint32_t to) {
    uint32_t out = from;
    for (uint32_t k = from + 1; k < to; ++k) {
        if (map->blocks[k].status == map->blocks[out].status)
            map->blocks[out].size += map->blocks[k].size;
        else
            map->blocks[++out] = map->blocks[k];
    }
    uint32_t removed = to - (out + 1);
    if (removed == 0) return;
    memmove(map->blocks + out + 1, map->blocks + to, sizeof(map_block) * (map->count - to));
    map->count -= removed;
}

}  // namespace

uint32_t map_block_at(const rescue_map* map, int64_t pos) {
    uint32_t lo = 0, hi = map->count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (map->blocks[mid].pos + map->blocks[mid].size <= pos)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < map->count && map->blocks[lo].pos <= pos ? lo : map->count;
}

void map_free(rescue_map* map) {
    free(map->blocks);
    *map = rescue_map{};
}

int map_read(const char* path, rescue_map* map) {
    map_free(map);
    FILE* file = fopen(path, "rb");
    if (!file) {
        if (errno == ENOENT) return 1;
        qv_set_error("Cannot open the map %s\n", path);
        return -1;
    }
    map_reading reading = {map, 0, false, nullptr, false};
    char line[kLineSize];
    while (!reading.problem && !reading.no_memory && fgets(line, sizeof line, file)) {
        ++reading.line_number;
        if (!strchr(line, '\n') && !feof(file))
            reading.problem = "is too long";
        else
            read_line(&reading, line);
    }
    if (!reading.problem && ferror(file)) reading.problem = "cannot be read";
    fclose(file);
    if (!reading.problem && !reading.no_memory && !reading.have_status) {
        reading.problem = "has no status line";
        reading.line_number = 0;
    }
    if (!reading.problem && !reading.no_memory) return 0;
    if (reading.problem && reading.line_number > 0)
        qv_set_error("The map %s cannot be used: line %d %s\n", path, reading.line_number,
                     reading.problem);
    else if (reading.problem)
        qv_set_error("The map %s cannot be used: it %s\n", path, reading.problem);
    map_free(map);
    return -1;
}

// The map is written over the one there and then cut to its length: on an
// output disk that another program filled, the map of what was written
// still fits in the room the last one took (new blocks only for its growth).
int map_write(const char* path, const rescue_map* map) {
    FILE* file = fopen(path, "r+b");
    if (!file) file = fopen(path, "wb");
    if (!file) {
        qv_set_error("Cannot write the map %s\n", path);
        return 1;
    }
    fprintf(file, "# Mapfile. Created by pvrcopy\n");
    fprintf(file, "# current_pos  current_status  current_pass\n");
    fprintf(file, "0x%08" PRIX64 "     %c               %d\n", uint64_t(map->current_pos),
            map->current_status, map->current_pass);
    fprintf(file, "#      pos        size  status\n");
    for (uint32_t i = 0; i < map->count; ++i)
        fprintf(file, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", uint64_t(map->blocks[i].pos),
                uint64_t(map->blocks[i].size), map->blocks[i].status);
    int failed = fflush(file) != 0 || ferror(file);
    const long length = ftell(file);
    if (length < 0 || qv_truncate(file, length) != 0) failed = 1;
    if (fclose(file) != 0) failed = 1;
    if (failed) qv_set_error("Cannot write the map %s\n", path);
    return failed;
}

int64_t map_end(const rescue_map* map) {
    return map->count ? map->blocks[map->count - 1].pos + map->blocks[map->count - 1].size : 0;
}

int map_set(rescue_map* map, int64_t pos, int64_t size, char status) {
    if (size <= 0) return 0;
    const int64_t end = pos + size;
    if (cover(map, pos, end) != 0) return 1;
    // Blocks i .. j - 1 meet the range; they become at most three.
    uint32_t i = map_block_at(map, pos);
    uint32_t j = map_block_at(map, end - 1) + 1;
    map_block left = map->blocks[i];
    map_block right = map->blocks[j - 1];
    map_block parts[3];
    uint32_t n = 0;
    if (left.pos < pos) parts[n++] = map_block{left.pos, pos - left.pos, left.status};
    parts[n++] = map_block{pos, size, status};
    if (right.pos + right.size > end)
        parts[n++] = map_block{end, right.pos + right.size - end, right.status};
    if (grow(map, map->count - (j - i) + n) != 0) return 1;
    memmove(map->blocks + i + n, map->blocks + j, sizeof(map_block) * (map->count - j));
    memcpy(map->blocks + i, parts, sizeof(map_block) * n);
    map->count = map->count - (j - i) + n;
    join_neighbours(map, i > 0 ? i - 1 : 0, i + n + 1 < map->count ? i + n + 1 : map->count);
    return 0;
}

int64_t map_first_unfinished(const rescue_map* map, int64_t pos, int64_t size) {
    const int64_t end = pos + size;
    uint32_t i = map_block_at(map, pos);
    if (i == map->count) return pos;
    for (int64_t at = pos; at < end; ++i) {
        if (i == map->count || map->blocks[i].pos > at) return at;
        if (map->blocks[i].status != kMapFinished) return at;
        at = map->blocks[i].pos + map->blocks[i].size;
    }
    return -1;
}
