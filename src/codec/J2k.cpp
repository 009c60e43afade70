#include "J2k.h"

#include "Log.h"

#include <openjpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct CodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using CodecPtr = std::unique_ptr<opj_codec_t, CodecDeleter>;
using StreamPtr = std::unique_ptr<opj_stream_t, StreamDeleter>;
using ImagePtr = std::unique_ptr<opj_image_t, ImageDeleter>;

// A byte range the library reads from, or a growable block it writes to.
struct MemoryStream {
    const uint8_t* in = nullptr;
    std::size_t inLength = 0;
    std::vector<uint8_t>* out = nullptr;
    std::size_t position = 0;
    bool failed = false;
};

OPJ_SIZE_T readMemory(void* buffer, OPJ_SIZE_T count, void* user) {
    auto* m = static_cast<MemoryStream*>(user);
    if (m->position >= m->inLength)
        return static_cast<OPJ_SIZE_T>(-1);
    const std::size_t n = std::min<std::size_t>(count, m->inLength - m->position);
    std::memcpy(buffer, m->in + m->position, n);
    m->position += n;
    return n;
}

OPJ_SIZE_T writeMemory(void* buffer, OPJ_SIZE_T count, void* user) {
    auto* m = static_cast<MemoryStream*>(user);
    try {
        if (m->out->size() < m->position + count)
            m->out->resize(m->position + count);
    } catch (...) {
        m->failed = true;
        return static_cast<OPJ_SIZE_T>(-1);
    }
    std::memcpy(m->out->data() + m->position, buffer, count);
    m->position += count;
    return count;
}

std::size_t streamLength(const MemoryStream* m) {
    return m->out != nullptr ? m->out->size() : m->inLength;
}

OPJ_OFF_T skipMemory(OPJ_OFF_T count, void* user) {
    auto* m = static_cast<MemoryStream*>(user);
    const std::size_t length = streamLength(m);
    if (count < 0) {
        const std::size_t back =
            std::min<std::size_t>(static_cast<std::size_t>(-count), m->position);
        m->position -= back;
        return -static_cast<OPJ_OFF_T>(back);
    }
    // Writers may skip forward past the end; readers stop at it.
    std::size_t ahead = static_cast<std::size_t>(count);
    if (m->out == nullptr)
        ahead = std::min(ahead, length - std::min(length, m->position));
    m->position += ahead;
    return static_cast<OPJ_OFF_T>(ahead);
}

OPJ_BOOL seekMemory(OPJ_OFF_T offset, void* user) {
    auto* m = static_cast<MemoryStream*>(user);
    if (offset < 0 || (m->out == nullptr && static_cast<std::size_t>(offset) > m->inLength))
        return OPJ_FALSE;
    m->position = static_cast<std::size_t>(offset);
    return OPJ_TRUE;
}

StreamPtr openStream(MemoryStream& memory, bool input) {
    StreamPtr stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE));
    if (!stream)
        return stream;
    opj_stream_set_user_data(stream.get(), &memory, nullptr);
    if (input) {
        opj_stream_set_user_data_length(stream.get(), memory.inLength);
        opj_stream_set_read_function(stream.get(), readMemory);
    } else {
        opj_stream_set_write_function(stream.get(), writeMemory);
    }
    opj_stream_set_skip_function(stream.get(), skipMemory);
    opj_stream_set_seek_function(stream.get(), seekMemory);
    return stream;
}

// The library's last error text, for the log line of a failure.
struct Messages {
    char text[256] = {0};
};

void keepError(const char* message, void* user) {
    auto* m = static_cast<Messages*>(user);
    std::snprintf(m->text, sizeof m->text, "%s", message);
    // The library ends its messages with a newline.
    std::size_t n = std::strlen(m->text);
    while (n > 0 && (m->text[n - 1] == '\n' || m->text[n - 1] == '\r'))
        m->text[--n] = 0;
}

int bytesForPrecision(int precision) {
    return precision <= 8 ? 1 : precision <= 16 ? 2 : 4;
}

