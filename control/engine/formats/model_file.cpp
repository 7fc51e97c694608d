// A model file to a model: by the extension, or by the content when the
// extension is none of those the viewer knows.
#include "control/engine/files/file_paths.h"
#include "control/engine/files/file_reading.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/files/text_tokens.h"

namespace engine {

namespace {

enum class model_format { obj, stl, ply, gltf, unknown };

bool begins_line(const std::vector<unsigned char>& bytes, std::size_t at, const char* word) {
    const std::size_t length = std::char_traits<char>::length(word);
    return bytes.size() - at > length && std::equal(word, word + length, bytes.begin() + at) &&
           (bytes[at + length] == ' ' || bytes[at + length] == '\t');
}

model_format by_content(const std::vector<unsigned char>& bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.substr(0, 4) == "glTF") return model_format::gltf;  // the binary container's magic
    // glTF's JSON is an object; no OBJ, STL or PLY begins with a brace.
    const std::size_t opening = text.find_first_not_of(" \t\r\n");
    if (opening != std::string_view::npos && text[opening] == '{') return model_format::gltf;
    if (text.size() > 3 && text.substr(0, 3) == "ply" && (text[3] == '\n' || text[3] == '\r')) return model_format::ply;
    if (bytes.size() >= 84 && 84 + 50 * std::uint64_t(loading::read_u32_le(bytes.data() + 80)) == bytes.size())
        return model_format::stl;
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && loading::starts_with_ignoring_case(text.substr(first), "solid"))
        return model_format::stl;
    // An OBJ has vertex statements; look for one near the start.
    const std::size_t scanned = std::min<std::size_t>(bytes.size(), 64 * 1024);
    for (std::size_t at = 0; at < scanned; ++at) {
        if (at > 0 && bytes[at - 1] != '\n' && bytes[at - 1] != '\r') continue;
        if (begins_line(bytes, at, "v") || begins_line(bytes, at, "mtllib") || begins_line(bytes, at, "o") ||
            begins_line(bytes, at, "g"))
            return model_format::obj;
    }
    return model_format::unknown;
}

// Where the files a model names are looked up: "" would mean "read none",
// so the current folder is "./".
std::string folder_or_current(const std::string& path) {
    const std::string folder = loading::folder_of(path);
    return folder.empty() ? "./" : folder;
}

}  // namespace

load_outcome load_model_file(const std::string& path, model& out) {
    out = model{};
    if (path.empty()) return load_outcome{false, "no file name given", {}};
    std::vector<unsigned char> bytes;
    std::string error;
    load_outcome outcome;
    if (!loading::read_file(path, max_model_file_bytes, bytes, error)) {
        outcome = loading::failure(out, error);
    } else {
        const std::string extension = loading::extension_of(path);
        model_format format = extension == ".obj"   ? model_format::obj
                              : extension == ".stl" ? model_format::stl
                              : extension == ".ply" ? model_format::ply
                                                    : by_content(bytes);
        if ((extension == ".gltf" || extension == ".glb") && format == model_format::unknown)
            format = model_format::gltf;
        switch (format) {
            case model_format::obj: {
                outcome = load_obj(reinterpret_cast<const char*>(bytes.data()), bytes.size(), folder_or_current(path), out);
                break;
            }
            case model_format::stl: outcome = load_stl(bytes.data(), bytes.size(), out); break;
            case model_format::ply: outcome = load_ply(bytes.data(), bytes.size(), out); break;
            case model_format::gltf:
                outcome = load_gltf(bytes.data(), bytes.size(), folder_or_current(path), out);
                break;
            case model_format::unknown:
                outcome = loading::failure(out, "is not an OBJ, STL, PLY or glTF model this viewer can read");
                break;
        }
    }
    const std::string name = loading::file_name_of(path);
    if (!outcome.ok) outcome.message = name + ": " + outcome.message;
    if (!outcome.warning.empty()) outcome.warning = name + ": " + outcome.warning;
    return outcome;
}

}  // namespace engine
