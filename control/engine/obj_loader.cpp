// Wavefront OBJ with its MTL material libraries, through Debian's
// tinyobjloader. A first pass over the text bounds what tinyobjloader will
// do with it, since it trusts its input (the triangle count, patterns that
// make it allocate far more than the file's size, statements it reads
// with undefined behaviour), and notes
// each face's corner count: tinyobjloader keeps that count in a byte, and
// its own triangulation gives up on some concave polygons, so polygons are
// cut here.
#include <algorithm>
#include <cstring>
#include <istream>
#include <map>
#include <set>
#include <streambuf>

#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>

#include "control/engine/file_paths.h"
#include "control/engine/file_reading.h"
#include "control/engine/finish_model.h"
#include "control/engine/load_messages.h"
#include "control/engine/model_loaders.h"
#include "control/engine/polygon_triangulation.h"
#include "control/engine/text_tokens.h"

namespace engine {

namespace {

using loading::failure;

constexpr std::size_t max_material_library_bytes = std::size_t(64) << 20;
// tinyobjloader copies every line and point statement of a group again at
// each material change; this bounds the copies.
constexpr std::uint64_t max_line_point_copies = std::uint64_t(16) << 20;

// A block of memory read as a stream, without a copy.
class memory_buffer : public std::streambuf {
public:
    memory_buffer(const char* text, std::size_t size) {
        char* begin = const_cast<char*>(text);  // only read: the get area is never written
        setg(begin, begin, begin + size);
    }
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// What the first pass finds. It splits lines and corners as tinyobjloader
// does: lines end at CR or LF, text ends at a zero byte, corners are
// separated by blanks and tabs.
struct obj_survey {
    std::vector<std::uint32_t> face_corners;  // of each face with 3 or more, in file order
    std::uint64_t triangles = 0;
    std::uint64_t line_point_corners = 0;
    std::uint64_t material_changes = 0;
    bool has_unused = false;  // statements the viewer ignores that tinyobjloader mishandles
};

obj_survey survey(const char* text, std::size_t size) {
    obj_survey s;
    std::size_t position = 0;
    while (position < size) {
        std::size_t start = position;
        while (position < size && !is_line_end(text[position])) ++position;
        std::size_t end = position;
        while (position < size && is_line_end(text[position])) ++position;
        if (const void* zero = std::memchr(text + start, 0, end - start))
            end = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
        while (start < end && is_blank(text[start])) ++start;
        if (end - start < 2) continue;
        const char first = text[start];
        const bool statement = is_blank(text[start + 1]);
        if (statement && (first == 'f' || first == 'l' || first == 'p')) {
            std::uint64_t corners = 0;
            for (std::size_t i = start + 1; i < end; ++i)
                if (!is_blank(text[i]) && is_blank(text[i - 1])) ++corners;
            if (first != 'f') {
                s.line_point_corners += corners;
            } else if (corners >= 3) {
                s.face_corners.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(corners, no_index)));
                s.triangles += corners - 2;
            }
        } else if ((statement && first == 't') || (first == 'v' && text[start + 1] == 'w')) {
            s.has_unused = true;
        } else if (end - start >= 6 && std::memcmp(text + start, "usemtl", 6) == 0) {
            ++s.material_changes;
        }
    }
    return s;
}

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

// How much of the text to read: all of it, or all but its last line when
// that line has no line end and is a vertex, face, line or point statement
// that cannot be whole (too few numbers or corners, a number or corner cut
// short): the file ends early. A cut that leaves a whole statement
// ("f 1 2 3" of "f 1 2 34") cannot be told from one.
std::size_t whole_lines_size(const char* text, std::size_t size) {
    std::size_t start = size;
    while (start > 0 && !is_line_end(text[start - 1])) --start;
    if (start == size) return size;
    loading::text_cursor line(text + start, size - start);
    const std::string_view keyword = line.next();
    std::size_t needed = 0;
    bool corners = true;
    if (keyword == "v" || keyword == "vn") needed = 3, corners = false;
    else if (keyword == "vt") needed = 1, corners = false;
    else if (keyword == "f") needed = 3;
    else if (keyword == "l") needed = 2;
    else if (keyword == "p") needed = 1;
    else return size;
    std::size_t count = 0;
    for (std::string_view token = line.next(); !token.empty(); token = line.next(), ++count) {
        double number = 0;
        if (corners ? !is_corner(token) : !loading::parse_number(token, number)) return start;
    }
    return count < needed ? start : size;
}

// The number of lines in a text that ends with a line end (CR LF counts once).
std::size_t count_lines(const char* text, std::size_t size) {
    std::size_t lines = 0;
    for (std::size_t i = 0; i < size; ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == size || text[i + 1] != '\n'))) ++lines;
    return lines;
}

