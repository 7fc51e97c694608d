#include "control/engine/formats/obj/obj_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <string_view>

#include "control/engine/files/byte_window.h"
#include "control/engine/files/text_tokens.h"
#include "control/engine/files/token_stream.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/model/polygon_triangulation.h"

namespace engine::loading {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_line_end(char c) { return c == '\n' || c == '\r'; }
// The statement's text stops at its line end or at a zero byte.
bool ends_statement(char c) { return c == '\n' || c == '\r' || c == '\0'; }

// An index that cannot name anything the file has, kept until the end, where
// the counts are known (a face may name vertices that follow it).
constexpr std::uint32_t bad_index = no_index - 1;
// Digits beyond this make no difference: the index is bad either way.
constexpr std::uint64_t index_cap = std::uint64_t(1) << 40;
// Faces with more corners than this are counted before they are stored.
constexpr std::size_t long_face = 4096;
// Names beyond these are read past: real files name a few libraries and at
// most thousands of materials, and each library name costs file look-ups.
constexpr std::size_t max_material_names = 65536;
constexpr std::size_t max_libraries = 64;

struct pending_polygon {
    std::size_t first_output;  // in the mesh's corners: room for 3 (n - 2) corners
    std::size_t first_corner;  // in polygon_corners_
    std::size_t corners;       // n
};

class obj_reader {
public:
    obj_reader(byte_source& source, std::uint64_t begin, std::uint64_t end, obj_contents& out)
        : source_(source), begin_(begin), window_(source, begin, end), out_(out), g_(out.geometry) {}

    bool read(std::string& error) {
        reserve();
        more();
        while (p_ < end_) {
            skip_blanks();
            whole_token();
            if (!read_statement()) {
                error = error_;
                return false;
            }
            next_line();
            if (p_ == end_) more();
        }
        if (!check_indices() || !cut_polygons()) {
            error = error_;
            return false;
        }
        drop_missing_texcoords();
        if (!coloured_) g_.colors.clear();
        return true;
    }

private:
    // The arrays are allocated once, at the size a quick count of the
    // vertex, texture coordinate and face lines gives: grown by doubling,
    // they would touch up to twice the memory and, for a model of hundreds
    // of MB in a 32-bit process, need room for the old and the new array at
    // once. Lines are found by their LF (a file with CR alone gets no
    // reservation); faces are counted as triangles, bounded by what the
    // bytes can hold (a triangle takes 8 bytes, "f 1 2 3\n").
    void reserve() {
        std::size_t vertices = 0, texcoords = 0, faces = 0;
        byte_window lines(source_, begin_, window_.end());
        while (lines.fill(1)) {
            const unsigned char* line = lines.data();
            std::size_t blanks = 0;
            while (blanks < lines.available() && is_blank(static_cast<char>(line[blanks]))) ++blanks;
            lines.consume(blanks);
            if (lines.available() == 0) continue;  // blanks up to the window's end
            lines.fill(3);
            line = lines.data();
            if (lines.available() > 2) {
                if (line[0] == 'v' && is_blank(static_cast<char>(line[1]))) ++vertices;
                else if (line[0] == 'v' && line[1] == 't' && is_blank(static_cast<char>(line[2]))) ++texcoords;
                else if (line[0] == 'f' && is_blank(static_cast<char>(line[1]))) ++faces;
            }
            for (;;) {
                const void* line_end = std::memchr(lines.data(), '\n', lines.available());
                if (line_end) {
                    lines.consume(static_cast<std::size_t>(static_cast<const unsigned char*>(line_end) - lines.data()) + 1);
                    break;
                }
                lines.consume(lines.available());
                if (!lines.fill(1)) break;
            }
        }
        const std::uint64_t size = window_.end() - begin_;
        faces = static_cast<std::size_t>(std::min<std::uint64_t>({faces, size / 8, max_triangles}));
        g_.positions.reserve(vertices);
        g_.texcoords.reserve(texcoords);
        g_.corners.reserve(3 * faces);
        g_.triangle_material.reserve(faces);
    }

