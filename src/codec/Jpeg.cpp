#include "Jpeg.h"

#include "JpegFrameHeader.h"
#include "Log.h"
#include "StreamDestination.h"

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>

namespace {

// Error manager whose fatal handler jumps back to the guard that started the library work.
struct JpegError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    char firstWarning[JMSG_LENGTH_MAX];
    int warnings;
    int firstWarningCode;
    bool damaged; // a warning that means the picture is not whole
};

[[noreturn]] void jumpOnError(j_common_ptr info) {
    JpegError* err = reinterpret_cast<JpegError*>(info->err);
    (*info->err->format_message)(info, err->message);
    std::longjmp(err->jump, 1);
}

void noteWarning(j_common_ptr info, int level) {
    if (level >= 0)
        return; // trace messages
    JpegError* err = reinterpret_cast<JpegError*>(info->err);
    const int code = info->err->msg_code;
    // The library fills what it cannot decode and goes on; these leave a wrong picture.
    if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE ||
        code == JWRN_MUST_RESYNC)
        err->damaged = true;
    if (err->warnings++ == 0) {
        err->firstWarningCode = info->err->msg_code;
        (*info->err->format_message)(info, err->firstWarning);
    }
}

void installErrorManager(JpegError& err, jpeg_common_struct& info) {
    info.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = jumpOnError;
    err.pub.emit_message = noteWarning;
}

// The only setjmp of the adapters. `step` and whatever it calls keep nothing with a destructor
// on the stack, so the jump back here skips no cleanup; the handles are released by the
// wrappers in the caller's frame.
bool runGuarded(JpegError& err, void (*step)(void*), void* context) {
    if (setjmp(err.jump) != 0)
        return false;
    step(context);
    return true;
}

