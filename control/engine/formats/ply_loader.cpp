// PLY, ASCII and binary of either byte order: the "vertex" element's x, y, z
// and optional red, green, blue; the "face" element's index lists, cut into
// triangles. Every other element and property is read past. When the data
// ends early, the whole vertices and faces before the end are kept.
#include <cmath>
#include <cstring>

#include "control/engine/files/byte_window.h"
#include "control/engine/files/token_stream.h"
#include "control/engine/formats/finish_model.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/source_loaders.h"
#include "control/engine/model/polygon_triangulation.h"
#include "control/engine/model/position_welder.h"
#include "control/engine/files/text_tokens.h"

namespace engine {

namespace {

using loading::failure;

// A list's length is bounded by its type only: a length beyond the data left
// ends the data early, as a file cut inside the list does.
constexpr std::uint64_t max_list_length = 0xFFFFFFFFu;

enum class scalar { none, int8, uint8, int16, uint16, int32, uint32, float32, float64 };
enum class encoding { ascii, little_endian, big_endian };

struct scalar_name {
    const char* name;
    scalar type;
};
constexpr scalar_name scalar_names[] = {
    {"char", scalar::int8},    {"int8", scalar::int8},     {"uchar", scalar::uint8},    {"uint8", scalar::uint8},
    {"short", scalar::int16},  {"int16", scalar::int16},   {"ushort", scalar::uint16},  {"uint16", scalar::uint16},
    {"int", scalar::int32},    {"int32", scalar::int32},   {"uint", scalar::uint32},    {"uint32", scalar::uint32},
    {"float", scalar::float32}, {"float32", scalar::float32}, {"double", scalar::float64}, {"float64", scalar::float64},
};

scalar scalar_named(std::string_view name) {
    for (const scalar_name& s : scalar_names)
        if (loading::equals_ignoring_case(name, s.name)) return s.type;
    return scalar::none;
}

std::size_t size_of(scalar type) {
    switch (type) {
        case scalar::int8: case scalar::uint8: return 1;
        case scalar::int16: case scalar::uint16: return 2;
        case scalar::int32: case scalar::uint32: case scalar::float32: return 4;
        case scalar::float64: return 8;
        case scalar::none: break;
    }
    return 0;
}

bool is_float(scalar type) { return type == scalar::float32 || type == scalar::float64; }

// What an integer channel's full intensity is.
double full_scale(scalar type) {
    switch (type) {
        case scalar::int16: case scalar::uint16: return 65535.0;
        case scalar::int32: case scalar::uint32: return 4294967295.0;
        default: return 255.0;
    }
}

struct property {
    std::string name;
    scalar type = scalar::none;
    scalar count_type = scalar::none;  // a list when not none
    bool is_list() const { return count_type != scalar::none; }
};

struct element {
    std::string name;
    std::uint64_t count = 0;
    std::vector<property> properties;
};

// Values one after the other, as text tokens or as binary numbers.
class value_reader {
public:
    // The data from `begin` to `end` of the source.
    value_reader(loading::byte_source& source, std::uint64_t begin, std::uint64_t end, encoding format)
        : window_(source, begin, end), format_(format), cursor_(window_) {}

    // False at the end of the data or on a token that is not a number.
    bool read(scalar type, double& value) {
        if (format_ == encoding::ascii) {
            const std::string_view token = cursor_.next();
            if (token.empty()) return false;
            if (!loading::parse_number(token, value)) {
                bad_token_ = std::string(token);
                return false;
            }
            return true;
        }
        const std::size_t n = size_of(type);
        if (!window_.fill(n)) return false;
        const unsigned char* bytes = window_.data();
        std::uint64_t raw = 0;
        for (std::size_t i = 0; i < n; ++i) raw = raw << 8 | bytes[format_ == encoding::big_endian ? i : n - 1 - i];
        window_.consume(n);
        value = decode(type, raw);
        return true;
    }

    // A list length or an index: a whole number from 0 to `limit`.
    bool read_count(scalar type, std::uint64_t limit, std::uint64_t& value) {
        double number = 0;
        if (!read(type, number)) return false;
        if (!(number >= 0 && number <= static_cast<double>(limit) && number == std::floor(number))) {
            bad_count_ = true;
            return false;
        }
        value = static_cast<std::uint64_t>(number);
        return true;
    }

    // Bytes left; for text an upper bound on the values left times two.
    std::uint64_t remaining() const { return window_.end() - window_.offset(); }

    // Whether the last read failed because the data ended (rather than on a bad value).
    bool ran_out() const { return bad_token_.empty() && !bad_count_; }

