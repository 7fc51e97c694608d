// glTF 2.0 (.gltf with its buffers and pictures, or .glb) to a model: the
// scene's node hierarchy walked with each node's transform, every primitive
// of every mesh a node uses turned into the model's triangles, lines and
// points, in the file's units and axes (metres, +Y up). Everything is
// counted and checked before anything is allocated for it.
#include <glm/gtc/quaternion.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "control/engine/files/file_paths.h"
#include "control/engine/formats/finish_model.h"
#include "control/engine/formats/gltf/gltf_accessors.h"
#include "control/engine/formats/gltf/gltf_document.h"
#include "control/engine/formats/gltf/gltf_materials.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/source_loaders.h"
#include "control/engine/srgb.h"

namespace engine {

namespace {

using loading::failure;

// A mesh placed by a node.
struct placed_mesh {
    int mesh;
    glm::mat4 transform;
};

glm::mat4 local_transform(const tinygltf::Node& node) {
    if (node.matrix.size() == 16) {
        glm::dmat4 m;
        for (int i = 0; i < 16; ++i) glm::value_ptr(m)[i] = node.matrix[static_cast<std::size_t>(i)];  // column-major, as glm
        return glm::mat4(m);
    }
    glm::dmat4 m(1.0);
    if (node.translation.size() == 3)
        m = glm::translate(m, glm::dvec3(node.translation[0], node.translation[1], node.translation[2]));
    if (node.rotation.size() == 4) {
        const glm::dquat q(node.rotation[3], node.rotation[0], node.rotation[1], node.rotation[2]);  // w first
        m *= glm::mat4_cast(glm::normalize(q));
    }
    if (node.scale.size() == 3) m = glm::scale(m, glm::dvec3(node.scale[0], node.scale[1], node.scale[2]));
    return glm::mat4(m);
}

// The scene to show (the default, else the first; with none, every node
// that is no other's child) walked depth first. A node met twice means a
// cycle or a node with two parents; both are refused.
bool place_meshes(const tinygltf::Model& file, std::vector<placed_mesh>& placed, std::string& error) {
    const std::size_t node_count = file.nodes.size();
    std::vector<int> roots;
    if (!file.scenes.empty()) {
        const std::size_t scene = file.defaultScene >= 0 && static_cast<std::size_t>(file.defaultScene) < file.scenes.size()
                                      ? static_cast<std::size_t>(file.defaultScene)
                                      : 0;
        roots = file.scenes[scene].nodes;
    } else {
        std::vector<char> child(node_count, 0);
        for (const tinygltf::Node& node : file.nodes)
            for (int c : node.children)
                if (c >= 0 && static_cast<std::size_t>(c) < node_count) child[static_cast<std::size_t>(c)] = 1;
        for (std::size_t i = 0; i < node_count; ++i)
            if (!child[i]) roots.push_back(static_cast<int>(i));
    }
    std::vector<char> met(node_count, 0);
    std::vector<std::pair<int, glm::mat4>> pending;
    for (auto root = roots.rbegin(); root != roots.rend(); ++root) pending.emplace_back(*root, glm::mat4(1.0f));
    while (!pending.empty()) {
        const auto [index, parent] = pending.back();
        pending.pop_back();
        if (index < 0 || static_cast<std::size_t>(index) >= node_count) {
            error = "refers to a node the file does not have";
            return false;
        }
        if (met[static_cast<std::size_t>(index)]++) {
            error = "its node hierarchy has a cycle (node " + std::to_string(index) + " is met twice)";
            return false;
        }
        const tinygltf::Node& node = file.nodes[static_cast<std::size_t>(index)];
        const glm::mat4 world = parent * local_transform(node);
        if (node.mesh >= 0) placed.push_back({node.mesh, world});
        for (auto c = node.children.rbegin(); c != node.children.rend(); ++c) pending.emplace_back(*c, world);
    }
    return true;
}

// What one primitive adds, from its accessors' counts alone.
struct primitive_size {
    std::uint64_t vertices = 0, triangles = 0, line_ends = 0, points = 0;
    // Bytes of floats and indices read from accessors without a buffer view,
    // which hold nothing and read as zeros (sparse ones add a few values).
    std::uint64_t zero_filled = 0;
    bool tangents = false;  // a TANGENT attribute, kept for every position when a normal map uses it
};

// The attributes the viewer reads, with their floats per element at most.
constexpr std::pair<const char*, int> read_attributes[] = {
    {"POSITION", 3}, {"NORMAL", 3}, {"TEXCOORD_0", 2}, {"TEXCOORD_1", 2}, {"COLOR_0", 4}, {"TANGENT", 4}};

primitive_size size_of(const tinygltf::Model& file, const tinygltf::Primitive& p) {
    primitive_size s;
    const auto position = p.attributes.find("POSITION");
    if (position == p.attributes.end()) return s;
    auto without_data = [&](int accessor) {
        return accessor >= 0 && static_cast<std::size_t>(accessor) < file.accessors.size() &&
               file.accessors[static_cast<std::size_t>(accessor)].bufferView < 0;
    };
    for (const auto& [name, floats] : read_attributes) {
        const auto found = p.attributes.find(name);
        if (found != p.attributes.end() && without_data(found->second))
            s.zero_filled += 4 * std::uint64_t(floats) * gltf::element_count(file, found->second);
    }
    if (without_data(p.indices)) s.zero_filled += 4 * std::uint64_t(gltf::element_count(file, p.indices));
    s.vertices = gltf::element_count(file, position->second);
    s.tangents = p.attributes.count("TANGENT") > 0;
    const std::uint64_t n = p.indices >= 0 ? gltf::element_count(file, p.indices) : s.vertices;
    switch (p.mode) {
        case TINYGLTF_MODE_POINTS: s.points = n; break;
        case TINYGLTF_MODE_LINE: s.line_ends = n / 2 * 2; break;
        case TINYGLTF_MODE_LINE_STRIP: s.line_ends = n >= 2 ? 2 * (n - 1) : 0; break;
        case TINYGLTF_MODE_LINE_LOOP: s.line_ends = n >= 2 ? 2 * n : 0; break;
        case TINYGLTF_MODE_TRIANGLE_STRIP:
        case TINYGLTF_MODE_TRIANGLE_FAN: s.triangles = n >= 3 ? n - 2 : 0; break;
        default: s.triangles = n / 3; break;
    }
    return s;
}

std::string where(std::size_t mesh, std::size_t primitive) {
    return "mesh " + std::to_string(mesh) + ", primitive " + std::to_string(primitive);
}

class primitive_reader {
public:
    primitive_reader(const tinygltf::Model& file, model& out) : file_(file), out_(out) {}

