// quelto-bmp2png: turns a snapshot BMP into a PNG, for pages and mail where
// BMP files are not welcome.
//   quelto-bmp2png IN.bmp OUT.png
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quelto-bmp2png IN.bmp OUT.png\n");
        return 2;
    }
    int width = 0, height = 0, channels = 0;
    if (!stbi_info(argv[1], &width, &height, &channels)) {
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
    unsigned char* pixels = stbi_load(argv[1], &width, &height, &channels, 3);
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