    // Why the last read failed.
    std::string problem() const {
        if (!bad_token_.empty()) return loading::quoted(bad_token_) + " is not a number";
        if (bad_count_) return "a list length or vertex index is negative, fractional or too large";
        return "the data ends early";
    }

private:
    static double decode(scalar type, std::uint64_t raw) {
        switch (type) {
            case scalar::int8: return static_cast<std::int8_t>(static_cast<std::uint8_t>(raw));
            case scalar::int16: return static_cast<std::int16_t>(static_cast<std::uint16_t>(raw));
            case scalar::int32: return static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
            case scalar::float32: {
                const std::uint32_t bits = static_cast<std::uint32_t>(raw);
                float value;
                std::memcpy(&value, &bits, sizeof value);
                return value;
            }
            case scalar::float64: {
                double value;
                std::memcpy(&value, &raw, sizeof value);
                return value;
            }
            default: return static_cast<double>(raw);  // the unsigned types
        }
    }

    loading::byte_window window_;
    encoding format_;
    loading::token_stream cursor_;
    std::string bad_token_;
    bool bad_count_ = false;
};

struct header {
    encoding format = encoding::ascii;
    std::vector<element> elements;
    std::uint64_t data_offset = 0;
};

// The next line of the header, without its line end, which is read past:
// \n, \r\n or \r. A line longer than a token may be is cut there (its
// rest read past): nothing the header says needs more. False when no byte
// is left.
bool read_line(loading::byte_window& window, std::string& line) {
    if (!window.fill(1)) return false;
    line.clear();
    for (;;) {
        const char* text = reinterpret_cast<const char*>(window.data());
        const std::size_t held = window.available();
        std::size_t length = 0;
        while (length < held && text[length] != '\n' && text[length] != '\r') ++length;
        line.append(text, std::min(length, loading::max_token_bytes - line.size()));
        window.consume(length);
        if (length < held || !window.fill(1)) break;
    }
    if (window.fill(1) && window.data()[0] == '\r') window.consume(1);
    if (window.fill(1) && window.data()[0] == '\n') window.consume(1);
    return true;
}

// Reads the header's lines; false with `error` set when it is not one.
bool read_header(loading::byte_source& source, header& h, std::string& error) {
    loading::byte_window window(source, 0, source.size());
    std::string text;
    std::size_t line_number = 0;
    bool have_format = false;
    for (;;) {
        if (!read_line(window, text)) {
            error = "has no 'end_header' line";
            return false;
        }
        loading::text_cursor line(text.data(), text.size());
        ++line_number;
        const std::string where = "header line " + std::to_string(line_number) + ": ";

        const std::string_view keyword = line.next();
        if (line_number == 1) {
            if (keyword != "ply" || !line.at_end()) {
                error = "does not begin with 'ply'";
                return false;
            }
            continue;
        }
        if (keyword == "end_header") break;
        if (keyword == "format") {
            const std::string_view name = line.next();
            if (name == "ascii") h.format = encoding::ascii;
            else if (name == "binary_little_endian") h.format = encoding::little_endian;
            else if (name == "binary_big_endian") h.format = encoding::big_endian;
            else {
                error = where + "unknown format " + loading::quoted(name);
                return false;
            }
            have_format = true;
        } else if (keyword == "element") {
            element e;
            e.name = std::string(line.next());
            double count = -1;
            if (e.name.empty() || !loading::parse_number(line.next(), count) || !(count >= 0) ||
                count != std::floor(count) || count > 1e18) {
                error = where + "an element needs a name and a count";
                return false;
            }
            e.count = static_cast<std::uint64_t>(count);
            h.elements.push_back(std::move(e));
        } else if (keyword == "property") {
            if (h.elements.empty()) {
                error = where + "a property before any element";
                return false;
            }
            property p;
            std::string_view type = line.next();
            if (type == "list") {
                p.count_type = scalar_named(line.next());
                type = line.next();
                if (p.count_type == scalar::none || is_float(p.count_type)) {
                    error = where + "a list's length needs an integer type";
                    return false;
                }
            }
            p.type = scalar_named(type);
            p.name = std::string(line.next());
            if (p.type == scalar::none || p.name.empty()) {
                error = where + "unknown property type " + loading::quoted(type);
                return false;
            }
            if (h.elements.back().properties.size() >= 1024) {
                error = where + "more than 1024 properties in one element";
                return false;
            }
            h.elements.back().properties.push_back(std::move(p));
        }
        // "comment", "obj_info" and lines some writers add without a keyword are read past.
    }
    if (!have_format) {
        error = "has no 'format' line";
        return false;
    }
    // The data begins after the line end of "end_header".
    h.data_offset = window.offset();
    return true;
}

int index_of(const element& e, std::initializer_list<const char*> names, bool list) {
    for (const char* name : names)
        for (std::size_t i = 0; i < e.properties.size(); ++i)
            if (loading::equals_ignoring_case(e.properties[i].name, name) && e.properties[i].is_list() == list)
                return static_cast<int>(i);
    return -1;
}

class ply_reader {
public:
    // The data from `begin` to `end` of the source.
    ply_reader(const header& h, loading::byte_source& source, std::uint64_t begin, std::uint64_t end, model& out)
        : header_(h), values_(source, begin, end, h.format), out_(out) {}

