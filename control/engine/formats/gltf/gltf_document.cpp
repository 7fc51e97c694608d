// tinygltf, compiled here once, with its own file and picture reading
// replaced: names taken from a file are never expanded (no "~", no
// environment variables), only local files named relative to the model are
// read, within the engine's size limits, and pictures go through the
// engine's picture loader and the model's pixel budget rather than a second
// copy of stb_image. A GLB read from its file hands tinygltf its binary chunk
// through that file reading, so that the chunk is held once.
// (On Windows tinygltf's implementation includes windows.h; nothing of it
// leaves this file.)
#include <algorithm>
#include <climits>
#include <fstream>
#include <map>  // tinygltf writes files with it (never called here) but does not include it

#define TINYGLTF_IMPLEMENTATION
#include "control/engine/formats/gltf/gltf_document.h"

#include "control/engine/files/file_paths.h"
#include "control/engine/files/file_reading.h"
#include "control/engine/formats/gltf/glb_container.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/picture_budget.h"

namespace engine::gltf {

namespace {

// A GLB's buffer 0 left in its file's binary chunk. tinygltf is given it as
// a file of a name no real file has ('*' is in no Windows name), which
// read_whole reads from the chunk the first time it is asked for: buffers
// are read in order, before any other file, so that is buffer 0. Any later
// asking, however it spells the name, is read as any other name is.
const std::string binary_chunk_name = "*binary chunk*";

struct binary_chunk {
    loading::byte_source* file = nullptr;  // null once read, and when the whole file went to tinygltf
    std::uint64_t offset = 0;              // of the chunk's data in the file
    std::size_t bytes = 0;                 // buffer 0's byteLength, inside the chunk
};

struct reading {
    std::string folder;      // the model's folder with its separator; "" reads nothing
    std::size_t bytes = 0;   // read so far from buffers and pictures together (not the GLB's own chunk)
    std::string failed_file; // the last file that could not be read, and why
    loading::picture_budget pictures;
    std::map<int, int> image_of_view;  // the first image decoded from each buffer view
    document* out = nullptr;
    binary_chunk glb;
};

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Why a file the glTF names (by its decoded reference) is not read, or "".
std::string reference_problem(const std::string& reference) {
    std::string why = loading::refusal_of(reference);
    if (why.empty() && !reference.empty() &&
        (is_separator(reference[0]) || (reference.size() > 1 && reference[1] == ':')))
        why = "is an absolute name; a glTF file names its files relative to itself";
    return why;
}

// tinygltf looks in the model's folder and in the current folder; only the
// first is allowed. Whether the file is really there is left to the reading,
// which says why it is not.
bool file_in_folder(const std::string& path, void* user) {
    const reading& r = *static_cast<const reading*>(user);
    return !r.folder.empty() && path.size() > r.folder.size() && path.compare(0, r.folder.size(), r.folder) == 0;
}

std::string unexpanded(const std::string& path, void*) { return path; }

// Reads a file the glTF names; `reference` is the name as the file gives it
// (decoded), `why` says what went wrong after that name.
bool read_named(reading& r, const std::string& reference, std::vector<unsigned char>& bytes, std::string& why) {
    why = reference_problem(reference);
    if (!why.empty()) return false;
    const std::size_t allowed = max_model_file_bytes - std::min(r.bytes, max_model_file_bytes);
    if (!loading::read_file(loading::normalised_path(r.folder + reference), allowed, bytes, why)) return false;
    r.bytes += bytes.size();
    return true;
}

bool is_binary_chunk(const reading& r, const std::string& path) {
    const std::string& name = binary_chunk_name;
    return r.glb.file && path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0;
}

// The binary chunk's buffer, straight from the file into tinygltf's vector.
bool read_binary_chunk(reading& r, std::vector<unsigned char>& out, std::string* error) {
    loading::byte_source& file = *r.glb.file;
    r.glb.file = nullptr;
    out.resize(r.glb.bytes);
    if (file.read(r.glb.offset, out.data(), out.size())) return true;
    if (error) *error = "could not be read";
    return false;
}

// tinygltf's reading of a buffer: the folder joined with the decoded URI.
bool read_whole(std::vector<unsigned char>* out, std::string* error, const std::string& path, void* user) {
    reading& r = *static_cast<reading*>(user);
    if (is_binary_chunk(r, path)) return read_binary_chunk(r, *out, error);
    const bool inside = file_in_folder(path, user);
    const std::string reference = inside ? path.substr(r.folder.size()) : path;
    std::string why;
    if (inside && read_named(r, reference, *out, why)) return true;
    // A refused name is shown whole: its file name alone would hide the host.
    const bool refused = !why.empty() && why == reference_problem(reference);
    if (why.empty()) why = "could not be opened (missing or not readable)";
    r.failed_file = (refused ? reference : loading::file_name_of(reference)) + " " + why;
    if (error) *error = why;
    return false;
}

bool no_writing(std::string*, const std::string&, const std::vector<unsigned char>&, void*) { return false; }

// Called for every picture, embedded or read from a file. A picture that
// cannot be decoded is no reason to refuse the model: it is noted, and the
// model drawn without it.
bool decode_picture(tinygltf::Image* image, const int index, std::string*, std::string*, int, int,
                    const unsigned char* bytes, int size, void* user) {
    reading& r = *static_cast<reading*>(user);
    if (index < 0) return true;
    document& d = *r.out;
    const std::size_t i = static_cast<std::size_t>(index);
    if (i >= d.pictures.size()) {
        d.pictures.resize(i + 1);
        d.picture_problems.resize(i + 1);
        d.same_as.resize(i + 1, -1);
    }
    if (image && image->bufferView >= 0) {
        const auto first = r.image_of_view.emplace(image->bufferView, index);
        if (!first.second) {
            d.same_as[i] = first.first->second;
            return true;
        }
    }
    // tinygltf hands over a picture in a buffer view as the view says,
    // without looking whether the view lies inside its buffer.
    if (image && image->bufferView >= 0) {
        const std::vector<tinygltf::BufferView>& views = d.parsed.bufferViews;
        const std::size_t v = static_cast<std::size_t>(image->bufferView);
        const bool inside = v < views.size() && views[v].buffer >= 0 &&
                            static_cast<std::size_t>(views[v].buffer) < d.parsed.buffers.size() &&
                            std::uint64_t(views[v].byteOffset) + views[v].byteLength <=
                                d.parsed.buffers[static_cast<std::size_t>(views[v].buffer)].data.size();
        if (!inside) {
            d.picture_problems[i] = "could not be read: its buffer view reaches past the end of its buffer";
            return true;
        }
    }
    const load_outcome decoded =
        r.pictures.decode(bytes, size > 0 ? static_cast<std::size_t>(size) : 0, d.pictures[i]);
    if (!decoded.ok) d.picture_problems[i] = "could not be read: " + decoded.message;
    return true;
}

// The pictures the file names by URI, read after the rest: each file once,
// however many images name it and however they spell it.
void read_named_pictures(reading& r) {
    document& d = *r.out;
    std::map<std::string, int> image_of_file;
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i < d.parsed.images.size(); ++i) {
        const tinygltf::Image& image = d.parsed.images[i];
        if (image.bufferView >= 0 || image.uri.empty() || tinygltf::IsDataURI(image.uri) || r.folder.empty()) continue;
        const std::string reference = loading::percent_decoded(image.uri);
        if (reference_problem(reference).empty()) {
            const auto first = image_of_file.emplace(loading::file_key(r.folder + reference), static_cast<int>(i));
            if (!first.second) {
                d.same_as[i] = first.first->second;
                continue;
            }
        }
        std::string why;
        if (!read_named(r, reference, bytes, why)) {
            d.picture_problems[i] = why;
            continue;
        }
        const load_outcome decoded = r.pictures.decode(bytes.data(), bytes.size(), d.pictures[i]);
        if (!decoded.ok) d.picture_problems[i] = "could not be read: " + decoded.message;
    }
}

// tinygltf's error text, cut to its first line and a readable length.
std::string first_line(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return "no reason given";
    std::string line = text.substr(start, text.find_first_of("\r\n", start) - start);
    while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
    if (line.size() > 100) line = line.substr(0, 97) + "...";
    for (char& c : line)
        if (static_cast<unsigned char>(c) < ' ') c = '?';
    return line;
}

// tinygltf turns JSON into its values recursively: a file nesting arrays or
// objects a hundred thousand deep (in "extras", which may hold anything)
// would overflow the stack. Real files nest a dozen levels.
constexpr int max_json_depth = 128;

bool nests_within(const unsigned char* text, std::size_t size, int limit) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// The binary container begins with its magic, "glTF".
bool is_binary(const unsigned char* bytes, std::size_t size) {
    return size >= 4 && bytes[0] == 'g' && bytes[1] == 'l' && bytes[2] == 'T' && bytes[3] == 'F';
}

// tinygltf refuses some files for what a required extension changes (Draco
// compressed accessors have no buffer view): the extension is the better reason.
std::string required_extension_refused(const unsigned char* json, std::size_t size) {
    const nlohmann::json doc = nlohmann::json::parse(json, json + size, nullptr, false);
    if (!doc.is_object() || !doc.contains("extensionsRequired") || !doc["extensionsRequired"].is_array()) return {};
    std::vector<std::string> required;
    for (const nlohmann::json& name : doc["extensionsRequired"])
        if (name.is_string()) required.push_back(name.get<std::string>());
    const std::string unknown = first_not_understood(required);
    return unknown.empty() ? std::string()
                           : "needs the glTF extension " + loading::quoted(unknown, 64) + ", which this viewer does not read";
}

// A glTF 1.0 file tinygltf could not read (it reads 2.0 only): its asset
// gives a version below 2 (as a text, or as a number as some exporters
// wrote it), or, with no version at all, its top-level collections are
// 1.0's dictionaries keyed by name rather than 2.0's arrays, or its scene
// is named rather than numbered. Gives the version to say, or nothing.
std::string gltf1_version(const unsigned char* json, std::size_t size) {
    const nlohmann::json doc = nlohmann::json::parse(json, json + size, nullptr, false);
    if (!doc.is_object()) return {};
    const auto asset = doc.find("asset");
    if (asset != doc.end() && asset->is_object()) {
        const auto version = asset->find("version");
        if (version != asset->end()) {
            if (version->is_string()) {
                const std::string text = version->get<std::string>();
                return !text.empty() && text[0] == '1' ? first_line(text) : std::string();
            }
            if (version->is_number() && version->get<double>() >= 1 && version->get<double>() < 2) return "1.0";
            return {};
        }
    }
    for (const char* collection : {"accessors", "bufferViews", "buffers", "meshes", "nodes", "materials", "scenes",
                                   "images", "textures", "samplers", "techniques", "programs", "shaders"}) {
        const auto found = doc.find(collection);
        if (found != doc.end() && found->is_object()) return "1.0";
    }
    const auto scene = doc.find("scene");
    return scene != doc.end() && scene->is_string() ? "1.0" : std::string();
}

// Runs one of tinygltf's loads, `load(reader, folder, errors)`, with the
// engine's file reading and picture decoding; then reads the pictures the
// file names, or says why the file is refused, from tinygltf's errors and
// the file's JSON text.
template <class Load>
bool run_tinygltf(const Load& load, const std::string& base_folder, std::size_t pixel_limit, const binary_chunk& glb,
                  const unsigned char* json, std::size_t json_size, document& out, std::string& error) {
    reading state{{}, 0, {}, loading::picture_budget(pixel_limit), {}, &out, glb};
    // tinygltf joins the folder and a name with '/': the folder goes without
    // its separator (unless it is the root), and names must begin with it and '/'.
    std::string folder = base_folder;
    if (folder.size() > 1 && is_separator(folder.back())) folder.pop_back();
    if (!folder.empty()) state.folder = is_separator(folder.back()) ? folder : folder + "/";

    tinygltf::TinyGLTF reader;
    reader.SetFsCallbacks(tinygltf::FsCallbacks{&file_in_folder, &unexpanded, &read_whole, &no_writing, &state});
    reader.SetImageLoader(&decode_picture, &state);
    std::string errors;
    const bool parsed = load(reader, folder, errors);
    out.pictures.resize(out.parsed.images.size());
    out.picture_problems.resize(out.parsed.images.size());
    out.same_as.resize(out.parsed.images.size(), -1);
    const std::string& version = out.parsed.asset.version;
    if (!version.empty() && version[0] != '2') {
        error = "is a glTF " + first_line(version) + " file; this viewer reads glTF 2.0";
        return false;
    }
    if (parsed) {
        read_named_pictures(state);
        return true;
    }
    const std::string old_version = gltf1_version(json, json_size);
    if (!old_version.empty()) {
        error = "is a glTF " + old_version + " file; this viewer reads glTF 2.0";
        return false;
    }
    error = required_extension_refused(json, json_size);
    if (!error.empty()) return false;
    if (errors.find("File not found") != std::string::npos || errors.find("File read error") != std::string::npos) {
        const std::size_t at = errors.find("File not found : ");
        error = "its buffer " +
                (!state.failed_file.empty() ? state.failed_file
                 : at != std::string::npos  ? first_line(errors.substr(at + 17)) + " could not be opened (missing or not readable)"
                                            : std::string("could not be read"));
    } else if (errors.find("File size mismatch") != std::string::npos) {
        error = "a buffer file is shorter or longer than the file says";
    } else {
        error = "is not a glTF 2.0 file this viewer can read (" + first_line(errors) + ")";
    }
    return false;
}

// Names a GLB's buffer 0 binary_chunk_name when it plainly is the binary
// chunk: it has no "uri", its byteLength is a whole number above 0 inside
// the chunk, and every other buffer names its data by a "uri" text (tinygltf
// gives the binary chunk to any buffer without one). `bytes` is then its byteLength.
bool name_binary_chunk(nlohmann::json& doc, std::uint64_t chunk_bytes, std::size_t& bytes) {
    if (!doc.is_object()) return false;
    const auto buffers = doc.find("buffers");
    if (buffers == doc.end() || !buffers->is_array() || buffers->empty() || !buffers->front().is_object()) return false;
    nlohmann::json& first = buffers->front();
    const auto length = first.find("byteLength");
    if (first.contains("uri") || length == first.end() || !length->is_number_unsigned() ||
        length->get<std::uint64_t>() == 0 || length->get<std::uint64_t>() > chunk_bytes)
        return false;
    for (std::size_t i = 1; i < buffers->size(); ++i) {
        const nlohmann::json& other = (*buffers)[i];
        if (!other.is_object()) return false;
        const auto uri = other.find("uri");
        if (uri == other.end() || !uri->is_string() || uri->get_ref<const std::string&>().empty()) return false;
    }
    bytes = static_cast<std::size_t>(length->get<std::uint64_t>());
    first["uri"] = binary_chunk_name;
    return true;
}

enum class glb_parsing { parsed, refused, read_whole };

// A GLB given to tinygltf as text, its binary chunk left in the file for
// read_whole; the JSON chunk goes once nlohmann holds it. A file this could
// not read exactly as parse() reads it is read whole instead.
glb_parsing parse_glb(loading::byte_source& source, glb_chunks& chunks, const std::string& base_folder,
                      std::size_t pixel_limit, document& out, std::string& error) {
    out = document{};
    if (base_folder.empty() || !nests_within(chunks.json.data(), chunks.json.size(), max_json_depth))
        return glb_parsing::read_whole;
    nlohmann::json doc = nlohmann::json::parse(chunks.json.begin(), chunks.json.end(), nullptr, false);
    std::vector<unsigned char>().swap(chunks.json);
    binary_chunk glb{&source, chunks.binary_offset, 0};
    if (!name_binary_chunk(doc, chunks.binary_size, glb.bytes)) return glb_parsing::read_whole;
    // The file's JSON from here on, the messages' too: the same values, as nlohmann writes them.
    const std::string text = doc.dump();
    doc = nullptr;
    if (text.size() > UINT_MAX) return glb_parsing::read_whole;
    const bool parsed = run_tinygltf(
        [&](tinygltf::TinyGLTF& reader, const std::string& folder, std::string& errors) {
            std::string warnings;
            const bool loaded = reader.LoadASCIIFromString(&out.parsed, &errors, &warnings, text.data(),
                                                           static_cast<unsigned int>(text.size()), folder);
            // Nothing after this sees the made-up name: buffer 0 is the GLB's, as tinygltf gives one.
            if (!out.parsed.buffers.empty()) out.parsed.buffers.front().uri.clear();
            return loaded;
        },
        base_folder, pixel_limit, glb, reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, error);
    return parsed ? glb_parsing::parsed : glb_parsing::refused;
}

}  // namespace

