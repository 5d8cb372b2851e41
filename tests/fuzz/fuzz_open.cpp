// Fuzz target: opening the disk and checking its file system. The input is
// the first sector, both allocation tables and the first root directory
// entries of the sample disk; a disk that opens has its recording table read.
#include "fuzz_disks.h"

namespace {

struct Target : fuzz::InstalledDisk {
    std::vector<fuzz::Region> regions;
};

Target& target() {
    static Target* t = [] {
        Target* t = new Target;
        ImageBuilder img = fuzz::open_disk();
        t->install(img.image());
        t->regions = fuzz::open_regions(img);
        return t;
    }();
    return *t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Target& t = target();
    fuzz::apply(t.disk.image, t.regions, data, size);
    // Inputs of odd length run with the salvage: both tables merged, lost chains.
    qv_options.salvage = int(size % 2);
    if (open_qvdisk(fuzz::quiet) == 0) add_lost_recordings(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording));
    qv_close();
    qv_options.salvage = 0;
    fuzz::restore(t.disk.image, t.base, t.regions);
    return 0;
}