    load_outcome read() {
        for (const element& e : header_.elements) {
            if (e.properties.empty()) continue;  // holds no data, however many it claims
            bool whole = true;
            if (e.name == "vertex") {
                if (have_vertices_) return failure(out_, "has two vertex elements");
                have_vertices_ = true;
                whole = read_vertices(e);
            } else if (e.name == "face") {
                whole = read_faces(e);
            } else {
                for (std::uint64_t i = 0; i < e.count && whole; ++i)
                    if (!skip_instance(e)) whole = stop(e, i);
            }
            if (!whole && !ended_in_) return outcome_;
            if (!whole) break;
        }
        std::string warning;
        if (ended_in_) {
            warning = loading::ends_early(what_was_read());
            if (out_.geometry.positions.empty()) return failure(out_, warning);
        }
        if (!keep_faces_with_known_vertices()) return outcome_;
        cut_faces();
        if (degenerate_faces_ > 0)
            loading::add_warning(warning, "left out " + loading::counted(degenerate_faces_, "face") +
                                              " with fewer than 3 corners");
        return loading::finish_model(out_, std::move(warning));
    }

    bool ended_early() const { return ended_in_ != nullptr; }

private:
    bool read_vertices(const element& e) {
        const int x = index_of(e, {"x"}, false), y = index_of(e, {"y"}, false), z = index_of(e, {"z"}, false);
        if (x < 0 || y < 0 || z < 0) return fail(failure(out_, "its vertices have no x, y and z"));
        const int red = index_of(e, {"red", "diffuse_red", "r"}, false);
        const int green = index_of(e, {"green", "diffuse_green", "g"}, false);
        const int blue = index_of(e, {"blue", "diffuse_blue", "b"}, false);
        const bool coloured = red >= 0 && green >= 0 && blue >= 0;
        if (e.count > 3 * std::uint64_t(max_triangles))
            return fail(failure(out_, "has " + std::to_string(e.count) + " vertices, more than the limit of " +
                                          std::to_string(3 * max_triangles)));
        mesh& g = out_.geometry;
        // Reserve no more than the data can hold: the count may be a lie.
        const std::uint64_t affordable = values_.remaining() / (e.properties.size() * 2) + 1;
        g.positions.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(e.count, affordable)));
        if (coloured) g.colors.reserve(g.positions.capacity());
        std::vector<double> scalars(e.properties.size());
        for (std::uint64_t i = 0; i < e.count; ++i) {
            if (!read_instance(e, scalars)) return stop(e, i);
            g.positions.emplace_back(scalars[x], scalars[y], scalars[z]);
            if (coloured) {
                auto channel = [&](int p) {
                    const scalar type = e.properties[p].type;
                    return static_cast<float>(is_float(type) ? scalars[p] : scalars[p] / full_scale(type));
                };
                g.colors.emplace_back(channel(red), channel(green), channel(blue));
            }
        }
        return true;
    }