// Statements the viewer does not use become comments: subdivision tags ("t"),
// for which tinyobjloader allocates thousands of values each and copies them
// into every group, and skin weights ("vw"), whose joint numbers it converts
// to int without a range check.
std::string without_unused_statements(const char* text, std::size_t size) {
    std::string copy(text, size);
    bool line_start = true;
    for (std::size_t i = 0; i < copy.size(); ++i) {
        const char c = copy[i];
        if (is_line_end(c)) {
            line_start = true;
        } else if (line_start && !is_blank(c)) {
            const char next = i + 1 < copy.size() ? copy[i + 1] : '\0';
            if ((c == 't' && is_blank(next)) || (c == 'v' && next == 'w')) copy[i] = '#';
            line_start = false;
        }
    }
    return copy;
}

// A UTF-16 file (with its byte order mark) as 8-bit text, UTF-8 beyond ASCII.
std::string from_utf16(const unsigned char* bytes, std::size_t size, bool big_endian) {
    std::string text;
    text.reserve(size / 2);
    for (std::size_t i = 2; i + 1 < size; i += 2) {
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
    return text;
}

// Material libraries from the model's folder; none when the folder is "".
class folder_material_reader : public tinyobj::MaterialReader {
public:
    explicit folder_material_reader(std::string folder) : folder_(std::move(folder)) {}

    bool operator()(const std::string& name, std::vector<tinyobj::material_t>* materials,
                    std::map<std::string, int>* names, std::string* warn, std::string* err) override {
        if (folder_.empty() || !failed_.insert(name).second) return false;
        std::vector<unsigned char> bytes;
        std::string error;
        for (const std::string& path : loading::candidate_paths(folder_, name)) {
            if (!loading::read_file(path, max_material_library_bytes, bytes, error)) continue;
            memory_buffer buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            std::istream stream(&buffer);
            tinyobj::LoadMtl(names, materials, &stream, warn, err);
            failed_.erase(name);
            return true;
        }
        loading::add_warning(warning, "material library " + name + " " + error);
        return false;
    }

    std::string warning;

private:
    std::string folder_;
    std::set<std::string> failed_;  // tried once only: some files name the same missing library often
};

// tinyobjloader's error text names the statement and its line.
std::string describe_error(const std::string& error) {
    std::string what = "a statement cannot be read";
    if (error.find("`f'") != std::string::npos) what = "a face has a vertex index that is 0 or not a number";
    if (error.find("`l'") != std::string::npos) what = "a line has a vertex index that is 0 or not a number";
    if (error.find("`p'") != std::string::npos) what = "a point has a vertex index that is 0 or not a number";
    if (error.find("`vw'") != std::string::npos) what = "a vertex weight has a negative joint";
    const std::size_t at = error.rfind("line ");
    if (at != std::string::npos && at + 5 < error.size() && error[at + 5] >= '0' && error[at + 5] <= '9') {
        std::size_t end = at + 5;
        while (end < error.size() && error[end] >= '0' && error[end] <= '9') ++end;
        return error.substr(at, end - at) + ": " + what;
    }
    return what;
}

glm::vec3 colour(const tinyobj::real_t* c) { return glm::vec3(c[0], c[1], c[2]); }

// A texture named in a material library, from the first place it reads
// from. Otherwise `error` says why, without the file's name: what is wrong
// with a file that was found comes before that a file could not be opened.
bool load_texture(const std::string& folder, const std::string& name, picture& texture, std::string& error) {
    error.clear();
    for (const std::string& path : loading::candidate_paths(folder, name)) {
        const load_outcome loaded = load_picture_file(path, texture);
        if (loaded.ok) return true;
        // load_picture_file puts "name: " in front.
        const std::size_t named = loading::file_name_of(path).size() + 2;
        const std::string why = loaded.message.substr(std::min(named, loaded.message.size()));
        if (error.empty() || error.rfind("could not be opened", 0) == 0) error = why;
    }
    return false;
}

class obj_converter {
public:
    obj_converter(const tinyobj::attrib_t& attrib, const std::vector<std::uint32_t>& face_corners, model& out)
        : attrib_(attrib), face_corners_(face_corners), out_(out) {}

    enum class result { ok, bad_index, inconsistent };

    result add_shape(const tinyobj::shape_t& shape) {
        mesh& g = out_.geometry;
        const tinyobj::mesh_t& m = shape.mesh;
        std::size_t offset = 0;
        for (std::size_t f = 0; f < m.num_face_vertices.size(); ++f) {
            // The survey's count, checked against the byte tinyobjloader kept.
            if (next_face_ >= face_corners_.size()) return result::inconsistent;
            const std::size_t corners = face_corners_[next_face_++];
            if ((corners & 0xFF) != m.num_face_vertices[f] || corners > m.indices.size() - offset)
                return result::inconsistent;
            const tinyobj::index_t* face = m.indices.data() + offset;
            offset += corners;
            for (std::size_t k = 0; k < corners; ++k)
                if (!valid_position(face[k].vertex_index)) return result::bad_index;
            const int material_id = f < m.material_ids.size() ? m.material_ids[f] : -1;
            if (corners == 3) {
                for (std::size_t k = 0; k < 3; ++k) add_corner(face[k]);
                g.triangle_material.push_back(material_id);
                continue;
            }
            polygon_.clear();
            for (std::size_t k = 0; k < corners; ++k) {
                const std::size_t v = static_cast<std::size_t>(face[k].vertex_index);
                polygon_.emplace_back(attrib_.vertices[3 * v], attrib_.vertices[3 * v + 1], attrib_.vertices[3 * v + 2]);
            }
            cut_.clear();
            triangulator_.triangulate(polygon_, cut_);
            for (std::uint32_t k : cut_) add_corner(face[k]);
            g.triangle_material.insert(g.triangle_material.end(), cut_.size() / 3, material_id);
        }
        if (offset != m.indices.size()) return result::inconsistent;

        const tinyobj::lines_t& lines = shape.lines;
        offset = 0;
        for (int length : lines.num_line_vertices) {
            if (length < 0 || static_cast<std::size_t>(length) > lines.indices.size() - offset)
                return result::inconsistent;
            for (int k = 0; k < length; ++k) {
                if (!valid_position(lines.indices[offset + k].vertex_index)) return result::bad_index;
                if (k > 0) {
                    g.lines.push_back(static_cast<std::uint32_t>(lines.indices[offset + k - 1].vertex_index));
                    g.lines.push_back(static_cast<std::uint32_t>(lines.indices[offset + k].vertex_index));
                }
            }
            offset += static_cast<std::size_t>(length);
        }
        for (const tinyobj::index_t& index : shape.points.indices) {
            if (!valid_position(index.vertex_index)) return result::bad_index;
            g.points.push_back(static_cast<std::uint32_t>(index.vertex_index));
        }
        return result::ok;
    }

    bool all_faces_used() const { return next_face_ == face_corners_.size(); }
    std::size_t dropped_texcoords() const { return dropped_texcoords_; }

private:
    bool valid_position(int index) const {
        return index >= 0 && static_cast<std::size_t>(index) < attrib_.vertices.size() / 3;
    }

    void add_corner(const tinyobj::index_t& index) {
        out_.geometry.corners.push_back(corner{static_cast<std::uint32_t>(index.vertex_index), texcoord(index)});
    }

    std::uint32_t texcoord(const tinyobj::index_t& index) {
        if (index.texcoord_index < 0) return no_index;
        if (static_cast<std::size_t>(index.texcoord_index) >= attrib_.texcoords.size() / 2) {
            ++dropped_texcoords_;
            return no_index;
        }
        return static_cast<std::uint32_t>(index.texcoord_index);
    }

    const tinyobj::attrib_t& attrib_;
    const std::vector<std::uint32_t>& face_corners_;
    model& out_;
    std::size_t next_face_ = 0;
    std::size_t dropped_texcoords_ = 0;
    polygon_triangulator triangulator_;
    std::vector<glm::vec3> polygon_;
    std::vector<std::uint32_t> cut_;
};

// tinyobjloader exports a group's lines and points again after each material
// change; the repeats go (as would any repeat in the file, drawn the same).
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
std::string add_materials(const std::vector<tinyobj::material_t>& materials, const std::string& folder, model& out) {
    std::map<std::string, int> texture_by_name;
    std::size_t unreadable = 0;
    std::string first_problem;
    for (const tinyobj::material_t& m : materials) {
        material mat;
        mat.name = m.name;
        mat.ambient = colour(m.ambient);
        mat.diffuse = colour(m.diffuse);
        mat.specular = colour(m.specular);
        mat.shininess = m.shininess;
        mat.opacity = m.dissolve;  // tinyobjloader reads "d", or "Tr" as 1 - Tr
        if (!m.diffuse_texname.empty() && !folder.empty()) {
            const auto known = texture_by_name.find(m.diffuse_texname);
            if (known != texture_by_name.end()) {
                mat.diffuse_texture = known->second;
            } else {
                picture texture;
                std::string error;
                int index = -1;
                if (load_texture(folder, m.diffuse_texname, texture, error)) {
                    index = static_cast<int>(out.textures.size());
                    out.textures.push_back(std::move(texture));
                } else if (unreadable++ == 0) {
                    first_problem = "texture " + m.diffuse_texname + " " + error;
                }
                texture_by_name[m.diffuse_texname] = index;
                mat.diffuse_texture = index;
            }
        }
        out.materials.push_back(std::move(mat));
    }
    if (unreadable > 1)
        first_problem += " (and " + loading::counted(unreadable - 1, "more texture") + " not read)";
    return first_problem;
}

load_outcome load_obj_text(const char* text, std::size_t size, const std::string& base_folder, model& out) {
    std::string warning;
    const std::size_t whole = whole_lines_size(text, size);
    if (whole < size) {
        warning = loading::ends_early(loading::counted(count_lines(text, whole), "whole line"));
        size = whole;
    }
    const obj_survey s = survey(text, size);
    if (s.triangles > max_triangles)
        return failure(out, "has more than the limit of " + std::to_string(max_triangles) + " triangles");
    if (s.line_point_corners * s.material_changes > max_line_point_copies)
        return failure(out, "has too many material changes among its many lines and points");
    std::string cleaned;
    if (s.has_unused) {
        cleaned = without_unused_statements(text, size);
        text = cleaned.data();
    }

    memory_buffer buffer(text, size);
    std::istream stream(&buffer);
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warn, err;
    folder_material_reader libraries(base_folder);
    // Polygons as they are; no white fallback colour where only some vertices have one.
    if (!tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, &stream, &libraries, false, false))
        return failure(out, describe_error(err));
    if (attrib.vertices.size() / 3 >= no_index) return failure(out, "has too many vertices");

    mesh& g = out.geometry;
    const std::size_t vertices = attrib.vertices.size() / 3;
    g.positions.resize(vertices);
    for (std::size_t i = 0; i < vertices; ++i)
        g.positions[i] = glm::vec3(attrib.vertices[3 * i], attrib.vertices[3 * i + 1], attrib.vertices[3 * i + 2]);
    if (attrib.colors.size() == attrib.vertices.size()) {
        g.colors.resize(vertices);
        for (std::size_t i = 0; i < vertices; ++i)
            g.colors[i] = glm::vec3(attrib.colors[3 * i], attrib.colors[3 * i + 1], attrib.colors[3 * i + 2]);
    }
    g.texcoords.resize(attrib.texcoords.size() / 2);
    for (std::size_t i = 0; i < g.texcoords.size(); ++i)
        g.texcoords[i] = glm::vec2(attrib.texcoords[2 * i], attrib.texcoords[2 * i + 1]);
    obj_converter converter(attrib, s.face_corners, out);
    for (const tinyobj::shape_t& shape : shapes) {
        const obj_converter::result added = converter.add_shape(shape);
        if (added == obj_converter::result::bad_index)
            return failure(out, "a face, line or point refers to a vertex the file does not have");
        if (added == obj_converter::result::inconsistent) return failure(out, "has faces this viewer cannot read");
    }
    if (!converter.all_faces_used()) return failure(out, "has faces this viewer cannot read");
    remove_repeats(g);

    // What the picture misses first: the warning is one line, which may be cut short.
    loading::add_warning(warning, libraries.warning);
    loading::add_warning(warning, add_materials(materials, base_folder, out));
    if (warn.find("not found in .mtl") != std::string::npos)
        loading::add_warning(warning, "uses materials that no material library defines");
    if (converter.dropped_texcoords() > 0)
        loading::add_warning(warning, loading::counted(converter.dropped_texcoords(), "corner") +
                                          " without their texture coordinates, which the file does not have");
    return loading::finish_model(out, std::move(warning));
}

}  // namespace

load_outcome load_obj(const char* text, std::size_t size, const std::string& base_folder, model& out) {
    return loading::guarded(out, [&]() -> load_outcome {
        out = model{};
        if (text == nullptr || size == 0) return failure(out, "is empty");
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
        if (size >= 2 && ((bytes[0] == 0xFE && bytes[1] == 0xFF) || (bytes[0] == 0xFF && bytes[1] == 0xFE))) {
            const std::string converted = from_utf16(bytes, size, bytes[0] == 0xFE);
            return load_obj_text(converted.data(), converted.size(), base_folder, out);
        }
        if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
            return load_obj_text(text + 3, size - 3, base_folder, out);
        return load_obj_text(text, size, base_folder, out);
    });
}

}  // namespace engine
