// Output file names: a recording's name becomes a file name of safe
// characters only, unique within the recording table, so that no copy of
// one recording can take the name of another's.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "disk/copy/copy.h"

namespace {

// The characters a file name may keep, as the recorder tool has always had
// them (the dollar sign twice changes nothing).
constexpr char kAllowed[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-+=;$!@#$%^&()[]{}_";
constexpr char kReplacement = '_';

bool allowed(char c) { return c != 0 && memchr(kAllowed, c, sizeof kAllowed - 1) != nullptr; }

// out: name (length bytes), number and extension, every character outside
// the allowed set replaced; kOutputNameSize bytes at most.
void compose_name(char* out, const char* name, size_t length, const char* number,
                  const char* extension) {
    if (snprintf(out, kOutputNameSize, "%.*s%s%s", int(length), name, number, extension) < 0)
        out[0] = 0;
    for (char* p = out; *p; ++p)
        if (!allowed(*p)) *p = kReplacement;
    // A name the system keeps for a device would send the copy there.
    const size_t n = strlen(out);
    if (qv_device_name(out) && n + 1 < kOutputNameSize) {
        memmove(out + 1, out, n + 1);
        out[0] = kReplacement;
    }
}

}  // namespace

void make_name(char* out, const char* name, const char* extension) {
    compose_name(out, name, strnlen(name, kNameSize - 1), "", extension);
}

namespace {

// Output names of the recording table compared as the output file system
// compares them: after make_name's filter, ASCII letters without regard to
// case. A key is a recording's name, and for a numbered one its "_N" behind.
struct name_key {
    const char* name;
    size_t length;
    char number[16];  // "" or "_N"
};

char key_char(const name_key& k, size_t i) {
    if (i >= k.length) return k.number[i - k.length];
    char c = allowed(k.name[i]) ? k.name[i] : kReplacement;
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

int compare_keys(const name_key& a, const name_key& b) {
    for (size_t i = 0;; ++i) {
        char x = key_char(a, i), y = key_char(b, i);
        if (x != y) return (unsigned char)x < (unsigned char)y ? -1 : 1;
        if (x == 0) return 0;
    }
}

name_key key_of(int index, bool numbered) {
    name_key k;
    k.name = qv->recordings[index].name;
    k.length = strnlen(k.name, kNameSize - 1);
    k.number[0] = 0;
    if (numbered) snprintf(k.number, sizeof k.number, "_%d", index + 1);
    return k;
}

// Which recordings of the first count get their list number. Sorted by
// name, equal names are neighbours; a numbered name can equal only a
// recording's own name (behind the last "_" of two numbered names stand
// their different numbers), and that recording is numbered too, which may
// make its numbered name equal another's name: until none is left.
void number_recordings(int count, uint8_t* numbered) {
    static uint16_t order[kMaxRecordings];
    static uint16_t work[kMaxRecordings];
    for (int i = 0; i < count; ++i) order[i] = uint16_t(i);
    std::sort(order, order + count, [](uint16_t a, uint16_t b) {
        int c = compare_keys(key_of(a, false), key_of(b, false));
        return c != 0 ? c < 0 : a < b;
    });
    int pending = 0;
    for (int i = 0; i < count; ++i) {
        const int r = order[i];
        const name_key k = key_of(r, false);
        numbered[r] = k.length == 0 ||  // never a file named by its extension alone
                      (i > 0 && compare_keys(key_of(order[i - 1], false), k) == 0) ||
                      (i + 1 < count && compare_keys(key_of(order[i + 1], false), k) == 0);
        if (numbered[r]) work[pending++] = uint16_t(r);
    }
    while (pending > 0) {
        const name_key k = key_of(work[--pending], true);
        const uint16_t* at =
            std::lower_bound(order, order + count, k, [](uint16_t r, const name_key& key) {
                return compare_keys(key_of(r, false), key) < 0;
            });
        // At most one recording has that name (two would both be numbered).
        if (at != order + count && !numbered[*at] && compare_keys(key_of(*at, false), k) == 0) {
            numbered[*at] = 1;
            work[pending++] = *at;
        }
    }
}

// A fingerprint of the first count names (64-bit FNV-1a): the numbering is
// worked out again only when the table changed, not for every copy of a
// table of thousands.
uint64_t table_fingerprint(int count) {
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
    for (int i = 0; i < 4; ++i) mix(uint8_t(uint32_t(count) >> (8 * i)));
    for (int r = 0; r < count; ++r) {
        const char* name = qv->recordings[r].name;
        for (size_t i = 0, n = strnlen(name, kNameSize - 1); i < n; ++i) mix(uint8_t(name[i]));
        mix(0);
    }
    return h;
}

}  // namespace

void recording_file_name(char* out, int index, const char* extension) {
    if (index < 0 || index >= int(kMaxRecordings)) {
        make_name(out, "", extension);
        return;
    }
    // The recording named belongs to the table, whatever its count says.
    int count = qv->recording_count > index ? qv->recording_count : index + 1;
    if (count > int(kMaxRecordings)) count = int(kMaxRecordings);
    static uint8_t numbered[kMaxRecordings];
    static uint64_t numbered_table;  // the fingerprint of the table numbered
    static bool have_numbered = false;
    const uint64_t table = table_fingerprint(count);
    if (!have_numbered || table != numbered_table) {
        number_recordings(count, numbered);
        numbered_table = table;
        have_numbered = true;
    }
    const name_key k = key_of(index, numbered[index] != 0);
    compose_name(out, k.name, k.length, k.number, extension);
}