    bool read_faces(const element& e) {
        const int list = index_of(e, {"vertex_indices", "vertex_index"}, true);
        if (list < 0) return fail(failure(out_, "its faces have no vertex_indices list"));
        // Room for the faces the data can hold, as triangles; bigger faces grow it.
        const std::uint64_t affordable = values_.remaining() / (header_.format == encoding::ascii ? 8 : 4) + 1;
        const std::uint64_t faces = std::min(e.count, affordable);
        face_sizes_.reserve(face_sizes_.size() + static_cast<std::size_t>(faces));
        face_indices_.reserve(face_indices_.size() + 3 * static_cast<std::size_t>(faces));
        for (std::uint64_t i = 0; i < e.count; ++i) {
            // A face the data ends in is taken back whole.
            const std::size_t indices = face_indices_.size(), faces = face_sizes_.size();
            const std::size_t degenerate = degenerate_faces_;
            const std::uint64_t triangles = triangles_;
            auto stop_in_face = [&] {
                face_indices_.resize(indices);
                face_sizes_.resize(faces);
                degenerate_faces_ = degenerate;
                triangles_ = triangles;
                return stop(e, i);
            };
            for (int p = 0; p < static_cast<int>(e.properties.size()); ++p) {
                if (p != list) {
                    if (!skip_property(e.properties[p])) return stop_in_face();
                    continue;
                }
                std::uint64_t corners = 0;
                if (!values_.read_count(e.properties[p].count_type, max_list_length, corners)) return stop_in_face();
                for (std::uint64_t k = 0; k < corners; ++k) {
                    std::uint64_t index = 0;
                    if (!values_.read_count(e.properties[p].type, no_index - 1, index)) return stop_in_face();
                    face_indices_.push_back(static_cast<std::uint32_t>(index));
                }
                if (corners < 3) {
                    face_indices_.resize(face_indices_.size() - corners);
                    ++degenerate_faces_;
                    continue;
                }
                face_sizes_.push_back(static_cast<std::uint32_t>(corners));
                triangles_ += corners - 2;
                if (triangles_ > max_triangles)
                    return fail(failure(out_, "has more than the limit of " + std::to_string(max_triangles) +
                                                  " triangles"));
            }
        }
        return true;
    }

    // Faces to triangles once every vertex is known (a file may list faces
    // first). Without vertex colours, corners at the same place become one
    // position, so that smooth shading crosses the seams writers leave.
    void cut_faces() {
        mesh& g = out_.geometry;
        std::size_t triangles = 0;
        for (std::uint32_t corners : face_sizes_) triangles += corners - 2;
        g.corners.reserve(3 * triangles);
        g.triangle_material.reserve(triangles);
        const std::uint32_t* face = face_indices_.data();
        polygon_triangulator triangulator;
        std::vector<glm::vec3> polygon;
        std::vector<std::uint32_t> cut;
        for (std::uint32_t corners : face_sizes_) {
            if (corners == 3) {
                cut.assign({0, 1, 2});
            } else {
                polygon.clear();
                for (std::uint32_t k = 0; k < corners; ++k) polygon.push_back(g.positions[face[k]]);
                cut.clear();
                triangulator.triangulate(polygon, cut);
            }
            for (std::uint32_t k : cut) g.corners.push_back(corner{face[k], no_index});
            g.triangle_material.insert(g.triangle_material.end(), cut.size() / 3, -1);
            face += corners;
        }
        std::vector<std::uint32_t>().swap(face_indices_);
        std::vector<std::uint32_t>().swap(face_sizes_);
        if (g.colors.empty() && !g.corners.empty()) {
            std::vector<glm::vec3> read;
            read.swap(g.positions);
            loading::position_welder welder(g.positions);
            std::vector<std::uint32_t> welded(read.size());
            for (std::size_t i = 0; i < read.size(); ++i) welded[i] = welder.index_of(read[i]);
            for (corner& c : g.corners) c.position = welded[c.position];
        }
    }

    bool read_instance(const element& e, std::vector<double>& scalars) {
        for (std::size_t p = 0; p < e.properties.size(); ++p) {
            if (e.properties[p].is_list()) {
                if (!skip_property(e.properties[p])) return false;
            } else if (!values_.read(e.properties[p].type, scalars[p])) {
                return false;
            }
        }
        return true;
    }

    bool skip_instance(const element& e) {
        for (const property& p : e.properties)
            if (!skip_property(p)) return false;
        return true;
    }

    bool skip_property(const property& p) {
        double value = 0;
        if (!p.is_list()) return values_.read(p.type, value);
        std::uint64_t length = 0;
        if (!values_.read_count(p.count_type, max_list_length, length)) return false;
        for (std::uint64_t i = 0; i < length; ++i)
            if (!values_.read(p.type, value)) return false;
        return true;
    }

    load_outcome ends_in(const element& e, std::uint64_t instance) {
        return failure(out_, e.name + " " + std::to_string(instance) + " of " + std::to_string(e.count) + ": " +
                                 values_.problem());
    }

    // Instance `instance` of `e` could not be read: the data ended there, and
    // the reading stops, or a value is bad, and the load fails. False either way.
    bool stop(const element& e, std::uint64_t instance) {
        if (!values_.ran_out()) return fail(ends_in(e, instance));
        ended_in_ = &e;
        whole_instances_ = instance;
        return false;
    }

