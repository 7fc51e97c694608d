// prepare_model: normals split at the crease angle, corners merged into
// shared vertices so that each is transformed and lit once per frame, and
// the surfaces that are open, which show both their sides.
#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>

#include "control/engine/finite.h"
#include "control/engine/render/prepared_model.h"
#include "control/engine/render/renderer.h"  // declares prepare_model
#include "control/engine/render/vertex_tangents.h"

namespace engine {
namespace {

glm::vec3 unit_or_zero(const glm::vec3& v) {
    const float length = glm::length(v);
    return length > 0.0f && std::isfinite(length) ? v / length : glm::vec3(0.0f);
}

// Beyond this many triangles around one position, comparing every pair costs
// too much (a fan of a million triangles): faces are grouped by a seed normal.
constexpr std::size_t pairwise_limit = 64;
constexpr std::size_t cluster_limit = 256;

// The faces around one position: for each corner there, its triangle's
// area-weighted normal and the same at unit length (zero for slivers).
// Worked out position by position rather than kept for the whole model,
// whose triangles may be counted in tens of millions.
struct faces_around {
    std::vector<glm::vec3> weighted;
    std::vector<glm::vec3> unit;
};

struct normal_builder {
    const faces_around& faces;
    float cos_crease;

    // Normals for the corners around one position.
    void smooth(std::vector<glm::vec3>& out) {
        const std::vector<glm::vec3>& weighted = faces.weighted;
        const std::vector<glm::vec3>& unit = faces.unit;
        const std::size_t count = weighted.size();
        out.resize(count);
        if (count <= pairwise_limit) {
            for (std::size_t i = 0; i < count; ++i) {
                const glm::vec3& own = unit[i];
                glm::vec3 sum(0.0f);
                for (std::size_t other = 0; other < count; ++other)
                    if (glm::dot(own, unit[other]) >= cos_crease) sum += weighted[other];
                out[i] = sum;
            }
        } else {
            clustered(out);
        }
        glm::vec3 all(0.0f);
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = unit_or_zero(out[i]);
            if (out[i] == glm::vec3(0.0f)) {
                // A sliver's corner: take the average of everything around it.
                if (all == glm::vec3(0.0f)) {
                    for (const glm::vec3& other : weighted) all += other;
                    all = unit_or_zero(all);
                    if (all == glm::vec3(0.0f)) all = glm::vec3(0.0f, 1.0f, 0.0f);
                }
                out[i] = all;
            }
        }
    }

