#pragma once
// The destination manager of the JPEG encoders: the library fills a 16 KiB staging buffer,
// each full buffer is appended to a growable stream, the used part of the last one at the end.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <jpeglib.h>

class StreamDestination {
public:
    static constexpr std::size_t StagingBytes = 16384;

    StreamDestination();
    StreamDestination(const StreamDestination&) = delete;
    StreamDestination& operator=(const StreamDestination&) = delete;

    // Installs this manager on the compressor; it must outlive the compression.
    void Attach(jpeg_compress_struct& info);
    // The stream written so far; complete after jpeg_finish_compress.
    std::vector<uint8_t>& Stream() { return stream_; }

private:
    static void initDestination(j_compress_ptr info);
    static boolean emptyOutputBuffer(j_compress_ptr info);
    static void termDestination(j_compress_ptr info);
    // Appends count staging bytes; false when the stream cannot grow.
    bool flush(std::size_t count);

    // The library hands back a pointer to `pub`; `owner` leads from it to this object.
    struct Manager {
        jpeg_destination_mgr pub;
        StreamDestination* owner;
    };
    static StreamDestination& from(j_compress_ptr info);

    Manager mgr_{};
    std::unique_ptr<uint8_t[]> staging_;
    std::vector<uint8_t> stream_;
};
