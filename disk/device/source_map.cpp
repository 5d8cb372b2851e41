// The map beside the image file, when there is one (from pvrcopy or GNU
// ddrescue): a byte in a block it does not mark finished reads as a failing
// drive there would, so that an image rescued in part is never trusted where
// it holds no data.
#include <cinttypes>
#include <cstdio>

#include "disk/device/device.h"

namespace {

rescue_map loaded_map;
bool have_source_map = false;
constexpr size_t kMapPathSize = 8192;  // an image path of any length a system takes
char source_map_path[kMapPathSize];

}  // namespace

int load_source_map(const char* image_path) {
    snprintf(source_map_path, sizeof source_map_path, "%s%s", image_path, kMapSuffix);
    int r = map_read(source_map_path, &loaded_map);
    if (r < 0) return 1;
    have_source_map = r == 0;
    if (have_source_map)
        qv_warn("Using the map %s: blocks it does not mark rescued count as unreadable\n",
                source_map_path);
    return 0;
}

bool source_map_refuses(int64_t position, uint32_t count, char* message) {
    if (!have_source_map) return false;
    int64_t at = map_first_unfinished(&loaded_map, position, count);
    if (at < 0) return false;
    qv_format(message, "Cannot read position %" PRId64 ": %s does not mark it rescued\n", at,
              source_map_path);
    return true;
}

void free_source_map() {
    map_free(&loaded_map);
    have_source_map = false;
}

const rescue_map* source_map() { return have_source_map ? &loaded_map : nullptr; }
