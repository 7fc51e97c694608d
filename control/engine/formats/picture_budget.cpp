#include "control/engine/formats/picture_budget.h"

#include <algorithm>
#include <string>

#include "control/engine/formats/load_messages.h"
#include "control/engine/model/texture_levels.h"

namespace engine::loading {

picture_budget::picture_budget(std::size_t pixel_cap) : cap_(std::min(pixel_cap, max_picture_pixels)) {}

load_outcome picture_budget::decode(const unsigned char* bytes, std::size_t size, picture& out) {
    file_bytes_ += size;
    const std::size_t per_bytes =
        file_bytes_ > (cap_ / picture_pixels_per_file_byte) ? cap_ : file_bytes_ * picture_pixels_per_file_byte;
    const std::size_t allowance = std::min(cap_, picture_pixels_always + per_bytes);
    const std::size_t left = allowance - std::min(used_, allowance);
    // load_picture reads 0 as no limit at all.
    load_outcome decoded = load_picture(bytes, size, out, std::max<std::size_t>(left, 1));
    if (decoded.ok) {
        // With the smaller copies the model makes of it once it is loaded.
        used_ += out.pixels.size() + level_texels(out.pixels.size());
    } else if (left < max_picture_pixels) {
        // Where the budget and not the largest picture the viewer takes
        // refused it, the message says so.
        const std::string too_large = "larger than the viewer takes";
        const std::size_t at = decoded.message.rfind(too_large);
        if (at != std::string::npos && at + too_large.size() == decoded.message.size())
            decoded.message.replace(at, too_large.size(),
                                    "more than this model's pictures may take (" +
                                        (left >= (1 << 20) ? std::to_string(left >> 20) + " million pixels" : counted(left, "pixel")) +
                                        " left, for " + byte_size(file_bytes_) + " of picture files)");
    }
    return decoded;
}

}  // namespace engine::loading
