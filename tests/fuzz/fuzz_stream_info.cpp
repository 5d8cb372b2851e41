// Fuzz target: the stream describers. The input is a collected PES packet;
// both describers look at it, as the output functions do. The record is
// allocated to end right behind the packet's bytes, so a describer that reads
// beyond the collected length is caught.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "mpeg/mpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qv->progress = nullptr;   // the descriptions are composed, not shown
    size_t n = size < kPesBufferSize ? size : kPesBufferSize;
    void* block = malloc(offsetof(demux_stream, buffer) + n);
    demux_stream* stream = static_cast<demux_stream*>(block);
    memcpy(stream->buffer, data, n);
    stream->length = int32_t(n);
    int rate = 0;
    get_vinfo(stream, &rate);
    get_ainfo(stream, &rate);
    free(block);
    return 0;
}