    // Reads on, keeping the bytes from p_: the window then holds whole lines
    // from p_ on, or the first max_line_bytes of a longer line (line_cut_),
    // or the rest of the text.
    void more() {
        const char* held_start = reinterpret_cast<const char*>(window_.data());
        window_.consume(static_cast<std::size_t>(p_ - held_start));
        std::size_t searched = 0;  // bytes known to hold no line end that counts
        const char* last_end = nullptr;
        for (;;) {
            const std::size_t held = window_.available();
            const char* text = reinterpret_cast<const char*>(window_.data());
            // A CR as the last byte held may be the first of CR LF: it counts once the next byte is read.
            for (std::size_t i = held; i > searched && !last_end; --i) {
                const char c = text[i - 1];
                if (c == '\n' || (c == '\r' && (i < held || window_.exhausted()))) last_end = text + i;
            }
            searched = held > 0 ? held - 1 : 0;
            if (last_end || held >= max_line_bytes || window_.exhausted()) break;
            // A window, or twice what is held: a long line is moved a few times, not once per window.
            const std::size_t window = source_.window_bytes();
            window_.fill(std::max(held + 1, held < window / 2 ? window : 2 * held));
        }
        const char* text = reinterpret_cast<const char*>(window_.data());
        p_ = text;
        line_cut_ = !last_end && !window_.exhausted();
        end_ = window_.exhausted() || !last_end ? text + window_.available() : last_end;
    }

    // In a line longer than the window: the token at p_ is made whole in it
    // (up to max_token_bytes), so that numbers and corners are read whole.
    void whole_token() {
        if (!line_cut_) return;
        for (;;) {
            const char* q = p_;
            while (q < end_ && !is_blank(*q) && !ends_statement(*q)) ++q;
            if (q < end_ || !line_cut_ || q - p_ >= static_cast<std::ptrdiff_t>(max_token_bytes)) return;
            more();
        }
    }

    // Where `at` (in the window) is in the source.
    std::uint64_t source_offset(const char* at) const {
        return window_.offset() + static_cast<std::uint64_t>(at - reinterpret_cast<const char*>(window_.data()));
    }

    // One statement at p_, its keyword not yet read. False on an error.
    bool read_statement() {
        // An empty line has no keyword: its line end is not one to read past
        // (with the next line's first blank, that line would be lost).
        if (end_ - p_ < 2 || ends_statement(*p_)) return true;
        const char first = p_[0], second = p_[1];
        if (is_blank(second)) {
            p_ += 2;
            switch (first) {
                case 'v': read_vertex(); return true;
                case 'f': return read_face();
                case 'l': return read_line();
                case 'p': return read_points();
                default: return true;
            }
        }
        if (first == 'v' && second == 't' && end_ - p_ > 2 && is_blank(p_[2])) {
            p_ += 3;
            const float u = coordinate(), v = coordinate();
            g_.texcoords.emplace_back(u, v);
        } else if (first == 'u' && keyword("usemtl")) {
            use_material(rest_of_line());
        } else if (first == 'm' && keyword("mtllib")) {
            add_libraries(rest_of_line());
        }
        return true;
    }

    // "v x y z [r g b]": the colours are kept only if every vertex has them.
    void read_vertex() {
        const float x = coordinate(), y = coordinate(), z = coordinate();
        g_.positions.emplace_back(x, y, z);
        if (!coloured_) return;
        float rgb[3];
        for (float& channel : rgb) {
            if (!number(channel)) {
                coloured_ = false;
                g_.colors.clear();
                g_.colors.shrink_to_fit();
                return;
            }
        }
        if (g_.colors.empty()) g_.colors.reserve(g_.positions.capacity());
        g_.colors.emplace_back(rgb[0], rgb[1], rgb[2]);
    }

    bool read_face() {
        face_.clear();
        // The face's triangles may not take the count past the limit. A long
        // face's corners are counted before more of them are stored, so that
        // one face cannot fill memory on its way there.
        const std::size_t most_corners = max_triangles - triangles_ + 2;
        for (;;) {
            skip_blanks();
            if (at_statement_end()) break;
            if (face_.size() == long_face && face_.size() + tokens_ahead() > most_corners)
                return too_many_triangles();
            whole_token();
            corner c;
            if (!read_corner(c.position, &c.texcoord)) return bad_corner("a face");
            face_.push_back(c);
        }
        const std::size_t n = face_.size();
        if (n > most_corners) return too_many_triangles();
        if (n < 3) return true;  // no area to draw
        triangles_ += n - 2;
        if (n == 3) {
            for (const corner& c : face_) g_.corners.push_back(c);  // inlined, unlike a range insert
            g_.triangle_material.push_back(material_);
            return true;
        }
        // Cut once every position is known.
        polygons_.push_back(pending_polygon{g_.corners.size(), polygon_corners_.size(), n});
        polygon_corners_.insert(polygon_corners_.end(), face_.begin(), face_.end());
        g_.corners.resize(g_.corners.size() + 3 * (n - 2));
        g_.triangle_material.insert(g_.triangle_material.end(), n - 2, material_);
        return true;
    }