// The JP2 file signature box; a few writers put the whole JP2 file into the pixel data.
bool isJp2File(const uint8_t* bytes, std::size_t length) {
    static const uint8_t signature[12] = {0,   0,   0,    0x0C, 'j',  'P',
                                          ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    return length >= sizeof signature && std::memcmp(bytes, signature, sizeof signature) == 0;
}

// Resolution levels the frame can carry: each level halves the smaller side.
int resolutionsFor(int width, int height, int wanted) {
    int levels = 1;
    while (levels < wanted && (std::min(width, height) >> levels) > 0)
        ++levels;
    return levels;
}

} // namespace

opj_image* J2kImageFromRaw(const uint8_t* samples, const opj_cparameters* parameters, int width,
                           int height, int components, int bits, int isSigned) {
    if (samples == nullptr || width <= 0 || height <= 0 || bits < 1 || bits > 32)
        return nullptr;
    const int count = components == 1 ? 1 : 3;
    opj_image_cmptparm_t params[3];
    std::memset(params, 0, sizeof params);
    for (int i = 0; i < count; ++i) {
        params[i].dx = static_cast<OPJ_UINT32>(parameters->subsampling_dx);
        params[i].dy = static_cast<OPJ_UINT32>(parameters->subsampling_dy);
        params[i].w = static_cast<OPJ_UINT32>(width);
        params[i].h = static_cast<OPJ_UINT32>(height);
        params[i].x0 = 0;
        params[i].y0 = 0;
        params[i].prec = static_cast<OPJ_UINT32>(bits);
        params[i].sgnd = static_cast<OPJ_UINT32>(isSigned);
    }
    opj_image_t* image = opj_image_create(static_cast<OPJ_UINT32>(count), params,
                                          count == 1 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB);
    if (image == nullptr)
        return nullptr;
    image->x0 = static_cast<OPJ_UINT32>(parameters->image_offset_x0);
    image->y0 = static_cast<OPJ_UINT32>(parameters->image_offset_y0);
    image->x1 = image->x0 + static_cast<OPJ_UINT32>((width - 1) * parameters->subsampling_dx + 1);
    image->y1 = image->y0 + static_cast<OPJ_UINT32>((height - 1) * parameters->subsampling_dy + 1);

    const int sampleBytes = bytesForPrecision(bits);
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    // Only the low `bits` of a sample are its value (the bits above may be anything); a signed
    // value is extended from its top bit.
    const bool masked = bits < 8 * sampleBytes && sampleBytes < 4;
    const OPJ_INT32 mask = masked ? (OPJ_INT32{1} << bits) - 1 : -1;
    const OPJ_INT32 signBit = masked ? OPJ_INT32{1} << (bits - 1) : 0;
    const uint8_t* p = samples;
    for (std::size_t k = 0; k < pixels; ++k) {
        for (int i = 0; i < count; ++i, p += sampleBytes) {
            OPJ_INT32 v;
            if (sampleBytes == 1) {
                v = isSigned ? static_cast<int8_t>(*p) : *p;
            } else if (sampleBytes == 2) {
                uint16_t w;
                std::memcpy(&w, p, 2);
                v = isSigned ? static_cast<int16_t>(w) : w;
            } else {
                uint32_t w;
                std::memcpy(&w, p, 4);
                v = static_cast<OPJ_INT32>(w);
            }
            if (masked) {
                v &= mask;
                if (isSigned && (v & signBit) != 0)
                    v -= mask + 1;
            }
            image->comps[i].data[k] = v;
        }
    }
    return image;
}

bool J2kEncode(const uint8_t* samples, std::vector<uint8_t>& out, int width, int height,
               int components, int bits, int rate, bool isSigned) {
    out.clear();
    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    parameters.tcp_numlayers = 1;
    parameters.cp_disto_alloc = 1;
    parameters.tcp_rates[0] = static_cast<float>(rate);
    // The default of six levels is refused for frames smaller than 32 pixels on a side.
    parameters.numresolution = resolutionsFor(width, height, parameters.numresolution);
    char comment[] = "Created by OpenJPEG version 1.3";
    if (parameters.cp_comment == nullptr)
        parameters.cp_comment = comment;

    ImagePtr image(
        J2kImageFromRaw(samples, &parameters, width, height, components, bits, isSigned ? 1 : 0));
    if (!image) {
        LogMessage("ERROR, J2kEncode, cannot create the image " + std::to_string(width) + "x" +
                   std::to_string(height) + ", bits=" + std::to_string(bits));
        return false;
    }
    CodecPtr codec(opj_create_compress(OPJ_CODEC_J2K));
    Messages messages;
    std::vector<uint8_t> encoded;
    MemoryStream memory;
    memory.out = &encoded;
    StreamPtr stream = openStream(memory, false);
    bool ok = codec && stream;
    if (ok) {
        opj_set_error_handler(codec.get(), keepError, &messages);
        ok = opj_setup_encoder(codec.get(), &parameters, image.get()) &&
             opj_start_compress(codec.get(), image.get(), stream.get()) &&
             opj_encode(codec.get(), stream.get()) && opj_end_compress(codec.get(), stream.get());
    }
    if (!ok || memory.failed) {
        LogMessage(std::string("ERROR, J2kEncode, ") +
                   (messages.text[0] ? messages.text : "encoding failed"));
        return false;
    }
    encoded.resize(std::min(encoded.size(), memory.position));
    out = std::move(encoded);
    return true;
}