    bool add(const placed_mesh& placed, std::string& error) {
        const tinygltf::Mesh& mesh = file_.meshes[static_cast<std::size_t>(placed.mesh)];
        for (std::size_t i = 0; i < mesh.primitives.size(); ++i) {
            std::string why;
            if (!add(mesh.primitives[i], placed.transform, why)) {
                error = where(static_cast<std::size_t>(placed.mesh), i) + ": " + why;
                return false;
            }
        }
        return true;
    }

    bool has_colours() const { return has_colours_; }
    std::size_t dropped_primitives() const { return dropped_primitives_; }
    std::size_t bad_indices() const { return bad_indices_; }

private:
    bool attribute(const tinygltf::Primitive& p, const char* name, const gltf::accepted& kinds, std::size_t vertices,
                   std::vector<float>& values, int& components, std::string& error) {
        values.clear();
        const auto found = p.attributes.find(name);
        if (found == p.attributes.end()) return true;
        std::string why;
        if (!gltf::read_floats(file_, found->second, kinds, values, components, why)) {
            error = std::string(name) + " " + why;
            return false;
        }
        if (values.size() != vertices * static_cast<std::size_t>(components)) {
            error = std::string(name) + " has " + std::to_string(values.size() / components) +
                    " elements where POSITION has " + std::to_string(vertices);
            return false;
        }
        return true;
    }