    // "l a b c ...": the segments between consecutive corners.
    bool read_line() {
        std::uint32_t previous = 0;
        for (bool first = true;; first = false) {
            skip_blanks();
            if (at_statement_end()) return true;
            whole_token();
            std::uint32_t position;
            if (!read_corner(position, nullptr)) return bad_corner("a line");
            if (!first) g_.lines.insert(g_.lines.end(), {previous, position});
            previous = position;
        }
    }

    bool read_points() {
        for (;;) {
            skip_blanks();
            if (at_statement_end()) return true;
            whole_token();
            std::uint32_t position;
            if (!read_corner(position, nullptr)) return bad_corner("a point");
            g_.points.push_back(position);
        }
    }

    // v, v/vt, v//vn or v/vt/vn, ending at a blank or the statement's end.
    // Normals are not used, but their index must be one.
    bool read_corner(std::uint32_t& position, std::uint32_t* texcoord) {
        if (!read_index(g_.positions.size(), position)) return false;
        needed_positions_ = std::max<std::uint64_t>(needed_positions_, std::uint64_t(position) + 1);
        std::uint32_t uv = no_index, normal;
        if (p_ < end_ && *p_ == '/') {
            ++p_;
            if (p_ < end_ && *p_ == '/') {
                ++p_;
                if (!read_index(0, normal)) return false;
            } else {
                if (!read_index(g_.texcoords.size(), uv)) return false;
                needed_texcoords_ = std::max<std::uint64_t>(needed_texcoords_, std::uint64_t(uv) + 1);
                if (p_ < end_ && *p_ == '/') {
                    ++p_;
                    if (!read_index(0, normal)) return false;
                }
            }
        }
        if (texcoord) *texcoord = uv;
        return p_ == end_ || is_blank(*p_) || ends_statement(*p_);
    }

    // A 1-based index, or a negative one counting back from the last of the
    // `count` read so far; 0 and text that is not a number are errors.
    bool read_index(std::size_t count, std::uint32_t& index) {
        bool negative = false;
        if (p_ < end_ && (*p_ == '-' || *p_ == '+')) negative = *p_++ == '-';
        const char* digits = p_;
        std::uint64_t value = 0;
        for (; p_ < end_ && static_cast<unsigned>(*p_ - '0') < 10; ++p_)
            if (value < index_cap) value = value * 10 + static_cast<unsigned>(*p_ - '0');
        if (p_ == digits || value == 0) return false;
        if (negative) index = value <= count ? static_cast<std::uint32_t>(count - value) : bad_index;
        else index = value <= bad_index ? static_cast<std::uint32_t>(value - 1) : bad_index;
        return true;
    }

    // The blank-separated tokens from p_ to the statement's end, read ahead
    // of the window in a line longer than it.
    std::size_t tokens_ahead() const {
        std::size_t tokens = 0;
        bool in_token = false;
        auto count = [&](const char* q, const char* last) {
            for (; q < last; ++q) {
                if (ends_statement(*q)) return true;
                const bool blank = is_blank(*q);
                if (!blank && !in_token) ++tokens;
                in_token = !blank;
            }
            return false;
        };
        if (count(p_, end_) || !line_cut_) return tokens;
        byte_window ahead(source_, source_offset(end_), window_.end());
        while (ahead.fill(1)) {
            const char* text = reinterpret_cast<const char*>(ahead.data());
            if (count(text, text + ahead.available())) break;
            ahead.consume(ahead.available());
        }
        return tokens;
    }

    // A coordinate: a number, NaN for a token that is not one (the
    // triangles using it are left out later), 0 when the statement has no more.
    float coordinate() {
        float value = 0.0f;
        if (!number(value) && !at_statement_end()) {
            value = std::numeric_limits<float>::quiet_NaN();
            while (p_ < end_ && !is_blank(*p_) && !ends_statement(*p_)) ++p_;
        }
        return value;
    }

    // The next token as a number; false (and nothing read) when it is not one.
    bool number(float& value) {
        skip_blanks();
        whole_token();
        double read = 0;
        const char* after = read_number(p_, end_, read);
        if (after == nullptr || (after < end_ && !is_blank(*after) && !ends_statement(*after))) return false;
        value = static_cast<float>(read);
        p_ = after;
        return true;
    }

    void use_material(std::string_view name) {
        auto known = material_slots_.find(name);
        if (known == material_slots_.end()) {
            if (out_.material_names.size() == max_material_names) {
                material_ = -1;
                return;
            }
            known = material_slots_.emplace(std::string(name), static_cast<int>(out_.material_names.size())).first;
            out_.material_names.emplace_back(name);
        }
        material_ = known->second;
    }