struct Decompressor {
    jpeg_decompress_struct info{};
    JpegError err{};
    Decompressor() { installErrorManager(err, *reinterpret_cast<jpeg_common_struct*>(&info)); }
    ~Decompressor() { jpeg_destroy_decompress(&info); } // a no-op before creation
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

struct Compressor {
    jpeg_compress_struct info{};
    JpegError err{};
    Compressor() { installErrorManager(err, *reinterpret_cast<jpeg_common_struct*>(&info)); }
    ~Compressor() { jpeg_destroy_compress(&info); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
};

bool isLossless(const uint8_t* fragment, std::size_t length) {
    const auto header = ReadJpegFrameHeader({fragment, length});
    return header && header->lossless;
}

struct DecodeJob {
    j_decompress_ptr info;
    const uint8_t* in;
    std::size_t inLength;
    uint8_t* out;
    std::size_t outBytes;
    int outSampleBytes; // 1 for the 8-bit build, 2 for the 12- and 16-bit builds
    bool keepRgbIfLossless;
    bool lossless;
    bool photometricRgb; // the data set says RGB: no colour transform unless the stream asks
    const char* problem; // set when the stream cannot go into this build's output
    bool cut;            // the image did not fit into outBytes
};

bool subsampled(const jpeg_decompress_struct& info) {
    for (int i = 1; i < info.num_components; ++i)
        if (info.comp_info[i].h_samp_factor != info.comp_info[0].h_samp_factor ||
            info.comp_info[i].v_samp_factor != info.comp_info[0].v_samp_factor)
            return true;
    return false;
}

void decodeStep(void* context) {
    DecodeJob& job = *static_cast<DecodeJob*>(context);
    j_decompress_ptr info = job.info;
    jpeg_create_decompress(info);
    // Bounds what a forged header can make the library allocate.
    info->mem->max_memory_to_use = static_cast<long>(
        std::min<std::size_t>((64u << 20) + 4 * job.outBytes, static_cast<std::size_t>(1) << 30));
    jpeg_mem_src(info, job.in, static_cast<unsigned long>(job.inLength));
    jpeg_read_header(info, TRUE);
    if (job.keepRgbIfLossless && job.lossless && info->jpeg_color_space == JCS_YCbCr)
        info->jpeg_color_space = JCS_RGB;
    // Without a JFIF marker or an Adobe marker asking for a transform, three components are
    // taken as the data set labels them; the library would guess YCbCr. Subsampled chroma
    // says YCbCr too: no writer subsamples R or B.
    if (job.photometricRgb && info->num_components == 3 && info->jpeg_color_space == JCS_YCbCr &&
        !info->saw_JFIF_marker && !(info->saw_Adobe_marker && info->Adobe_transform != 0) &&
        !subsampled(*info))
        info->jpeg_color_space = JCS_RGB;
    const int precision = info->data_precision;
    if (job.outSampleBytes == 1 && precision > 8) {
        job.problem = "sample precision above 8 bits";
        return;
    }
    jpeg_start_decompress(info);
    const std::size_t rowSamples =
        static_cast<std::size_t>(info->output_width) * info->output_components;
    const std::size_t rowBytes = rowSamples * job.outSampleBytes;
    const int libraryBytes = precision > 8 ? 2 : 1;
    JSAMPARRAY rows =
        (*info->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE,
                                   static_cast<JDIMENSION>(rowSamples * libraryBytes), 1);
    while (info->output_scanline < info->output_height) {
        const std::size_t offset = static_cast<std::size_t>(info->output_scanline) * rowBytes;
        if (offset >= job.outBytes) {
            job.cut = true;
            break;
        }
        JDIMENSION got;
        if (precision <= 8)
            got = jpeg_read_scanlines(info, rows, 1);
        else if (precision <= 12)
            got = jpeg12_read_scanlines(info, reinterpret_cast<J12SAMPARRAY>(rows), 1);
        else
            got = jpeg16_read_scanlines(info, reinterpret_cast<J16SAMPARRAY>(rows), 1);
        if (got != 1) {
            job.problem = "no row returned";
            return;
        }
        const std::size_t n = std::min(rowBytes, job.outBytes - offset);
        uint8_t* to = job.out + offset;
        if (job.outSampleBytes == 1) {
            std::memcpy(to, rows[0], n);
        } else {
            for (std::size_t s = 0; s < n / 2; ++s) {
                uint16_t v;
                if (precision <= 8)
                    v = rows[0][s];
                else if (precision <= 12)
                    v = static_cast<uint16_t>(reinterpret_cast<J12SAMPROW>(rows[0])[s]);
                else
                    v = reinterpret_cast<J16SAMPROW>(rows[0])[s];
                std::memcpy(to + 2 * s, &v, 2);
            }
        }
        if (n < rowBytes)
            job.cut = true;
    }
    if (job.cut)
        jpeg_abort_decompress(info);
    else
        jpeg_finish_decompress(info);
}

int decodeJpeg(const char* place, const uint8_t* fragment, uint8_t* output,
               std::size_t fragmentLength, std::size_t outputBytes, int outSampleBytes,
               bool keepRgbIfLossless, bool photometricRgb) {
    if (fragment == nullptr || fragmentLength == 0 || output == nullptr) {
        LogMessage(std::string("ERROR, ") + place + ", empty stream");
        return -1;
    }
    Decompressor d;
    DecodeJob job{&d.info,
                  fragment,
                  fragmentLength,
                  output,
                  outputBytes,
                  outSampleBytes,
                  keepRgbIfLossless,
                  isLossless(fragment, fragmentLength),
                  photometricRgb,
                  nullptr,
                  false};
    if (!runGuarded(d.err, decodeStep, &job)) {
        LogMessage(std::string("ERROR, ") + place + ", " + d.err.message);
        return -1;
    }
    if (job.problem != nullptr) {
        LogMessage(std::string("ERROR, ") + place + ", " + job.problem);
        return -1;
    }
    if (job.cut) {
        LogMessage(std::string("ERROR, ") + place + ", image larger than the frame of " +
                   std::to_string(outputBytes) + " bytes, cut");
        return -1;
    }
    if (d.err.warnings > 0) {
        LogMessage(std::string("WARNING, ") + place + ", " + d.err.firstWarning);
        // A stream that ended early or whose coded data is damaged was filled up by the
        // library: the frame is not whole.
        if (d.err.damaged)
            return -1;
    }
    return 0;
}

struct EncodeJob {
    j_compress_ptr info;
    StreamDestination* destination;
    int width;
    int height;
    int components;
    const uint8_t* samples;
    int precision; // 8, 12 or 16
    bool lossless;
    int quality;
};

void encodeStep(void* context) {
    EncodeJob& job = *static_cast<EncodeJob*>(context);
    j_compress_ptr info = job.info;
    jpeg_create_compress(info);
    job.destination->Attach(*info);
    info->image_width = static_cast<JDIMENSION>(job.width);
    info->image_height = static_cast<JDIMENSION>(job.height);
    info->input_components = job.components;
    info->in_color_space = job.components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    info->data_precision = job.precision;
    jpeg_set_defaults(info);
    info->data_precision = job.precision;
    if (job.lossless) {
        // A colour transform would make the lossless process lossy: code R, G, B as they are.
        if (job.components == 3)
            jpeg_set_colorspace(info, JCS_RGB);
        jpeg_enable_lossless(info, 1, 0);
    } else {
        jpeg_set_quality(info, job.quality, TRUE);
    }
    // Every component at full resolution: no chroma subsampling.
    if (info->jpeg_color_space == JCS_YCbCr) {
        info->comp_info[0].h_samp_factor = 1;
        info->comp_info[0].v_samp_factor = 1;
    }
    for (int i = 1; i < MAX_COMPONENTS; ++i) {
        info->comp_info[i].h_samp_factor = 1;
        info->comp_info[i].v_samp_factor = 1;
    }
    jpeg_start_compress(info, TRUE);

    const int sampleBytes = job.precision > 8 ? 2 : 1;
    const std::size_t rowSamples = static_cast<std::size_t>(job.width) * job.components;
    const std::size_t stride = rowSamples * sampleBytes;
    JSAMPARRAY rows = nullptr;
    if (sampleBytes == 2)
        rows = (*info->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE,
                                          static_cast<JDIMENSION>(stride), 1);
    while (info->next_scanline < info->image_height) {
        const uint8_t* from = job.samples + static_cast<std::size_t>(info->next_scanline) * stride;
        if (job.precision == 8) {
            JSAMPROW row = const_cast<JSAMPROW>(from);
            jpeg_write_scanlines(info, &row, 1);
        } else if (job.precision == 12) {
            // Values above 12 bits would take the library outside its tables.
            J12SAMPROW row = reinterpret_cast<J12SAMPROW>(rows[0]);
            for (std::size_t s = 0; s < rowSamples; ++s) {
                uint16_t v;
                std::memcpy(&v, from + 2 * s, 2);
                row[s] = static_cast<J12SAMPLE>(std::min<uint16_t>(v, MAXJ12SAMPLE));
            }
            J12SAMPARRAY array = reinterpret_cast<J12SAMPARRAY>(rows);
            jpeg12_write_scanlines(info, array, 1);
        } else {
            std::memcpy(rows[0], from, stride);
            jpeg16_write_scanlines(info, reinterpret_cast<J16SAMPARRAY>(rows), 1);
        }
    }
    jpeg_finish_compress(info);
}

int encodeJpeg(const char* place, int width, int height, int components, const uint8_t* samples,
               std::vector<uint8_t>& out, int precision, bool lossless, int quality) {
    out.clear();
    if (samples == nullptr || width <= 0 || height <= 0 || (components != 1 && components != 3)) {
        LogMessage(std::string("ERROR, ") + place + ", bad image: " + std::to_string(width) + "x" +
                   std::to_string(height) + "x" + std::to_string(components));
        return -1;
    }
    StreamDestination destination;
    Compressor c;
    EncodeJob job{&c.info, &destination, width,    height, components,
                  samples, precision,    lossless, quality};
    if (!runGuarded(c.err, encodeStep, &job)) {
        LogMessage(std::string("ERROR, ") + place + ", " + c.err.message);
        return -1;
    }
    out = std::move(destination.Stream());
    return 0;
}

} // namespace

int JpegDecode8(const uint8_t* fragment, uint8_t* output, std::size_t fragmentLength,
                std::size_t outputBytes, bool photometricRgb) {
    return decodeJpeg("JpegDecode8", fragment, output, fragmentLength, outputBytes, 1, true,
                      photometricRgb);
}

int JpegDecode12(const uint8_t* fragment, uint8_t* output, std::size_t fragmentLength,
                 std::size_t outputBytes, bool photometricRgb) {
    return decodeJpeg("JpegDecode12", fragment, output, fragmentLength, outputBytes, 2, false,
                      photometricRgb);
}

int JpegDecode16(const uint8_t* fragment, uint8_t* output, std::size_t fragmentLength,
                 std::size_t outputBytes) {
    return decodeJpeg("JpegDecode16", fragment, output, fragmentLength, outputBytes, 2, false,
                      false);
}

int JpegEncode8(int width, int height, int components, const uint8_t* samples,
                std::vector<uint8_t>& out, int mode) {
    out.clear();
    if (mode != EncoderLossy && mode != EncoderLossless) {
        LogMessage("ERROR, JpegEncode8, unsupported mode " + std::to_string(mode));
        return -1;
    }
    return encodeJpeg("JpegEncode8", width, height, components, samples, out, 8,
                      mode == EncoderLossless, 85);
}

int JpegEncode12(int width, int height, int components, const uint8_t* samples,
                 std::vector<uint8_t>& out) {
    return encodeJpeg("JpegEncode12", width, height, components, samples, out, 12, false, 75);
}

int JpegEncode16(int width, int height, int components, const uint8_t* samples,
                 std::vector<uint8_t>& out) {
    return encodeJpeg("JpegEncode16", width, height, components, samples, out, 16, true, 0);
}
