// Wavefront OBJ with its MTL material libraries: the text as a whole is
// read by obj_reader, the libraries by mtl_reader; here the encoding, a
// file that ends early, libraries and textures found near the model, and
// the warnings.
#include <algorithm>
#include <map>
#include <set>

#include "control/engine/files/byte_window.h"
#include "control/engine/files/file_paths.h"
#include "control/engine/files/file_reading.h"
#include "control/engine/files/token_stream.h"
#include "control/engine/formats/finish_model.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/obj/mtl_reader.h"
#include "control/engine/formats/obj/obj_reader.h"
#include "control/engine/formats/picture_budget.h"
#include "control/engine/formats/source_loaders.h"
#include "control/engine/files/text_tokens.h"

namespace engine {

namespace {

using loading::failure;

constexpr std::size_t max_material_library_bytes = std::size_t(64) << 20;
constexpr std::size_t max_texture_file_bytes = std::size_t(256) << 20;

bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// A face, line or point corner: v, v/vt, v//vn or v/vt/vn, each an index.
bool is_corner(std::string_view corner) {
    std::size_t part = 0;
    for (std::size_t start = 0; start <= corner.size(); ++part) {
        const std::size_t slash = std::min(corner.find('/', start), corner.size());
        std::string_view index = corner.substr(start, slash - start);
        if (!index.empty() && (index[0] == '-' || index[0] == '+')) index.remove_prefix(1);
        const bool digits = !index.empty() && std::all_of(index.begin(), index.end(), [](char c) {
            return c >= '0' && c <= '9';
        });
        if (!digits && !(part == 1 && index.empty() && slash < corner.size())) return false;  // v//vn
        start = slash + 1;
    }
    return part <= 3;
}

// Where the text from `begin` to `end` of the source ends in whole lines:
// at `end`, or before its last line when that line has no line end and is a
// vertex, face, line or point statement that cannot be whole (too few
// numbers or corners, a number or corner cut short): the file ends early.
// A cut that leaves a whole statement ("f 1 2 3" of "f 1 2 34") cannot be
// told from one.
std::uint64_t whole_lines_end(loading::byte_source& source, std::uint64_t begin, std::uint64_t end) {
    // The last line begins after the last line end: looked for from the end back.
    std::uint64_t start = end;
    unsigned char chunk[4096];
    bool found = false;
    while (start > begin && !found) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(start - begin, sizeof chunk));
        if (!source.read(start - count, chunk, count)) return end;
        std::size_t i = count;
        while (i > 0 && !is_line_end(static_cast<char>(chunk[i - 1]))) --i;
        found = i > 0;
        start -= count - i;
    }
    if (start == end) return end;
    loading::byte_window window(source, start, end);
    loading::token_stream line(window);
    const std::string_view keyword = line.next();
    std::size_t needed = 0;
    bool corners = true;
    if (keyword == "v" || keyword == "vn") needed = 3, corners = false;
    else if (keyword == "vt") needed = 1, corners = false;
    else if (keyword == "f") needed = 3;
    else if (keyword == "l") needed = 2;
    else if (keyword == "p") needed = 1;
    else return end;
    std::size_t count = 0;
    for (std::string_view token = line.next(); !token.empty(); token = line.next(), ++count) {
        double number = 0;
        if (corners ? !is_corner(token) : !loading::parse_number(token, number)) return start;
    }
    return count < needed ? start : end;
}

// The number of lines from `begin` to `end` of the source, which ends with
// a line end (CR LF counts once).
std::size_t count_lines(loading::byte_source& source, std::uint64_t begin, std::uint64_t end) {
    loading::byte_window window(source, begin, end);
    std::size_t lines = 0;
    bool after_cr = false;  // the last byte was a CR, which counted
    while (window.fill(1)) {
        const unsigned char* text = window.data();
        for (std::size_t i = 0; i < window.available(); ++i) {
            if (text[i] == '\n' && !after_cr) ++lines;
            if (text[i] == '\r') ++lines;
            after_cr = text[i] == '\r';
        }
        window.consume(window.available());
    }
    return lines;
}

// A UTF-16 file (with its byte order mark) as 8-bit text, UTF-8 beyond ASCII.
std::string from_utf16(loading::byte_source& source, bool big_endian) {
    std::string text;
    text.reserve(static_cast<std::size_t>(source.size() / 2));
    loading::byte_window window(source, 2, source.size());
    while (window.fill(2)) {
        const unsigned char* bytes = window.data();
        const std::size_t units = window.available() / 2;
        for (std::size_t i = 0; i < 2 * units; i += 2) {
            const unsigned unit = big_endian ? (bytes[i] << 8 | bytes[i + 1]) : (bytes[i + 1] << 8 | bytes[i]);
            if (unit < 0x80) {
                text += static_cast<char>(unit);
            } else if (unit < 0x800) {
                text += static_cast<char>(0xC0 | unit >> 6);
                text += static_cast<char>(0x80 | (unit & 0x3F));
            } else {
                text += static_cast<char>(0xE0 | unit >> 12);
                text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
                text += static_cast<char>(0x80 | (unit & 0x3F));
            }
        }
        window.consume(2 * units);
    }
    return text;
}