    void clustered(std::vector<glm::vec3>& out) {
        const std::vector<glm::vec3>& weighted = faces.weighted;
        const std::size_t count = weighted.size();
        struct cluster {
            glm::vec3 seed;
            glm::vec3 sum;
        };
        std::vector<cluster> clusters;
        std::vector<std::uint32_t> member(count);
        for (std::size_t i = 0; i < count; ++i) {
            const glm::vec3& n = faces.unit[i];
            std::size_t chosen = clusters.size();
            float best = -2.0f;
            std::size_t best_index = 0;
            for (std::size_t k = 0; k < clusters.size(); ++k) {
                const float d = glm::dot(clusters[k].seed, n);
                if (d >= cos_crease) {
                    chosen = k;
                    break;
                }
                if (d > best) best = d, best_index = k;
            }
            if (chosen == clusters.size()) {
                if (clusters.size() < cluster_limit)
                    clusters.push_back({n, glm::vec3(0.0f)});
                else
                    chosen = best_index;
            }
            clusters[chosen].sum += weighted[i];
            member[i] = static_cast<std::uint32_t>(chosen);
        }
        for (std::size_t i = 0; i < count; ++i) out[i] = clusters[member[i]].sum;
    }
};

// The model's triangles that can be drawn, by their number among those:
// the list of their numbers in the model, or none when all can be.
struct kept_triangles {
    std::vector<std::uint32_t> listed;
    std::size_t count = 0;
    std::size_t operator()(std::size_t t) const { return listed.empty() ? t : listed[t]; }
};

// Triangles joined into parts through the edges they share (union-find).
class triangle_parts {
public:
    explicit triangle_parts(std::size_t count) : parent_(count) { std::iota(parent_.begin(), parent_.end(), 0u); }
    std::uint32_t root(std::uint32_t t) {
        while (parent_[t] != t) t = parent_[t] = parent_[parent_[t]];
        return t;
    }
    void join(std::uint32_t a, std::uint32_t b) {
        a = root(a), b = root(b);
        if (a != b) parent_[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<std::uint32_t> parent_;
};

// Sets the open flag (see prepared_model), after triangle_material. Each edge is met at its lower
// position, among the corners grouped there. A triangle with two corners at
// one position covers no pixel: it neither joins nor opens a part.
void mark_open_parts(const mesh& g, const kept_triangles& source_triangle,
                     const std::vector<std::uint32_t>& first, const std::vector<std::uint32_t>& grouped,
                     prepared_model& p) {
    const std::size_t kept = source_triangle.count;
    triangle_parts parts(kept);
    std::vector<std::uint8_t> open(kept, 0);
    struct edge_use {
        std::uint32_t other;  // the edge's higher position
        std::uint32_t triangle;
        bool outgoing;  // the triangle runs from the lower position to the higher
    };
    std::vector<edge_use> uses;
    for (std::size_t pos = 0; pos + 1 < first.size(); ++pos) {
        uses.clear();
        for (std::uint32_t i = first[pos]; i < first[pos + 1]; ++i) {
            const std::uint32_t t = grouped[i] / 3, k = grouped[i] % 3;
            const corner* c = &g.corners[3 * source_triangle(t)];
            const std::uint32_t next = c[(k + 1) % 3].position, previous = c[(k + 2) % 3].position;
            if (next == pos || previous == pos || next == previous) continue;
            if (next > pos) uses.push_back({next, t, true});
            if (previous > pos) uses.push_back({previous, t, false});
        }
        std::sort(uses.begin(), uses.end(), [](const edge_use& a, const edge_use& b) { return a.other < b.other; });
        for (std::size_t from = 0, to = 0; from < uses.size(); from = to) {
            while (to < uses.size() && uses[to].other == uses[from].other) ++to;
            const bool paired = to - from == 2 && uses[from].outgoing != uses[from + 1].outgoing;
            for (std::size_t i = from; i < to; ++i) {
                if (!paired) open[uses[i].triangle] = 1;
                parts.join(uses[from].triangle, uses[i].triangle);
            }
        }
    }
    for (std::uint32_t t = 0; t < kept; ++t)
        if (open[t]) open[parts.root(t)] = 1;
    for (std::uint32_t t = 0; t < kept; ++t) {
        bool shows_both_sides = open[parts.root(t)];
        // A material that says which sides show overrides the shape.
        const int material = p.material_of(t);
        if (material >= 0) {
            const sides_shown sides = p.source->materials[static_cast<std::size_t>(material)].sides;
            if (sides != sides_shown::by_shape) shows_both_sides = sides == sides_shown::both;
        }
        if (shows_both_sides) p.triangle_flags[t] |= prepared_model::open_flag;
        p.has_open_surfaces = p.has_open_surfaces || shows_both_sides;
    }
}

// `releasing`: the same model, whose triangles the prepared form takes over
// as they are used (release_triangles), so that they are held once.
void build(const model& m, model* releasing, bool smoothing, float crease_angle_degrees, prepared_model& p) {
    const mesh& g = m.geometry;
    const std::size_t position_count = g.positions.size();
    p.source = &m;
    p.has_vertex_colours = !g.colors.empty() && g.colors.size() == position_count;

    auto usable = [&](std::uint32_t index) { return index < position_count && all_finite(g.positions[index]); };

    // Triangles that can be drawn: indices in range, finite corners.
    kept_triangles source_triangle;
    const std::size_t triangle_count = g.triangle_count();
    auto drawable = [&](std::size_t t) {
        const corner* c = &g.corners[3 * t];
        return usable(c[0].position) && usable(c[1].position) && usable(c[2].position);
    };
    std::size_t kept = 0;
    while (kept < triangle_count && drawable(kept)) ++kept;
    if (kept < triangle_count) {
        std::size_t count = kept;
        for (std::size_t t = kept; t < triangle_count; ++t) count += drawable(t);
        source_triangle.listed.reserve(count);
        for (std::size_t t = 0; t < triangle_count; ++t)
            if (t < kept || drawable(t)) source_triangle.listed.push_back(static_cast<std::uint32_t>(t));
        kept = count;
    }
    source_triangle.count = kept;

    auto weighted_normal = [&](std::size_t t) {
        const corner* c = &g.corners[3 * source_triangle(t)];
        const glm::vec3& a = g.positions[c[0].position];
        const glm::vec3 n = glm::cross(g.positions[c[1].position] - a, g.positions[c[2].position] - a);
        return all_finite(n) ? n : glm::vec3(0.0f);
    };

    // Corners grouped by position (offsets into one array).
    std::vector<std::uint32_t> first(position_count + 1, 0);
    for (std::size_t t = 0; t < kept; ++t)
        for (int k = 0; k < 3; ++k) ++first[g.corners[3 * source_triangle(t) + k].position + 1];
    for (std::size_t i = 0; i < position_count; ++i) first[i + 1] += first[i];
    std::vector<std::uint32_t> grouped(3 * kept);
    {
        std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
        for (std::size_t t = 0; t < kept; ++t)
            for (int k = 0; k < 3; ++k)
                grouped[fill[g.corners[3 * source_triangle(t) + k].position]++] = static_cast<std::uint32_t>(3 * t + k);
    }
    float crease = std::isnan(crease_angle_degrees) ? 60.0f : std::clamp(crease_angle_degrees, 0.0f, 180.0f);
    // A hair of tolerance so that coplanar faces merge at a crease angle of 0.
    faces_around faces;
    normal_builder normals{faces, std::cos(glm::radians(crease)) - 1e-5f};

    auto material_of_source = [&](std::size_t t) {
        const std::size_t source = source_triangle(t);
        const int material = source < g.triangle_material.size() ? g.triangle_material[source] : -1;
        return material >= 0 && static_cast<std::size_t>(material) < m.materials.size() ? material : -1;
    };
    // One material for every triangle (often the default) is kept once.
    p.uniform_material = kept > 0 ? material_of_source(0) : -1;
    std::size_t t = 0;
    while (t < kept && material_of_source(t) == p.uniform_material) ++t;
    if (t < kept) {
        p.triangle_material.resize(kept);
        for (t = 0; t < kept; ++t) p.triangle_material[t] = material_of_source(t);
    }
    if (releasing) std::vector<int>().swap(releasing->geometry.triangle_material);
    p.triangle_flags.assign(kept, 0);
    for (std::size_t t = 0; t < kept; ++t) {
        const std::size_t source = source_triangle(t);
        bool textured = true;
        for (int k = 0; k < 3; ++k) textured = textured && g.corners[3 * source + k].texcoord < g.texcoords.size();
        if (textured) p.triangle_flags[t] |= prepared_model::textured_flag;
    }
    mark_open_parts(g, source_triangle, first, grouped, p);

    const bool file_normals = g.normals.size() == position_count;
    const bool second_set = !g.texcoords1.empty();
    const std::uint32_t none = no_index;
    // Each corner's vertex: in the prepared form's triangles, or, releasing,
    // in the corner's texture coordinate, which nothing reads once the
    // corner's own position has been worked through. The triangles are then
    // made from the corners after the grouping arrays are gone.
    if (!releasing) p.triangles.assign(3 * kept, 0);
    auto set_vertex = [&](std::uint32_t id, std::uint32_t vertex) {
        if (releasing)
            releasing->geometry.corners[3 * source_triangle(id / 3) + id % 3].texcoord = vertex;
        else
            p.triangles[id] = vertex;
    };
    p.vertices.reserve(position_count + position_count / 4);
    std::vector<std::uint32_t> around;
    std::vector<glm::vec3> corner_normals;
    for (std::size_t pos = 0; pos < position_count; ++pos) {
        around.assign(grouped.begin() + first[pos], grouped.begin() + first[pos + 1]);
        if (around.empty()) continue;
        faces.weighted.resize(around.size());
        faces.unit.resize(around.size());
        for (std::size_t i = 0; i < around.size(); ++i) {
            faces.weighted[i] = weighted_normal(around[i] / 3);
            faces.unit[i] = unit_or_zero(faces.weighted[i]);
        }
        if (smoothing) {
            // The file's own normal where it gives one; the angle between
            // faces decides elsewhere.
            const glm::vec3 given = file_normals ? unit_or_zero(g.normals[pos]) : glm::vec3(0.0f);
            if (given != glm::vec3(0.0f))
                corner_normals.assign(around.size(), given);
            else
                normals.smooth(corner_normals);
        } else {
            corner_normals.resize(around.size());
            for (std::size_t i = 0; i < around.size(); ++i) {
                const glm::vec3& n = faces.unit[i];
                corner_normals[i] = n == glm::vec3(0.0f) ? glm::vec3(0.0f, 1.0f, 0.0f) : n;
            }
        }
        const std::size_t own_first = p.vertices.size();
        for (std::size_t i = 0; i < around.size(); ++i) {
            const std::uint32_t id = around[i];
            const std::size_t t = id / 3;
            const corner& c = g.corners[3 * source_triangle(t) + id % 3];
            render_vertex v;
            v.position = static_cast<std::uint32_t>(pos);
            v.normal = corner_normals[i];
            if (c.texcoord < g.texcoords.size()) v.texcoord = c.texcoord;
            v.material = p.material_of(t);
            const glm::vec2 uv = p.texcoord_of(v), uv1 = p.texcoord1_of(v);
            std::size_t found = p.vertices.size();
            for (std::size_t k = own_first; k < p.vertices.size(); ++k) {
                const render_vertex& e = p.vertices[k];
                if (e.normal == v.normal && p.texcoord_of(e) == uv && e.material == v.material &&
                    (!second_set || p.texcoord1_of(e) == uv1)) {
                    found = k;
                    break;
                }
            }
            if (found == p.vertices.size()) {
                p.vertices.push_back(v);
                if (p.has_vertex_colours) p.vertex_colours.push_back(g.colors[pos]);
            }
            set_vertex(id, static_cast<std::uint32_t>(found));
        }
    }
    // Given back before the vertices are copied to their final size below,
    // when the copy would otherwise make the peak.
    std::vector<std::uint32_t>().swap(grouped);
    std::vector<std::uint32_t>().swap(first);

    // The first vertex of each position (vertices come position by position).
    std::vector<std::uint32_t> position_vertex(position_count, none);
    for (std::size_t v = p.vertices.size(); v-- > 0;) position_vertex[p.vertices[v].position] = static_cast<std::uint32_t>(v);

    // Positions that only lines and points use get an unlit vertex.
    auto vertex_of = [&](std::uint32_t pos) -> std::uint32_t {
        if (!usable(pos)) return none;
        if (position_vertex[pos] == none) {
            render_vertex v;
            v.position = pos;
            position_vertex[pos] = static_cast<std::uint32_t>(p.vertices.size());
            p.vertices.push_back(v);
            if (p.has_vertex_colours) p.vertex_colours.push_back(g.colors[pos]);
        }
        return position_vertex[pos];
    };
    for (std::size_t i = 0; i + 1 < g.lines.size(); i += 2) {
        const std::uint32_t a = vertex_of(g.lines[i]);
        const std::uint32_t b = vertex_of(g.lines[i + 1]);
        if (a == none || b == none) continue;
        p.lines.push_back(a);
        p.lines.push_back(b);
    }
    for (std::uint32_t pos : g.points) {
        const std::uint32_t v = vertex_of(pos);
        if (v != none) p.loose_points.push_back(v);
    }
    for (std::size_t pos = 0; pos < position_count; ++pos) {
        if (position_vertex[pos] == none) continue;
        const glm::vec3& q = g.positions[pos];
        if (!p.has_bounds) {
            p.bounds_min = p.bounds_max = q;
            p.has_bounds = true;
        } else {
            p.bounds_min = glm::min(p.bounds_min, q);
            p.bounds_max = glm::max(p.bounds_max, q);
        }
    }

    // What grew as it was found keeps no room to grow: a large model's
    // spare capacity would be held as long as it is shown.
    p.vertices.shrink_to_fit();
    p.vertex_colours.shrink_to_fit();
    if (releasing) {
        p.triangles.resize(3 * kept);
        for (std::size_t t = 0; t < kept; ++t)
            for (int k = 0; k < 3; ++k) p.triangles[3 * t + k] = g.corners[3 * source_triangle(t) + k].texcoord;
        release_triangles(*releasing);
    }
    make_vertex_tangents(p);

    p.texture_has_alpha.resize(m.textures.size());
    for (std::size_t i = 0; i < m.textures.size(); ++i) {
        const picture& texture = m.textures[i];
        // A picture whose alpha is zero throughout carries no alpha at all.
        bool translucent = false, visible = false;
        for (std::uint32_t px : texture.pixels) {
            translucent = translucent || (px >> 24) != 0xFF;
            visible = visible || (px >> 24) != 0;
        }
        p.texture_has_alpha[i] = translucent && visible;
    }
}

// The first vertex of each position: triangles' vertices come position by
// position, and a position only lines or points use has one vertex.
std::vector<std::uint32_t> first_vertex_of_positions(const prepared_model& p) {
    std::vector<std::uint32_t> first(p.source->geometry.positions.size(), no_index);
    for (std::size_t v = p.vertices.size(); v-- > 0;) first[p.vertices[v].position] = static_cast<std::uint32_t>(v);
    return first;
}

}  // namespace

const std::vector<std::uint32_t>& prepared_model::edges() const {
    std::lock_guard<std::mutex> hold(made_on_demand_);
    if (has_edges_) return edges_;
    // Each edge is listed at its lower position, its higher ones sorted
    // there with their repeats dropped (a triangle with two corners at one
    // place gives one edge, not two).
    const std::vector<std::uint32_t> first_vertex = first_vertex_of_positions(*this);
    const std::size_t position_count = first_vertex.size();
    std::vector<std::uint32_t> first(position_count + 1, 0);
    auto each_edge = [&](const auto& visit) {
        for (std::size_t i = 0; i + 2 < triangles.size(); i += 3) {
            const std::uint32_t at[3] = {vertices[triangles[i]].position, vertices[triangles[i + 1]].position,
                                         vertices[triangles[i + 2]].position};
            for (int k = 0; k < 3; ++k) {
                const std::uint32_t a = at[k], b = at[(k + 1) % 3];
                if (a != b) visit(std::min(a, b), std::max(a, b));
            }
        }
    };
    each_edge([&](std::uint32_t low, std::uint32_t) { ++first[low + 1]; });
    for (std::size_t i = 0; i < position_count; ++i) first[i + 1] += first[i];
    std::vector<std::uint32_t> higher(first.back());
    {
        std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
        each_edge([&](std::uint32_t low, std::uint32_t high) { higher[fill[low]++] = high; });
    }
    std::vector<std::uint32_t> made;
    for (std::size_t pos = 0; pos < position_count; ++pos) {
        const auto from = higher.begin() + first[pos], to = higher.begin() + first[pos + 1];
        std::sort(from, to);
        for (auto at = from; at != to; ++at) {
            if (at != from && *at == *(at - 1)) continue;
            made.push_back(first_vertex[pos]);
            made.push_back(first_vertex[*at]);
        }
    }
    made.shrink_to_fit();
    edges_.swap(made);
    has_edges_ = true;
    return edges_;
}

const std::vector<std::uint32_t>& prepared_model::position_dots() const {
    std::lock_guard<std::mutex> hold(made_on_demand_);
    if (has_dots_) return position_dots_;
    std::vector<std::uint32_t> made;
    for (std::uint32_t v : first_vertex_of_positions(*this))
        if (v != no_index) made.push_back(v);
    made.shrink_to_fit();
    position_dots_.swap(made);
    has_dots_ = true;
    return position_dots_;
}

void release_triangles(model& m) {
    std::vector<corner>().swap(m.geometry.corners);
    std::vector<int>().swap(m.geometry.triangle_material);
}

void restore_triangles(model& m, const prepared_model& p) {
    const std::size_t count = p.triangle_count();
    std::vector<corner> corners(3 * count);
    std::vector<int> materials(count);
    for (std::size_t t = 0; t < count; ++t) {
        for (int k = 0; k < 3; ++k) {
            const render_vertex& v = p.vertices[p.triangles[3 * t + k]];
            corners[3 * t + k] = corner{v.position, v.texcoord};
        }
        materials[t] = p.material_of(t);
    }
    m.geometry.corners.swap(corners);
    m.geometry.triangle_material.swap(materials);
}

namespace {

std::shared_ptr<const prepared_model> prepared(const model& m, model* releasing, bool smoothing,
                                               float crease_angle_degrees) {
#if defined(__cpp_exceptions)
    try {
#endif
        auto p = std::make_shared<prepared_model>();
        build(m, releasing, smoothing, crease_angle_degrees, *p);
        return p;
#if defined(__cpp_exceptions)
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
#endif
}

}  // namespace

std::shared_ptr<const prepared_model> prepare_model(const model& m, bool smoothing, float crease_angle_degrees) {
    return prepared(m, nullptr, smoothing, crease_angle_degrees);
}

std::shared_ptr<const prepared_model> prepare_releasing_triangles(model& m, bool smoothing, float crease_angle_degrees) {
    return prepared(m, &m, smoothing, crease_angle_degrees);
}

}  // namespace engine