    // "70048 of 70051 vertices and 0 of 5000 faces": the element the data
    // ended in, and the vertices and faces after it, none of which were read.
    std::string what_was_read() const {
        std::string read;
        bool after = false;
        for (const element& e : header_.elements) {
            after = after || &e == ended_in_;
            const bool used = e.name == "vertex" || e.name == "face";
            if (!after || e.properties.empty() || (&e != ended_in_ && !used)) continue;
            if (!read.empty()) read += " and ";
            read += std::to_string(&e == ended_in_ ? whole_instances_ : 0) + " of " + std::to_string(e.count) + " ";
            if (e.name == "vertex") read += e.count == 1 ? "vertex" : "vertices";
            else if (e.name == "face") read += e.count == 1 ? "face" : "faces";
            else read += loading::quoted(e.name) + (e.count == 1 ? " element" : " elements");
        }
        return read;
    }

    // Faces must name vertices the file has. When the data ended early,
    // faces naming vertices it did not reach are left out; otherwise the
    // file is damaged and the load fails.
    bool keep_faces_with_known_vertices() {
        const std::size_t vertices = out_.geometry.positions.size();
        std::size_t from = 0, to = 0, kept_faces = 0;
        for (std::uint32_t corners : face_sizes_) {
            bool known = true;
            for (std::uint32_t k = 0; k < corners && known; ++k) {
                const std::uint32_t index = face_indices_[from + k];
                known = index < vertices;
                if (!known && !ended_in_)
                    return fail(failure(out_, "a face refers to vertex " + std::to_string(index) +
                                                  ", but the file has " + std::to_string(vertices) + " vertices"));
            }
            if (known) {
                for (std::uint32_t k = 0; k < corners; ++k) face_indices_[to++] = face_indices_[from + k];
                face_sizes_[kept_faces++] = corners;
            }
            from += corners;
        }
        face_indices_.resize(to);
        face_sizes_.resize(kept_faces);
        return true;
    }

    bool fail(load_outcome outcome) {
        outcome_ = std::move(outcome);
        return false;
    }

    const header& header_;
    value_reader values_;
    model& out_;
    load_outcome outcome_;
    const element* ended_in_ = nullptr;  // the element the data ended in, if it did
    std::uint64_t whole_instances_ = 0;  // of that element
    bool have_vertices_ = false;
    std::size_t degenerate_faces_ = 0;
    std::uint64_t triangles_ = 0;
    std::vector<std::uint32_t> face_indices_;  // the corners of all faces, one after the other
    std::vector<std::uint32_t> face_sizes_;
};

// Where text that ends inside a token ends without it: after the last
// blank of the data (from `begin` to the source's end), or at `begin`.
std::uint64_t before_last_token(loading::byte_source& source, std::uint64_t begin) {
    unsigned char chunk[4096];
    std::uint64_t end = source.size();
    while (end > begin) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, sizeof chunk));
        if (!source.read(end - count, chunk, count)) return end;
        for (std::size_t i = count; i > 0; --i, --end)
            if (chunk[i - 1] <= ' ') return end;
    }
    return begin;
}

}  // namespace

load_outcome load_ply(loading::byte_source& source, model& out) {
    return loading::guarded(out, [&]() -> load_outcome {
        out = model{};
        if (source.size() == 0) return failure(out, "is empty");
        header h;
        std::string error;
        if (!read_header(source, h, error)) return failure(out, error);
        const std::uint64_t end = source.size();
        ply_reader reader(h, source, h.data_offset, end, out);
        const load_outcome outcome = reader.read();
        // Text cut inside its last number reads a shorter number ("12" of
        // "1234", "1.5e") into an instance that may look whole. When the
        // reading stops early or fails, text that ends inside a token is read
        // again without it: the data then ends in the instance holding it.
        if (h.format != encoding::ascii || (outcome.ok && !reader.ended_early())) return outcome;
        const std::uint64_t trimmed = before_last_token(source, h.data_offset);
        if (trimmed > h.data_offset && trimmed < end) {
            model shorter;
            ply_reader again(h, source, h.data_offset, trimmed, shorter);
            const load_outcome second = again.read();
            if (again.ended_early()) {
                out = std::move(shorter);
                return second;
            }
        }
        return outcome;
    });
}

load_outcome load_ply(const unsigned char* bytes, std::size_t size, model& out) {
    loading::byte_source source(bytes, bytes ? size : 0);
    return load_ply(source, out);
}

}  // namespace engine