bool J2kDecode(const uint8_t* codestream, uint8_t* output, std::size_t codestreamLength,
               std::size_t outputBytes) {
    if (codestream == nullptr || codestreamLength == 0 || output == nullptr) {
        LogMessage("ERROR, J2kDecode, empty codestream");
        return false;
    }
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    parameters.cp_reduce = 0;
    parameters.cp_layer = 0;
    CodecPtr codec(opj_create_decompress(isJp2File(codestream, codestreamLength) ? OPJ_CODEC_JP2
                                                                                 : OPJ_CODEC_J2K));
    MemoryStream memory;
    memory.in = codestream;
    memory.inLength = codestreamLength;
    StreamPtr stream = openStream(memory, true);
    Messages messages;
    if (!codec || !stream) {
        LogMessage("ERROR, J2kDecode, cannot create the decompressor");
        return false;
    }
    opj_set_error_handler(codec.get(), keepError, &messages);
    opj_image_t* header = nullptr;
    bool ok = opj_setup_decoder(codec.get(), &parameters) &&
              opj_read_header(stream.get(), codec.get(), &header);
    ImagePtr image(header);
    if (!ok || !image) {
        LogMessage(std::string("ERROR, J2kDecode, ") +
                   (messages.text[0] ? messages.text : "no image header"));
        return false;
    }
    // Refuse before decoding an image that cannot fit the frame, so that a forged header
    // does not make the library allocate for it.
    std::size_t needed = 0;
    for (OPJ_UINT32 i = 0; i < image->numcomps; ++i) {
        const opj_image_comp_t& c = image->comps[i];
        needed += static_cast<std::size_t>(c.w) * c.h * bytesForPrecision(static_cast<int>(c.prec));
    }
    if (image->numcomps == 0 || needed > outputBytes) {
        LogMessage("ERROR, J2kDecode, image of " + std::to_string(needed) +
                   " bytes larger than the frame of " + std::to_string(outputBytes) + " bytes");
        return false;
    }
    ok = opj_decode(codec.get(), stream.get(), image.get()) &&
         opj_end_decompress(codec.get(), stream.get());
    if (!ok) {
        LogMessage(std::string("ERROR, J2kDecode, ") +
                   (messages.text[0] ? messages.text : "decoding failed"));
        return false;
    }
    const std::size_t components = image->numcomps;
    for (std::size_t i = 0; i < components; ++i) {
        const opj_image_comp_t& c = image->comps[i];
        if (c.data == nullptr)
            continue;
        const int sampleBytes = bytesForPrecision(static_cast<int>(c.prec));
        const std::size_t pixels = static_cast<std::size_t>(c.w) * c.h;
        for (std::size_t k = 0; k < pixels; ++k) {
            const std::size_t at = (i + k * components) * sampleBytes;
            if (at + sampleBytes > outputBytes)
                break;
            const OPJ_INT32 v = c.data[k];
            if (sampleBytes == 1) {
                output[at] = static_cast<uint8_t>(v);
            } else if (sampleBytes == 2) {
                const uint16_t w = static_cast<uint16_t>(v);
                std::memcpy(output + at, &w, 2);
            } else {
                const uint32_t w = static_cast<uint32_t>(v);
                std::memcpy(output + at, &w, 4);
            }
        }
    }
    return true;
}
