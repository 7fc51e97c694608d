// BMP, PNG and JPEG pictures through Debian's stb_image.
#include <climits>
#include <cstdlib>

#include "control/engine/files/file_paths.h"
#include "control/engine/files/file_reading.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/formats/model_loaders.h"

// Static: another part of the program may compile stb_image as well. Only
// the three formats the control documents, read from memory (the engine
// opens files itself); stb_image refuses larger sides before allocating.
// Its assertions are off in every build, as in the control's release build,
// so that the fuzzers test what ships. Its memory comes zeroed: its JPEG
// reader would otherwise decode with Huffman tables a file never defined.
#define STB_IMAGE_STATIC
#define STBI_ASSERT(x) ((void)0)
#define STBI_MALLOC(size) std::calloc(1, size)
#define STBI_REALLOC(pointer, size) std::realloc(pointer, size)
#define STBI_FREE(pointer) std::free(pointer)
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_ONLY_BMP
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_MAX_DIMENSIONS 16384
#include <stb/stb_image.h>

namespace engine {

static_assert(max_picture_side <= STBI_MAX_DIMENSIONS, "stb_image must not refuse what the control accepts");

namespace {

constexpr std::size_t max_picture_file_bytes = std::size_t(256) << 20;

struct stb_pixels {
    stbi_uc* data;
    ~stb_pixels() { stbi_image_free(data); }
};

// Debian's stb_image (2022) writes past its Huffman tables when a JPEG's
// DHT segment counts more than 256 codes; such files are refused before
// stb_image reads them. stb_image processes a DHT wherever the bytes FF C4
// meet: up to the first scan it walks segment by segment, as done here; from
// there every FF C4 pair is checked (entropy-coded data never holds one).
class jpeg_huffman_check {
public:
    jpeg_huffman_check(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    bool tables_fit() const {
        std::size_t p = 0;
        if (byte(p) != 0xFF) return true;  // not a JPEG: stb_image's JPEG reader stops
        while (byte(p) == 0xFF && p < size_) ++p;
        if (byte(p++) != 0xD8) return true;
        while (p < size_) {
            while (p < size_ && byte(p) != 0xFF) ++p;  // stb_image skips padding between segments
            while (p < size_ && byte(p) == 0xFF) ++p;
            if (p >= size_) return true;
            const unsigned marker = byte(p++);
            if (marker == 0xDA) break;  // the first scan
            if (marker == 0xD9) return true;
            if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
            if (marker == 0xC4 && !segment_fits(p)) return false;
            const std::size_t length = std::size_t(byte(p)) << 8 | byte(p + 1);
            if (length < 2) break;
            p += length;
        }
        for (; p + 1 < size_; ++p)
            if (bytes_[p] == 0xFF && bytes_[p + 1] == 0xC4 && !segment_fits(p + 2)) return false;
        return true;
    }

private:
    // Past the end reads 0, as in stb_image.
    unsigned byte(std::size_t at) const { return at < size_ ? bytes_[at] : 0; }

    // The segment's tables as stb_image reads them, `at` on the length.
    bool segment_fits(std::size_t at) const {
        long remaining = long(byte(at) << 8 | byte(at + 1)) - 2;
        at += 2;
        while (remaining > 0 && at < size_) {
            const unsigned kind = byte(at++);
            if (kind >> 4 > 1 || (kind & 15) > 3) return true;  // stb_image stops at this
            unsigned codes = 0;
            for (int i = 0; i < 16; ++i) codes += byte(at++);
            if (codes > 256) return false;
            at += codes;
            remaining -= 17 + long(codes);
        }
        return true;
    }

    const unsigned char* bytes_;
    std::size_t size_;
};

// stb_image's reason; for an unknown PNG chunk it holds the chunk's four
// bytes, which may be anything (a line end): those show as '?'.
std::string reason() {
    const char* why = stbi_failure_reason();
    if (!why) return {};
    std::string text = why;
    for (char& c : text)
        if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return " (" + text + ")";
}

}  // namespace

load_outcome load_picture(const unsigned char* bytes, std::size_t size, picture& out, std::size_t pixel_limit) {
    return loading::guarded(out, [&]() -> load_outcome {
        out = picture{};
        if (bytes == nullptr || size == 0) return loading::failure(out, "is empty");
        if (size > static_cast<std::size_t>(INT_MAX)) return loading::failure(out, "is too large for a picture");
        const int length = static_cast<int>(size);
        if (!jpeg_huffman_check(bytes, size).tables_fit())
            return loading::failure(out, "is a damaged JPEG (a Huffman table with more than 256 codes)");
        int width = 0, height = 0, channels = 0;
        if (!stbi_info_from_memory(bytes, length, &width, &height, &channels))
            return loading::failure(out, "is not a BMP, PNG or JPEG picture this viewer can read" + reason());
        const std::size_t limit = std::min(pixel_limit, max_picture_pixels);
        if (width <= 0 || height <= 0 || width > max_picture_side || height > max_picture_side ||
            static_cast<std::size_t>(width) * static_cast<std::size_t>(height) > limit)
            return loading::failure(out, "is " + std::to_string(width) + " x " + std::to_string(height) +
                                             " pixels, larger than the viewer takes");
        const stb_pixels decoded{stbi_load_from_memory(bytes, length, &width, &height, &channels, 4)};
        if (!decoded.data) return loading::failure(out, "could not be decoded" + reason());
        out.width = width;
        out.height = height;
        out.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        const stbi_uc* p = decoded.data;
        for (std::uint32_t& pixel : out.pixels) {
            pixel = std::uint32_t(p[3]) << 24 | std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
            p += 4;
        }
        return load_outcome{true, {}, {}};
    });
}

load_outcome load_picture_file(const std::string& path, picture& out) {
    std::vector<unsigned char> bytes;
    std::string error;
    load_outcome outcome = loading::read_file(path, max_picture_file_bytes, bytes, error)
                               ? load_picture(bytes.data(), bytes.size(), out)
                               : loading::failure(out, error);
    if (!outcome.ok) outcome.message = loading::file_name_of(path) + ": " + outcome.message;
    return outcome;
}

}  // namespace engine
