// Fuzz target: the directory walk of the file-system check and the recording
// table with the list file. The input is the start of the root directory, of
// a subdirectory and of the list file's first cluster.
#include "fuzz_disks.h"

namespace {

struct Target : fuzz::InstalledDisk {
    std::vector<fuzz::Region> regions;
};

Target& target() {
    static Target* t = [] {
        Target* t = new Target;
        fuzz::DirectoryDisk d = fuzz::directory_disk();
        t->install(d.img.image());
        t->regions = fuzz::directory_regions(d);
        return t;
    }();
    return *t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Target& t = target();
    fuzz::apply(t.disk.image, t.regions, data, size);
    // Inputs of odd length run with the salvage: its listing and lost chains.
    qv_options.salvage = int(size % 2);
    if (open_qvdisk(fuzz::quiet) == 0) {
        int n = add_lost_recordings(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording));
        // What the listing and the copies read of every entry.
        for (int i = 0; i < n && i < int(kMaxRecordings); ++i) {
            int year, month, day, hour, minute;
            convert_date_time(qv->recordings[i].mjd, &year, &month, &day, &hour, &minute);
            (void)recording_size_mb(&qv->recordings[i]);
            char name[kOutputNameSize];
            recording_file_name(name, i, ".ts");
        }
    }
    qv_close();
    qv_options.salvage = 0;
    fuzz::restore(t.disk.image, t.base, t.regions);
    return 0;
}
