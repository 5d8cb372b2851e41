// The records every layer of disk/ shares (declared in disk/qvdisk.h): the one
// open disk, the reason of the last failure, and the scratch cluster buffer
// with the name of its holder.
#include "disk/qvdisk.h"

#include <cassert>

namespace {

qv_instance the_disk;
const char* buffer_holder = nullptr;  // who holds cluster_buffer now; null: nobody

}  // namespace

qv_instance* qv = &the_disk;
thread_local char qv_error[kErrorSize];
alignas(kMaxDeviceSector) uint8_t cluster_buffer[kClusterBufferSize];  // aligned for direct reads

uint8_t* hold_cluster_buffer(const char* holder) {
    assert(!buffer_holder && "cluster_buffer is held already");
    buffer_holder = holder;
    return cluster_buffer;
}

void release_cluster_buffer() { buffer_holder = nullptr; }

const char* cluster_buffer_holder() { return buffer_holder; }
