// STL, binary and ASCII. A binary file is recognised by its size alone
// (84 + 50 * count bytes): many binary files begin with "solid" too. A file
// that ends early keeps the triangles it holds whole.
#include <cstring>

#include "control/engine/files/byte_window.h"
#include "control/engine/files/file_reading.h"
#include "control/engine/files/token_stream.h"
#include "control/engine/formats/finish_model.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/source_loaders.h"
#include "control/engine/model/position_welder.h"
#include "control/engine/files/text_tokens.h"

namespace engine {

namespace {

using loading::failure;

constexpr std::size_t header_size = 84;
constexpr std::size_t record_size = 50;

std::uint64_t binary_size_for(std::uint32_t triangles) { return header_size + std::uint64_t(record_size) * triangles; }

// No control characters near the start: binary headers that begin with
// "solid" have zero bytes in the count and the floats that follow.
bool looks_like_text(const unsigned char* bytes, std::size_t size) {
    const std::size_t checked = std::min<std::size_t>(size, 512);
    for (std::size_t i = 0; i < checked; ++i) {
        const unsigned char c = bytes[i];
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') return false;
    }
    return true;
}

bool begins_with_solid(loading::byte_source& source) {
    return loading::starts_with_ignoring_case(loading::first_after_blanks(source, 5), "solid");
}

float read_float(const unsigned char* p) {
    const std::uint32_t bits = loading::read_u32_le(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void add_triangle(mesh& g, loading::position_welder& welder, const glm::vec3* corners) {
    for (int i = 0; i < 3; ++i) g.corners.push_back(corner{welder.index_of(corners[i]), no_index});
    g.triangle_material.push_back(-1);
}

// `whole` of the header's `count` records are in the file: fewer when it ends early.
load_outcome load_binary(loading::byte_source& source, std::uint32_t count, std::uint32_t whole, model& out) {
    if (count == 0) return failure(out, "contains no triangles");
    if (count > max_triangles)
        return failure(out, "has " + std::to_string(count) + " triangles, more than the limit of " +
                                std::to_string(max_triangles));
    const std::string ended =
        whole < count ? loading::ends_early(std::to_string(whole) + " of " + loading::counted(count, "triangle")) : "";
    if (whole == 0) return failure(out, ended);
    mesh& g = out.geometry;
    // Exactly what the records make; only the welded positions grow as they come.
    g.corners.reserve(std::size_t(3) * whole);
    g.triangle_material.reserve(whole);
    {
        loading::position_welder welder(g.positions);
        loading::byte_window window(source, header_size, binary_size_for(whole));
        for (std::uint32_t t = 0; t < whole;) {
            if (!window.fill(record_size)) break;  // the file could not be read on: load_model_file says so
            const std::uint32_t records =
                std::min<std::uint32_t>(static_cast<std::uint32_t>(window.available() / record_size), whole - t);
            const unsigned char* record = window.data();
            for (std::uint32_t r = 0; r < records; ++r, record += record_size) {
                glm::vec3 corners[3];
                // 12 bytes of normal first, ignored: normals come from the geometry.
                for (int i = 0; i < 3; ++i) {
                    const unsigned char* p = record + 12 + 12 * i;
                    corners[i] = glm::vec3(read_float(p), read_float(p + 4), read_float(p + 8));
                }
                add_triangle(g, welder, corners);
            }
            window.consume(std::size_t(records) * record_size);
            t += records;
        }
    }  // the welder's table goes before the finishing step allocates
    return loading::finish_model(out, ended);
}

class ascii_reader {
public:
    ascii_reader(loading::byte_source& source, model& out)
        : window_(source, 0, source.size()), cursor_(window_), out_(out), welder_(out.geometry.positions) {}

    load_outcome read() {
        // "solid" and the solid's name, sometimes written without a blank between.
        if (!loading::starts_with_ignoring_case(cursor_.next(), "solid")) return error_here("does not begin with 'solid'");
        cursor_.skip_rest_of_line();
        for (;;) {
            const std::string_view token = cursor_.next();
            if (token.empty()) break;  // a missing last "endsolid" is forgiven
            if (loading::equals_ignoring_case(token, "facet")) {
                if (!read_facet()) return outcome_;
            } else if (loading::equals_ignoring_case(token, "endsolid")) {
                cursor_.skip_rest_of_line();
                if (cursor_.at_end()) break;
                if (!keyword("solid")) return unexpected(token_, "'solid' after 'endsolid'");
                cursor_.skip_rest_of_line();
            } else {
                return unexpected(token, "'facet' or 'endsolid'");
            }
        }
        if (out_.geometry.corners.empty()) return failure(out_, "contains no triangles");
        welder_.release();
        return loading::finish_model(out_, {});
    }

private:
    bool keyword(std::string_view word) {
        token_ = cursor_.next();
        return loading::equals_ignoring_case(token_, word);
    }

    // facet [normal x y z] outer loop vertex... endloop endfacet
    bool read_facet() {
        std::string_view token = cursor_.next();
        if (loading::equals_ignoring_case(token, "normal")) {
            for (int i = 0; i < 3; ++i) cursor_.next();
            token = cursor_.next();
        }
        if (!loading::equals_ignoring_case(token, "outer")) return fail(unexpected(token, "'outer loop'"));
        if (!keyword("loop")) return fail(unexpected(token_, "'loop'"));
        polygon_.clear();
        for (;;) {
            token = cursor_.next();
            if (loading::equals_ignoring_case(token, "endloop")) break;
            if (!loading::equals_ignoring_case(token, "vertex")) return fail(unexpected(token, "'vertex' or 'endloop'"));
            glm::vec3 p;
            for (int i = 0; i < 3; ++i) {
                const std::string_view number = cursor_.next();
                double value = 0;
                if (!loading::parse_number(number, value)) return fail(unexpected(number, "a number"));
                p[i] = static_cast<float>(value);
            }
            // A facet is a triangle; a few writers put polygons here, kept as a fan.
            if (polygon_.size() >= 1024) return fail(error_here("has a facet with more than 1024 vertices"));
            polygon_.push_back(p);
        }
        if (polygon_.size() < 3) return fail(error_here("has a facet with fewer than 3 vertices"));
        if (!keyword("endfacet")) return fail(unexpected(token_, "'endfacet'"));
        mesh& g = out_.geometry;
        if (g.triangle_count() + polygon_.size() - 2 > max_triangles)
            return fail(failure(out_, "has more than the limit of " + std::to_string(max_triangles) + " triangles"));
        for (std::size_t i = 1; i + 1 < polygon_.size(); ++i) {
            const glm::vec3 triangle[3] = {polygon_[0], polygon_[i], polygon_[i + 1]};
            add_triangle(g, welder_, triangle);
        }
        return true;
    }

    bool fail(load_outcome outcome) {
        outcome_ = std::move(outcome);
        return false;
    }

    load_outcome error_here(const std::string& what) {
        return failure(out_, "line " + std::to_string(cursor_.line()) + ": " + what);
    }

    load_outcome unexpected(std::string_view token, const char* expected) {
        // The text ends before the facet does, or its last token, with nothing
        // after it, is cut off ("endfac", "1.5e"): the whole facets before are kept.
        const std::size_t triangles = out_.geometry.triangle_count();
        if ((token.empty() || cursor_.offset() == cursor_.end()) && triangles > 0) {
            welder_.release();
            return loading::finish_model(out_, loading::ends_early(loading::counted(triangles, "triangle")));
        }
        if (token.empty()) return failure(out_, "ends early, where " + std::string(expected) + " should follow");
        return error_here("expected " + std::string(expected) + ", found " + loading::quoted(token));
    }

    loading::byte_window window_;
    loading::token_stream cursor_;
    model& out_;
    loading::position_welder welder_;
    std::string_view token_;
    std::vector<glm::vec3> polygon_;
    load_outcome outcome_;
};

}  // namespace

load_outcome load_stl(loading::byte_source& source, model& out) {
    return loading::guarded(out, [&]() -> load_outcome {
        out = model{};
        const std::uint64_t size = source.size();
        if (size == 0) return failure(out, "is empty");
        // What tells binary from text is at the start, and in the size.
        unsigned char head[512];
        const std::size_t head_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof head));
        if (!source.read(0, head, head_size)) return failure(out, "could not be read whole");
        const std::uint32_t count = size >= header_size ? loading::read_u32_le(head + 80) : 0;
        if (size >= header_size && binary_size_for(count) == size) return load_binary(source, count, count, out);
        if (looks_like_text(head, head_size)) {
            if (begins_with_solid(source)) return ascii_reader(source, out).read();
            return failure(out, "is text but not an ASCII STL, which begins with 'solid'");
        }
        // Neither: say what is wrong with it as a binary file.
        if (size < header_size)
            return failure(out, "is too short for a binary STL (" + std::to_string(size) +
                                    " bytes) and is not an ASCII STL");
        if (count > max_triangles)
            return failure(out, "claims " + std::to_string(count) + " triangles in its header, more than the limit of " +
                                    std::to_string(max_triangles));
        if (binary_size_for(count) > size)
            return load_binary(source, count, static_cast<std::uint32_t>((size - header_size) / record_size), out);
        return failure(out, "has " + std::to_string(size - binary_size_for(count)) + " bytes too many for " +
                                loading::counted(count, "triangle"));
    });
}

load_outcome load_stl(const unsigned char* bytes, std::size_t size, model& out) {
    loading::byte_source source(bytes, bytes ? size : 0);
    return load_stl(source, out);
}

}  // namespace engine
