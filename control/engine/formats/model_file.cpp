// A model file to a model: by the extension, or by the content when the
// extension is none of those the viewer knows.
// The file is opened here and read by the loader a window at a time; only
// a glTF file is read whole, for its JSON parser.
#include "control/engine/files/byte_source.h"
#include "control/engine/files/byte_window.h"
#include "control/engine/files/file_paths.h"
#include "control/engine/files/file_reading.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/source_loaders.h"
#include "control/engine/files/text_tokens.h"

namespace engine {

namespace {

enum class model_format { obj, stl, ply, gltf, unknown };

constexpr std::size_t sniffed_bytes = 64 * 1024;

bool begins_line(const std::vector<unsigned char>& bytes, std::size_t at, const char* word) {
    const std::size_t length = std::char_traits<char>::length(word);
    return bytes.size() - at > length && std::equal(word, word + length, bytes.begin() + at) &&
           (bytes[at + length] == ' ' || bytes[at + length] == '\t');
}

// By the first 64 KB of the file (`bytes`, with a few bytes more for a
// statement beginning near its end) and its size.
model_format by_content(const std::vector<unsigned char>& bytes, std::uint64_t size, const std::string& opening) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.substr(0, 4) == "glTF") return model_format::gltf;  // the binary container's magic
    // glTF's JSON is an object; no OBJ, STL or PLY begins with a brace.
    if (!opening.empty() && opening[0] == '{') return model_format::gltf;
    if (text.size() > 3 && text.substr(0, 3) == "ply" && (text[3] == '\n' || text[3] == '\r')) return model_format::ply;
    if (bytes.size() >= 84 && 84 + 50 * std::uint64_t(loading::read_u32_le(bytes.data() + 80)) == size)
        return model_format::stl;
    if (loading::starts_with_ignoring_case(opening, "solid")) return model_format::stl;
    // An OBJ has vertex statements; look for one near the start.
    const std::size_t scanned = std::min<std::size_t>(bytes.size(), sniffed_bytes);
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
    loading::byte_source source(nullptr, 0);
    std::string error;
    load_outcome outcome;
    if (!source.open(path, max_model_file_bytes, error)) {
        outcome = loading::failure(out, error);
    } else {
        const std::string extension = loading::extension_of(path);
        model_format format = extension == ".obj"   ? model_format::obj
                              : extension == ".stl" ? model_format::stl
                              : extension == ".ply" ? model_format::ply
                                                    : model_format::unknown;
        if (format == model_format::unknown) {
            std::vector<unsigned char> head(static_cast<std::size_t>(std::min<std::uint64_t>(source.size(), sniffed_bytes + 8)));
            source.read(0, head.data(), head.size());
            format = by_content(head, source.size(), loading::first_after_blanks(source, 5));
        }
        if ((extension == ".gltf" || extension == ".glb") && format == model_format::unknown)
            format = model_format::gltf;
        switch (format) {
            case model_format::obj: outcome = load_obj(source, folder_or_current(path), out); break;
            case model_format::stl: outcome = load_stl(source, out); break;
            case model_format::ply: outcome = load_ply(source, out); break;
            case model_format::gltf: outcome = load_gltf_file(source, folder_or_current(path), out); break;
            case model_format::unknown:
                outcome = loading::failure(out, "is not an OBJ, STL, PLY or glTF model this viewer can read");
                break;
        }
        // A file that shrank or failed while it was read is not loaded in part.
        if (source.failed()) outcome = loading::failure(out, "could not be read whole");
    }
    const std::string name = loading::file_name_of(path);
    if (!outcome.ok) outcome.message = name + ": " + outcome.message;
    if (!outcome.warning.empty()) outcome.warning = name + ": " + outcome.warning;
    return outcome;
}

}  // namespace engine