    bool add(const tinygltf::Primitive& p, const glm::mat4& transform, std::string& error) {
        mesh& g = out_.geometry;
        if (p.attributes.find("POSITION") == p.attributes.end()) {
            ++dropped_primitives_;
            return true;
        }
        int components = 0;
        if (!gltf::read_floats(file_, p.attributes.at("POSITION"), {1u << 3, gltf::float_components}, positions_,
                               components, error)) {
            error = "POSITION " + error;
            return false;
        }
        const std::size_t vertices = positions_.size() / 3;
        int normal_components = 0, texcoord_components = 0, colour_components = 0;
        const gltf::accepted texcoord_kinds = {
            1u << 2, gltf::float_components | gltf::normalised_unsigned_byte | gltf::normalised_unsigned_short};
        if (!attribute(p, "NORMAL", {1u << 3, gltf::float_components}, vertices, normals_, normal_components, error) ||
            !attribute(p, "TEXCOORD_0", texcoord_kinds, vertices, texcoords_, texcoord_components, error) ||
            !attribute(p, "TEXCOORD_1", texcoord_kinds, vertices, texcoords1_, texcoord_components, error) ||
            !attribute(p, "COLOR_0",
                       {1u << 3 | 1u << 4,
                        gltf::float_components | gltf::normalised_unsigned_byte | gltf::normalised_unsigned_short},
                       vertices, colours_, colour_components, error))
            return false;
        // Tangents serve normal maps only: a primitive without one keeps none.
        int tangent_components = 0;
        const bool normal_mapped = p.material >= 0 && static_cast<std::size_t>(p.material) < out_.materials.size() &&
                                   out_.materials[static_cast<std::size_t>(p.material)].normal_texture >= 0;
        tangents_.clear();
        if (normal_mapped &&
            !attribute(p, "TANGENT", {1u << 4, gltf::float_components}, vertices, tangents_, tangent_components, error))
            return false;
        if (p.indices >= 0) {
            if (!gltf::read_indices(file_, p.indices, indices_, error)) {
                error = "its indices " + error.substr(error.rfind("has ", 0) == 0 ? 4 : 0);
                return false;
            }
        } else {
            indices_.resize(vertices);
            for (std::size_t i = 0; i < vertices; ++i) indices_[i] = static_cast<std::uint32_t>(i);
        }

        const std::size_t first = g.positions.size();
        const glm::mat3 normal_transform = glm::transpose(glm::inverse(glm::mat3(transform)));
        const bool mirrored = glm::determinant(glm::mat3(transform)) < 0.0f;
        // Once a primitive gives tangents, every position has one (zero: none given).
        if (!tangents_.empty() || !g.tangents.empty()) g.tangents.resize(first + vertices, glm::vec4(0.0f));
        // The tangent turns as the surface does; a mirroring transform also
        // turns cross(normal, tangent) against the bitangent: w changes sign.
        for (std::size_t i = 0; i < tangents_.size() / 4; ++i) {
            const float* t = &tangents_[4 * i];
            g.tangents[first + i] =
                glm::vec4(glm::mat3(transform) * glm::vec3(t[0], t[1], t[2]), mirrored ? -t[3] : t[3]);
        }
        for (std::size_t i = 0; i < vertices; ++i) {
            const glm::vec4 q = transform * glm::vec4(positions_[3 * i], positions_[3 * i + 1], positions_[3 * i + 2], 1.0f);
            g.positions.emplace_back(q);
            g.normals.push_back(normals_.empty() ? glm::vec3(0.0f)
                                                 : normal_transform * glm::vec3(normals_[3 * i], normals_[3 * i + 1],
                                                                                normals_[3 * i + 2]));
        }
        // Colours are kept per primitive: most files have none.
        coloured_.push_back({first, vertices, p.material, colours_.empty() ? no_index : static_cast<std::uint32_t>(vertex_colours_.size())});
        for (std::size_t i = 0; i < colours_.size(); i += static_cast<std::size_t>(colour_components))
            vertex_colours_.emplace_back(colours_[i], colours_[i + 1], colours_[i + 2]);
        has_colours_ = has_colours_ || !colours_.empty();
        const std::size_t first_texcoord = g.texcoords.size();
        // The second set is held only once some primitive has one; until
        // then, and for primitives without one, the first set stands in for
        // it. A primitive with only a second set has zeros for its first.
        const bool has_texcoords = !texcoords_.empty() || !texcoords1_.empty();
        if (!texcoords1_.empty() && !has_second_set_) g.texcoords1 = g.texcoords, has_second_set_ = true;
        // glTF's texture coordinates run down the picture, the viewer's up it.
        for (std::size_t i = 0; has_texcoords && i < vertices; ++i) {
            const glm::vec2 first_set = texcoords_.empty() ? glm::vec2(0.0f, 1.0f)
                                                           : glm::vec2(texcoords_[2 * i], 1.0f - texcoords_[2 * i + 1]);
            g.texcoords.push_back(first_set);
            if (has_second_set_)
                g.texcoords1.push_back(texcoords1_.empty() ? first_set
                                                           : glm::vec2(texcoords1_[2 * i], 1.0f - texcoords1_[2 * i + 1]));
        }

        const int material = p.material >= 0 && static_cast<std::size_t>(p.material) < out_.materials.size() ? p.material : -1;
        auto good = [&](std::uint32_t index) {
            if (index < vertices) return true;
            ++bad_indices_;
            return false;
        };
        auto triangle = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
            if (!good(a) || !good(b) || !good(c)) return;
            if (mirrored) std::swap(b, c);  // a mirroring transform turns the winding
            for (std::uint32_t k : {a, b, c})
                g.corners.push_back(corner{static_cast<std::uint32_t>(first + k),
                                           has_texcoords ? static_cast<std::uint32_t>(first_texcoord + k) : no_index});
            g.triangle_material.push_back(material);
        };
        auto line = [&](std::uint32_t a, std::uint32_t b) {
            if (!good(a) || !good(b)) return;
            g.lines.push_back(static_cast<std::uint32_t>(first + a));
            g.lines.push_back(static_cast<std::uint32_t>(first + b));
        };
        const std::vector<std::uint32_t>& v = indices_;
        const std::size_t n = v.size();
        switch (p.mode) {
            case TINYGLTF_MODE_POINTS:
                for (std::uint32_t i : v)
                    if (good(i)) g.points.push_back(static_cast<std::uint32_t>(first + i));
                break;
            case TINYGLTF_MODE_LINE:
                for (std::size_t i = 0; i + 1 < n; i += 2) line(v[i], v[i + 1]);
                break;
            case TINYGLTF_MODE_LINE_STRIP:
            case TINYGLTF_MODE_LINE_LOOP:
                for (std::size_t i = 0; i + 1 < n; ++i) line(v[i], v[i + 1]);
                if (p.mode == TINYGLTF_MODE_LINE_LOOP && n >= 2) line(v[n - 1], v[0]);
                break;
            case TINYGLTF_MODE_TRIANGLE_STRIP:
                for (std::size_t i = 0; i + 2 < n; ++i)
                    i % 2 == 0 ? triangle(v[i], v[i + 1], v[i + 2]) : triangle(v[i + 1], v[i], v[i + 2]);
                break;
            case TINYGLTF_MODE_TRIANGLE_FAN:
                for (std::size_t i = 1; i + 1 < n; ++i) triangle(v[i], v[i + 1], v[0]);
                break;
            case TINYGLTF_MODE_TRIANGLES:
            case -1:  // tinygltf's "not given"
                for (std::size_t i = 0; i + 2 < n; i += 3) triangle(v[i], v[i + 1], v[i + 2]);
                break;
            default: error = "has a primitive mode glTF does not define"; return false;
        }
        return true;
    }

public:
    // Vertex colours times each vertex's material colour, for the whole model,
    // when some primitive has colours (the viewer then takes colours from the
    // vertices alone). COLOR_0 is linear, the model's colours sRGB-encoded:
    // multiplied in linear light, then encoded.
    void colour_vertices() {
        if (!has_colours_) return;
        std::vector<glm::vec3>& colours = out_.geometry.colors;
        colours.resize(out_.geometry.positions.size());
        for (const primitive_colours& p : coloured_) {
            const bool own = p.material >= 0 && static_cast<std::size_t>(p.material) < out_.materials.size();
            const glm::vec3 diffuse = own ? out_.materials[static_cast<std::size_t>(p.material)].diffuse : material{}.diffuse;
            const glm::vec3 diffuse_linear = srgb_to_linear(diffuse);
            for (std::size_t i = 0; i < p.count; ++i)
                colours[p.first + i] = p.colours == no_index
                                           ? diffuse
                                           : linear_to_srgb(glm::clamp(vertex_colours_[p.colours + i], 0.0f, 1.0f) *
                                                            diffuse_linear);
        }
    }

private:
    const tinygltf::Model& file_;
    model& out_;
    bool has_colours_ = false;
    bool has_second_set_ = false;  // some primitive so far has TEXCOORD_1
    std::size_t dropped_primitives_ = 0;
    std::size_t bad_indices_ = 0;
    struct primitive_colours {
        std::size_t first, count;  // its positions
        int material;
        std::uint32_t colours;  // where its colours begin in vertex_colours_, or no_index
    };
    std::vector<primitive_colours> coloured_;
    std::vector<glm::vec3> vertex_colours_;
    // Reused from primitive to primitive.
    std::vector<float> positions_, normals_, texcoords_, texcoords1_, colours_, tangents_;
    std::vector<std::uint32_t> indices_;
};

// What a file may unpack to, from the bytes it holds (the file and its
// buffers): accessors without data read as zeros, and meshes placed by many
// nodes, cost nothing in the file and everything in memory. The floors let
// any real file through; beyond them a file must hold a fair part of what it
// makes.
constexpr std::uint64_t zero_filled_floor = std::uint64_t(1) << 20;  // bytes; then 1 per byte held
constexpr std::uint64_t geometry_floor = std::uint64_t(128) << 20;   // bytes; then 64 per byte held
constexpr std::uint64_t geometry_per_byte_held = 64;

// Bytes of the model a primitive's counts make: positions and normals (and tangents),
// triangle corners (with texture coordinates) and materials, line and point indices.
std::uint64_t geometry_bytes(const primitive_size& s) {
    return (s.tangents ? 40 : 24) * s.vertices + 28 * s.triangles + 4 * (s.line_ends + s.points);
}

load_outcome load_document(gltf::document& file, std::size_t file_bytes, model& out) {
    const tinygltf::Model& g = file.parsed;
    const std::string unknown = gltf::first_not_understood(g.extensionsRequired);
    if (!unknown.empty()) return failure(out, "needs the glTF extension " + loading::quoted(unknown, 64) + ", which this viewer does not read");

    std::vector<placed_mesh> placed;
    std::string error;
    if (!place_meshes(g, placed, error)) return failure(out, error);
    if (placed.empty()) return failure(out, "its scene has no meshes to show");
    primitive_size total;
    for (const placed_mesh& p : placed) {
        if (p.mesh < 0 || static_cast<std::size_t>(p.mesh) >= g.meshes.size())
            return failure(out, "a node refers to a mesh the file does not have");
        for (const tinygltf::Primitive& primitive : g.meshes[static_cast<std::size_t>(p.mesh)].primitives) {
            const primitive_size s = size_of(g, primitive);
            total.vertices += s.vertices, total.triangles += s.triangles;
            total.line_ends += s.line_ends, total.points += s.points;
            total.zero_filled += s.zero_filled;
            total.tangents = total.tangents || s.tangents;
            // Checked as the sums grow: a mesh used a million times must not wrap them.
            if (total.triangles > max_triangles)
                return failure(out, "has more than the limit of " + std::to_string(max_triangles) + " triangles");
            if (total.vertices > 3 * std::uint64_t(max_triangles) || total.line_ends + total.points > 3 * std::uint64_t(max_triangles))
                return failure(out, "has more vertices, lines or points than the viewer can hold");
        }
    }
    std::uint64_t held = file_bytes;
    for (const tinygltf::Buffer& buffer : g.buffers) held += buffer.data.size();
    if (total.zero_filled > std::max(zero_filled_floor, held))
        return failure(out, "has accessors without data (read as zeros) for " + loading::byte_size(total.zero_filled) +
                                ", more than a file holding " + loading::byte_size(held) + " may have");
    if (geometry_bytes(total) > std::max(geometry_floor, geometry_per_byte_held * held))
        return failure(out, "would make " + loading::byte_size(geometry_bytes(total)) + " of geometry out of " +
                                loading::byte_size(held) + " of data (meshes placed by many nodes, or accessors without data), " +
                                "more than the viewer unpacks from a file of that size");

    std::string warning = gltf::convert_materials(file, out);
    mesh& m = out.geometry;
    m.positions.reserve(total.vertices);
    m.normals.reserve(total.vertices);
    m.corners.reserve(3 * total.triangles);
    m.triangle_material.reserve(total.triangles);
    m.lines.reserve(total.line_ends);
    m.points.reserve(total.points);
    {
        primitive_reader reader(g, out);
        for (const placed_mesh& p : placed)
            if (!reader.add(p, error)) return failure(out, error);
        reader.colour_vertices();
        if (reader.bad_indices() > 0)
            loading::add_warning(warning, "left out what uses " + loading::counted(reader.bad_indices(), "index value") +
                                              " beyond the vertices of its primitive");
        if (reader.dropped_primitives() > 0)
            loading::add_warning(warning, "left out " + loading::counted(reader.dropped_primitives(), "primitive") +
                                              " without positions");
    }
    // Every accessor is read: the buffers (a GLB's binary chunk) and the
    // reader's arrays go before the finishing step allocates.
    std::vector<tinygltf::Buffer>().swap(file.parsed.buffers);
    return loading::finish_model(out, std::move(warning));
}

}  // namespace

load_outcome load_gltf(const unsigned char* bytes, std::size_t size, const std::string& base_folder, model& out,
                       std::size_t pixel_limit) {
    return loading::guarded(out, [&]() -> load_outcome {
        out = model{};
        if (bytes == nullptr || size == 0) return failure(out, "is empty");
        gltf::document file;
        std::string error;
        if (!gltf::parse(bytes, size, base_folder, pixel_limit, file, error)) return failure(out, error);
        return load_document(file, size, out);
    });
}

load_outcome load_gltf_file(loading::byte_source& source, const std::string& base_folder, model& out) {
    return loading::guarded(out, [&]() -> load_outcome {
        out = model{};
        if (source.size() == 0) return failure(out, "is empty");
        gltf::document file;
        std::string error;
        if (!gltf::parse_file(source, base_folder, max_picture_pixels, file, error)) return failure(out, error);
        return load_document(file, static_cast<std::size_t>(source.size()), out);
    });
}

}  // namespace engine