// The libraries the file names, from the model's folder (none when the
// folder is ""), their materials one after the other. Returns a clause for
// the warning on those that could not be read.
std::string read_libraries(const std::string& folder, const std::vector<std::string>& names,
                           std::vector<loading::library_material>& materials) {
    if (folder.empty()) return {};
    std::string warning;
    std::vector<unsigned char> bytes;
    std::set<std::string> read_before;  // a library named twice, however spelt, is read once
    for (const std::string& name : names) {
        std::string error;
        bool read = false;
        for (const std::string& path : loading::candidate_paths(folder, name)) {
            if (read_before.count(loading::file_key(path))) {
                read = true;
                break;
            }
            if (!loading::read_file(path, max_material_library_bytes, bytes, error)) continue;
            read_before.insert(loading::file_key(path));
            loading::read_mtl(reinterpret_cast<const char*>(bytes.data()), bytes.size(), materials);
            read = true;
            break;
        }
        const std::string refused = loading::refusal_of(name);
        if (!read && !refused.empty() && (error.empty() || error.rfind("could not be opened", 0) == 0)) error = refused;
        if (!read) loading::add_warning(warning, "material library " + name + " " + error);
    }
    return warning;
}

// The triangles' materials, numbered by the names "usemtl" gave, become
// indices into `materials`: the first of a name, whichever library it is
// in. Returns whether every name was found.
bool resolve_materials(const std::vector<std::string>& names,
                       const std::vector<loading::library_material>& materials, std::vector<int>& triangle_material) {
    if (names.empty()) return true;
    std::map<std::string, int, std::less<>> first_of;
    for (std::size_t i = 0; i < materials.size(); ++i)
        first_of.emplace(materials[i].look.name, static_cast<int>(i));
    std::vector<int> index_of(names.size(), -1);
    bool all_found = true;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto found = first_of.find(names[i]);
        if (found != first_of.end()) index_of[i] = found->second;
        else all_found = false;
    }
    for (int& id : triangle_material)
        if (id >= 0) id = index_of[static_cast<std::size_t>(id)];
    return all_found;
}

// The model's textures: each picture file read and decoded once, however
// many materials name it and however they spell it, all within one pixel
// budget.
class texture_files {
public:
    texture_files(const std::string& folder, model& out) : folder_(folder), out_(out) {}

    // The model's texture for a name from a material library, from the first
    // place it reads from; otherwise -1, and `error` says why, without the
    // file's name: what is wrong with a file that was found comes before that
    // a file could not be opened, a refused name before both.
    int find(const std::string& name, std::string& error) {
        error.clear();
        for (const std::string& path : loading::candidate_paths(folder_, name)) {
            const auto known = by_file_.emplace(loading::file_key(path), file{});
            file& f = known.first->second;
            if (known.second) read(path, f);
            if (f.texture >= 0) return f.texture;
            if (error.empty() || error.rfind("could not be opened", 0) == 0) error = f.why;
        }
        const std::string refused = loading::refusal_of(name);
        if (!refused.empty() && (error.empty() || error.rfind("could not be opened", 0) == 0)) error = refused;
        return -1;
    }

private:
    struct file {
        int texture = -1;
        std::string why;  // when it is not a texture
    };

    void read(const std::string& path, file& f) {
        std::vector<unsigned char> bytes;
        if (!loading::read_file(path, max_texture_file_bytes, bytes, f.why)) return;
        picture texture;
        const load_outcome decoded = budget_.decode(bytes.data(), bytes.size(), texture);
        if (!decoded.ok) {
            f.why = decoded.message;
            return;
        }
        f.texture = static_cast<int>(out_.textures.size());
        out_.textures.push_back(std::move(texture));
    }

    const std::string& folder_;
    model& out_;
    std::map<std::string, file> by_file_;
    loading::picture_budget budget_;
};

