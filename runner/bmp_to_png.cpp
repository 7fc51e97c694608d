// quelto-bmp2png: turns a snapshot BMP into a PNG, for pages and mail where
// BMP files are not welcome.
//   quelto-bmp2png IN.bmp OUT.png
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {
// Why fopen failed, in an author's words rather than stb's "can't fopen".
const char* open_failure(int error) {
    switch (error) {
    case ENOENT: return "no such file";
    // The C runtime gives this for a folder too.
    case EACCES: return "access denied, or it is a folder";
    default: return std::strerror(error);
    }
}

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quelto-bmp2png IN.bmp OUT.png\n");
        return 2;
    }
    errno = 0;
    const std::unique_ptr<std::FILE, file_closer> input(std::fopen(argv[1], "rb"));
    if (!input) {
        std::fprintf(stderr, "quelto-bmp2png: cannot read \"%s\": %s\n", argv[1], open_failure(errno));
        return 1;
    }
    int width = 0, height = 0, channels = 0;
    // stbi_info_from_file leaves the file where it found it, for the load below.
    if (!stbi_info_from_file(input.get(), &width, &height, &channels)) {
        std::fprintf(stderr, "quelto-bmp2png: %s: cannot be converted: %s\n", argv[1], stbi_failure_reason());
        return 1;
    }
    // A SaveImage while no viewer is up saves a picture of no pixels; a PNG
    // of it would be a file that no program shows.
    if (width <= 0 || height <= 0) {
        std::fprintf(stderr,
                     "quelto-bmp2png: %s: the picture is %dx%d pixels, nothing to convert (was it saved while "
                     "no viewer was up?)\n",
                     argv[1], width, height);
        return 1;
    }
    // Three channels: the snapshot's fourth byte is whatever the screen copy
    // left there, not transparency.
    unsigned char* pixels = stbi_load_from_file(input.get(), &width, &height, &channels, 3);
    if (!pixels) {
        std::fprintf(stderr, "quelto-bmp2png: %s: cannot be converted: %s\n", argv[1], stbi_failure_reason());
        return 1;
    }
    const int ok = stbi_write_png(argv[2], width, height, 3, pixels, width * 3);
    stbi_image_free(pixels);
    if (!ok) {
        std::remove(argv[2]);  // a part-written PNG must not pass for a picture
        std::fprintf(stderr, "quelto-bmp2png: %s: could not be written\n", argv[2]);
        return 1;
    }
    return 0;
}
