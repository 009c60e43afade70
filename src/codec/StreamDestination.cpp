#include "StreamDestination.h"

#include <jerror.h>

#include <cstring>
#include <new>

StreamDestination::StreamDestination() {
    mgr_.pub.init_destination = &StreamDestination::initDestination;
    mgr_.pub.empty_output_buffer = &StreamDestination::emptyOutputBuffer;
    mgr_.pub.term_destination = &StreamDestination::termDestination;
    mgr_.owner = this;
}

void StreamDestination::Attach(jpeg_compress_struct& info) {
    info.dest = &mgr_.pub;
}

StreamDestination& StreamDestination::from(j_compress_ptr info) {
    return *reinterpret_cast<Manager*>(info->dest)->owner;
}

bool StreamDestination::flush(std::size_t count) {
    // The library is C: no exception may travel through its frames.
    try {
        stream_.insert(stream_.end(), staging_.get(), staging_.get() + count);
        return true;
    } catch (...) {
        return false;
    }
}

void StreamDestination::initDestination(j_compress_ptr info) {
    StreamDestination* self = &from(info);
    bool ok = true;
    try {
        self->staging_ = std::make_unique_for_overwrite<uint8_t[]>(StagingBytes);
        self->stream_.clear();
    } catch (...) {
        ok = false;
    }
    if (!ok)
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    self->mgr_.pub.next_output_byte = self->staging_.get();
    self->mgr_.pub.free_in_buffer = StagingBytes;
}

boolean StreamDestination::emptyOutputBuffer(j_compress_ptr info) {
    StreamDestination* self = &from(info);
    // The library calls this with the whole buffer full, whatever free_in_buffer says.
    if (!self->flush(StagingBytes))
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
    self->mgr_.pub.next_output_byte = self->staging_.get();
    self->mgr_.pub.free_in_buffer = StagingBytes;
    return TRUE;
}

void StreamDestination::termDestination(j_compress_ptr info) {
    StreamDestination* self = &from(info);
    if (!self->flush(StagingBytes - self->mgr_.pub.free_in_buffer))
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 2);
    self->staging_.reset();
}