    // Several names may follow, separated by blanks.
    void add_libraries(std::string_view names) {
        while (!names.empty() && out_.libraries.size() < max_libraries) {
            const std::size_t end = std::min(names.find_first_of(" \t"), names.size());
            const std::string_view name = names.substr(0, end);
            if (!name.empty() && std::find(out_.libraries.begin(), out_.libraries.end(), name) == out_.libraries.end())
                out_.libraries.emplace_back(name);
            names.remove_prefix(std::min(end + 1, names.size()));
        }
    }

    // The keyword at p_, followed by a blank or the statement's end.
    bool keyword(std::string_view word) {
        const std::size_t left = static_cast<std::size_t>(end_ - p_);
        if (left < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) return false;
        if (left > word.size() && !is_blank(p_[word.size()]) && !ends_statement(p_[word.size()])) return false;
        p_ += word.size();
        return true;
    }

    // The statement's text after p_, without blanks around it.
    std::string_view rest_of_line() {
        skip_blanks();
        const char* start = p_;
        while (p_ < end_ && !ends_statement(*p_)) ++p_;
        const char* last = p_;
        while (last > start && is_blank(last[-1])) --last;
        return std::string_view(start, static_cast<std::size_t>(last - start));
    }

    void skip_blanks() {
        for (;;) {
            while (p_ < end_ && is_blank(*p_)) ++p_;
            if (p_ < end_ || !line_cut_) return;
            more();
        }
    }

    bool at_statement_end() const { return p_ == end_ || ends_statement(*p_); }

    // Past the rest of the line (after a zero byte too) and its line end:
    // LF, CR LF or CR.
    void next_line() {
        for (;;) {
            while (p_ < end_ && !is_line_end(*p_)) ++p_;
            if (p_ < end_ || !line_cut_) break;
            more();
        }
        if (p_ == end_) return;
        if (*p_ == '\r' && end_ - p_ > 1 && p_[1] == '\n') ++p_;
        ++p_;
        ++line_;
    }

    bool bad_corner(const char* what) {
        error_ = "line " + std::to_string(line_) + ": " + what + " has a vertex index that is 0 or not a number";
        return false;
    }

    bool too_many_triangles() {
        error_ = "has more than the limit of " + std::to_string(max_triangles) + " triangles";
        return false;
    }

    bool check_indices() {
        if (g_.positions.size() >= bad_index) {
            error_ = "has too many vertices";
            return false;
        }
        if (needed_positions_ > g_.positions.size()) {
            error_ = "a face, line or point refers to a vertex the file does not have";
            return false;
        }
        return true;
    }

    // After the polygons are cut: a polygon's corner counts once for each
    // triangle corner it becomes.
    void drop_missing_texcoords() {
        if (needed_texcoords_ <= g_.texcoords.size()) return;
        for (corner& c : g_.corners) {
            if (c.texcoord == no_index || c.texcoord < g_.texcoords.size()) continue;
            c.texcoord = no_index;
            ++out_.dropped_texcoords;
        }
    }

    bool cut_polygons() {
        for (const pending_polygon& polygon : polygons_) {
            const corner* face = polygon_corners_.data() + polygon.first_corner;
            polygon_.clear();
            for (std::size_t k = 0; k < polygon.corners; ++k) polygon_.push_back(g_.positions[face[k].position]);
            cut_.clear();
            triangulator_.triangulate(polygon_, cut_);
            if (cut_.size() != 3 * (polygon.corners - 2)) {
                error_ = "has faces this viewer cannot read";
                return false;
            }
            corner* output = g_.corners.data() + polygon.first_output;
            for (std::size_t k = 0; k < cut_.size(); ++k) output[k] = face[cut_[k]];
        }
        return true;
    }

    byte_source& source_;
    std::uint64_t begin_;
    byte_window window_;
    // The text held: p_ reads on to end_, the end of the last whole line
    // held, or of all held when the line is longer than the window.
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    bool line_cut_ = false;
    obj_contents& out_;
    mesh& g_;
    std::size_t line_ = 1;
    std::string error_;

    bool coloured_ = true;
    int material_ = -1;
    std::map<std::string, int, std::less<>> material_slots_;
    std::uint64_t triangles_ = 0;
    std::uint64_t needed_positions_ = 0, needed_texcoords_ = 0;

    std::vector<corner> face_;
    std::vector<pending_polygon> polygons_;
    std::vector<corner> polygon_corners_;
    polygon_triangulator triangulator_;
    std::vector<glm::vec3> polygon_;
    std::vector<std::uint32_t> cut_;
};

}  // namespace

bool read_obj(byte_source& source, std::uint64_t begin, std::uint64_t end, obj_contents& out, std::string& error) {
    return obj_reader(source, begin, end, out).read(error);
}

}  // namespace engine::loading