// A segment or point the file gives more than once is drawn once: outlines
// of neighbouring faces share their edges.
void remove_repeats(mesh& g) {
    std::vector<std::uint64_t> segments;
    segments.reserve(g.lines.size() / 2);
    for (std::size_t i = 0; i + 1 < g.lines.size(); i += 2) {
        const std::uint32_t a = std::min(g.lines[i], g.lines[i + 1]), b = std::max(g.lines[i], g.lines[i + 1]);
        segments.push_back(std::uint64_t(a) << 32 | b);
    }
    std::sort(segments.begin(), segments.end());
    segments.erase(std::unique(segments.begin(), segments.end()), segments.end());
    g.lines.clear();
    for (std::uint64_t s : segments) {
        g.lines.push_back(static_cast<std::uint32_t>(s >> 32));
        g.lines.push_back(static_cast<std::uint32_t>(s));
    }
    std::sort(g.points.begin(), g.points.end());
    g.points.erase(std::unique(g.points.begin(), g.points.end()), g.points.end());
}

// Returns a clause for the warning on textures that could not be read.
std::string add_materials(std::vector<loading::library_material>& materials, const std::string& folder, model& out) {
    std::map<std::string, int> texture_by_name;
    texture_files files(folder, out);
    std::size_t unreadable = 0;
    std::string first_problem;
    for (loading::library_material& m : materials) {
        material mat = std::move(m.look);
        const std::string& name = m.diffuse_texture_name;
        if (!name.empty()) {
            const auto known = texture_by_name.find(name);
            if (known != texture_by_name.end()) {
                mat.diffuse_texture = known->second;
            } else {
                std::string error;
                const int index = files.find(name, error);
                if (index < 0 && unreadable++ == 0) first_problem = "texture " + name + " " + error;
                texture_by_name[name] = index;
                mat.diffuse_texture = index;
            }
        }
        out.materials.push_back(std::move(mat));
    }
    if (unreadable > 1)
        first_problem += " (and " + loading::counted(unreadable - 1, "more texture") + " not read)";
    return first_problem;
}

// The text from `begin` to `end` of the source.
load_outcome load_obj_text(loading::byte_source& source, std::uint64_t begin, std::uint64_t end,
                           const std::string& base_folder, model& out) {
    std::string warning;
    const std::uint64_t whole = whole_lines_end(source, begin, end);
    if (whole < end) {
        warning = loading::ends_early(loading::counted(count_lines(source, begin, whole), "whole line"));
        end = whole;
    }
    loading::obj_contents contents;
    std::string error;
    if (!loading::read_obj(source, begin, end, contents, error)) return failure(out, error);
    out.geometry = std::move(contents.geometry);
    mesh& g = out.geometry;
    remove_repeats(g);

    std::vector<loading::library_material> materials;
    // What the picture misses first: the warning is one line, which may be cut short.
    loading::add_warning(warning, read_libraries(base_folder, contents.libraries, materials));
    const bool all_found = resolve_materials(contents.material_names, materials, g.triangle_material);
    loading::add_warning(warning, add_materials(materials, base_folder, out));
    if (!all_found) loading::add_warning(warning, "uses materials that no material library defines");
    if (contents.dropped_texcoords > 0)
        loading::add_warning(warning, loading::counted(contents.dropped_texcoords, "corner") +
                                          " without their texture coordinates, which the file does not have");
    return loading::finish_model(out, std::move(warning));
}

}  // namespace

load_outcome load_obj(loading::byte_source& source, const std::string& base_folder, model& out) {
    return loading::guarded(out, [&]() -> load_outcome {
        out = model{};
        const std::uint64_t size = source.size();
        if (size == 0) return failure(out, "is empty");
        unsigned char bom[3] = {};
        if (!source.read(0, bom, static_cast<std::size_t>(std::min<std::uint64_t>(size, 3))))
            return failure(out, "could not be read whole");
        if (size >= 2 && ((bom[0] == 0xFE && bom[1] == 0xFF) || (bom[0] == 0xFF && bom[1] == 0xFE))) {
            // Converted whole: UTF-8 text of about half the file's size.
            const std::string converted = from_utf16(source, bom[0] == 0xFE);
            loading::byte_source text(reinterpret_cast<const unsigned char*>(converted.data()), converted.size());
            text.set_window_bytes(source.window_bytes());
            return load_obj_text(text, 0, converted.size(), base_folder, out);
        }
        if (size >= 3 && bom[0] == 0xEF && bom[1] == 0xBB && bom[2] == 0xBF)
            return load_obj_text(source, 3, size, base_folder, out);
        return load_obj_text(source, 0, size, base_folder, out);
    });
}

load_outcome load_obj(const char* text, std::size_t size, const std::string& base_folder, model& out) {
    loading::byte_source source(reinterpret_cast<const unsigned char*>(text), text ? size : 0);
    return load_obj(source, base_folder, out);
}

}  // namespace engine