bool understood(const std::string& extension) {
    return extension == "KHR_materials_unlit" || extension == "KHR_materials_pbrSpecularGlossiness" ||
           extension == "KHR_materials_emissive_strength" || extension == "KHR_texture_transform";
}

std::string first_not_understood(const std::vector<std::string>& required) {
    for (const std::string& extension : required)
        if (!understood(extension)) return extension;
    return {};
}

bool parse(const unsigned char* bytes, std::size_t size, const std::string& base_folder, std::size_t pixel_limit,
           document& out, std::string& error) {
    out = document{};
    if (size > UINT_MAX) {
        error = "is too large to be read";
        return false;
    }
    const bool binary = is_binary(bytes, size);
    if (binary && size >= 8 && loading::read_u32_le(bytes + 4) != 2) {
        error = "is a glTF " + std::to_string(loading::read_u32_le(bytes + 4)) +
                ".0 binary file; this viewer reads glTF 2.0";
        return false;
    }

    // tinygltf measures a binary chunk against the file without the chunk's
    // own 8-byte header: one claiming up to 8 bytes more than the file holds
    // would be read past its end.
    if (binary && size >= 20) {
        const std::uint64_t chunk = 20 + std::uint64_t(loading::read_u32_le(bytes + 12));
        if (chunk + 8 <= size && chunk + 8 + loading::read_u32_le(bytes + chunk) > size) {
            error = "is a glTF binary file whose binary chunk reaches past its end";
            return false;
        }
    }

    // The JSON: the whole text, or the binary container's first chunk.
    const unsigned char* json = bytes;
    std::size_t json_size = size;
    if (binary) {
        json_size = size >= 20 ? std::min<std::size_t>(loading::read_u32_le(bytes + 12), size - 20) : 0;
        json = bytes + std::min<std::size_t>(size, 20);
    }
    if (!nests_within(json, json_size, max_json_depth)) {
        error = "nests its JSON deeper than " + std::to_string(max_json_depth) + " levels";
        return false;
    }
    return run_tinygltf(
        [&](tinygltf::TinyGLTF& reader, const std::string& folder, std::string& errors) {
            std::string warnings;
            const unsigned int length = static_cast<unsigned int>(size);
            return binary ? reader.LoadBinaryFromMemory(&out.parsed, &errors, &warnings, bytes, length, folder)
                          : reader.LoadASCIIFromString(&out.parsed, &errors, &warnings,
                                                       reinterpret_cast<const char*>(bytes), length, folder);
        },
        base_folder, pixel_limit, binary_chunk{}, json, json_size, out, error);
}

bool parse_file(loading::byte_source& source, const std::string& base_folder, std::size_t pixel_limit,
                document& out, std::string& error) {
    {
        glb_chunks chunks;
        if (read_glb_chunks(source, chunks)) {
            const glb_parsing glb = parse_glb(source, chunks, base_folder, pixel_limit, out, error);
            if (glb != glb_parsing::read_whole) return glb == glb_parsing::parsed;
        }
    }
    // tinygltf parses from memory and copies a GLB's binary chunk into a
    // buffer of its own: the file's bytes go once it has.
    std::vector<unsigned char> bytes(static_cast<std::size_t>(source.size()));
    if (!source.read(0, bytes.data(), bytes.size())) {
        error = "could not be read whole";
        return false;
    }
    return parse(bytes.data(), bytes.size(), base_folder, pixel_limit, out, error);
}

}  // namespace engine::gltf
