#include "control/engine/formats/gltf/gltf_materials.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "control/engine/files/file_paths.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/srgb.h"

namespace engine::gltf {

namespace {

double number_or(const std::vector<double>& values, std::size_t i, double fallback) {
    return i < values.size() && std::isfinite(values[i]) ? values[i] : fallback;
}

float unit(double value) { return static_cast<float>(std::clamp(std::isfinite(value) ? value : 0.0, 0.0, 1.0)); }

texture_wrap wrap_of(int mode) {
    switch (mode) {
        case TINYGLTF_TEXTURE_WRAP_CLAMP_TO_EDGE: return texture_wrap::clamp;
        case TINYGLTF_TEXTURE_WRAP_MIRRORED_REPEAT: return texture_wrap::mirror;
        default: return texture_wrap::repeat;
    }
}

// What a picture is called in a message: its file name (the whole name where
// the name itself is refused), or its place in the file.
std::string picture_name(const tinygltf::Image& image, std::size_t index) {
    if (!image.uri.empty() && image.uri.compare(0, 5, "data:") != 0) {
        const std::string name = loading::percent_decoded(image.uri);
        return loading::refusal_of(name).empty() ? loading::file_name_of(name) : name;
    }
    return "embedded picture " + std::to_string(index);
}

class texture_table {
public:
    texture_table(document& file, model& out) : file_(file), out_(out), slot_(file.pictures.size(), unused) {}

    // The model's texture for a glTF texture index, or -1; sets the wraps
    // from the texture's sampler.
    int use(int texture, texture_wrap& wrap_u, texture_wrap& wrap_v) {
        const tinygltf::Model& g = file_.parsed;
        if (texture < 0 || static_cast<std::size_t>(texture) >= g.textures.size()) return -1;
        const tinygltf::Texture& t = g.textures[static_cast<std::size_t>(texture)];
        if (t.sampler >= 0 && static_cast<std::size_t>(t.sampler) < g.samplers.size()) {
            wrap_u = wrap_of(g.samplers[static_cast<std::size_t>(t.sampler)].wrapS);
            wrap_v = wrap_of(g.samplers[static_cast<std::size_t>(t.sampler)].wrapT);
        }
        if (t.source < 0 || static_cast<std::size_t>(t.source) >= slot_.size()) return -1;
        std::size_t image = static_cast<std::size_t>(t.source);
        if (file_.same_as[image] >= 0) image = static_cast<std::size_t>(file_.same_as[image]);
        if (slot_[image] == unused) {
            if (file_.pictures[image].empty()) {
                slot_[image] = missing;
                note_problem(image);
            } else {
                slot_[image] = static_cast<int>(out_.textures.size());
                out_.textures.push_back(std::move(file_.pictures[image]));
            }
        }
        return slot_[image] >= 0 ? slot_[image] : -1;
    }

    std::string problems() const {
        std::string text = first_problem_;
        if (unreadable_ > 1) text += " (and " + loading::counted(unreadable_ - 1, "more texture") + " not read)";
        return text;
    }

private:
    static constexpr int unused = -2, missing = -1;

    void note_problem(std::size_t image) {
        if (unreadable_++ > 0) return;
        const std::string& why = file_.picture_problems[image];
        first_problem_ = "texture " + picture_name(file_.parsed.images[image], image) + " " +
                         (why.empty() ? "could not be opened (missing or not readable)" : why);
    }

    document& file_;
    model& out_;
    std::vector<int> slot_;  // per image: the model's texture, or unused / missing
    std::size_t unreadable_ = 0;
    std::string first_problem_;
};

// A member of a JSON object, or a null value where `object` is no object or
// lacks it (tinygltf's own Get insists on an object).
const tinygltf::Value& member(const tinygltf::Value& object, const char* key) {
    static const tinygltf::Value none;
    return object.IsObject() && object.Has(key) ? object.Get(key) : none;
}

// Where texture references read their pictures: the set of texture
// coordinates each names, and the KHR_texture_transform it may carry.
class placement_reader {
public:
    // glTF's uv' = T R S uv (offset, then rotation counter-clockwise as the
    // picture is seen, then scale) over coordinates whose v runs down the
    // picture, while the mesh holds 1 - v: the transform as the mesh reads it
    // is F M F, F(u, v) = (u, 1 - v). A part that is not a finite number is
    // left out (offset 0, rotation 0, scale 1).
    texture_transform read(double tex_coord, const tinygltf::Value& transform, const std::string& material) {
        texture_transform out;
        const tinygltf::Value& set_given = member(transform, "texCoord");
        const double set = set_given.IsNumber() ? set_given.GetNumberAsDouble() : tex_coord;
        if (set == 1.0) {
            out.uv_set = 1;
        } else if (set != 0.0 && unknown_sets_++ == 0) {
            first_unknown_set_ = "material " + material + " names texture coordinates TEXCOORD_" +
                                 (std::fabs(set) < 1e9 ? std::to_string(static_cast<long long>(set)) : std::string("?")) +
                                 " for a texture, which the viewer does not read (TEXCOORD_0 read instead)";
        }
        if (!transform.IsObject()) return out;
        const tinygltf::Value &offset = member(transform, "offset"), &scale = member(transform, "scale");
        const double ox = part(offset, 0, 0.0), oy = part(offset, 1, 0.0);
        const double sx = part(scale, 0, 1.0), sy = part(scale, 1, 1.0);
        const tinygltf::Value& turn = member(transform, "rotation");
        const double rotation = turn.IsNumber() && finite_float(turn.GetNumberAsDouble()) ? turn.GetNumberAsDouble() : 0.0;
        const double c = std::cos(rotation), s = std::sin(rotation);
        // glTF's M = [a00 a01 ox; a10 a11 oy] with the rotation's rows (c, s) and (-s, c).
        const double a00 = c * sx, a01 = s * sy, a10 = -s * sx, a11 = c * sy;
        const glm::dvec3 u_row(a00, -a01, a01 + ox), v_row(-a10, a11, 1.0 - a11 - oy);
        if (finite_float(u_row.x) && finite_float(u_row.y) && finite_float(u_row.z) && finite_float(v_row.x) &&
            finite_float(v_row.y) && finite_float(v_row.z))
            out.u_row = glm::vec3(u_row), out.v_row = glm::vec3(v_row);
        return out;
    }

    // Any of tinygltf's texture references (plain, occlusion).
    template <class Info>
    texture_transform read(const Info& info, const std::string& material) {
        return read(info.texCoord, extension_of(info.extensions), material);
    }

    std::string problems() const {
        if (unknown_sets_ <= 1) return first_unknown_set_;
        return first_unknown_set_ + " (and " + loading::counted(unknown_sets_ - 1, "more texture") + " so)";
    }

    static const tinygltf::Value& extension_of(const tinygltf::ExtensionMap& extensions) {
        static const tinygltf::Value none;
        const auto found = extensions.find("KHR_texture_transform");
        return found != extensions.end() ? found->second : none;
    }

private:
    static bool finite_float(double value) { return std::fabs(value) <= std::numeric_limits<float>::max(); }
    static double part(const tinygltf::Value& pair, int i, double fallback) {
        if (!pair.IsArray() || static_cast<std::size_t>(i) >= pair.ArrayLen()) return fallback;
        const tinygltf::Value& v = pair.Get(i);
        return v.IsNumber() && finite_float(v.GetNumberAsDouble()) ? v.GetNumberAsDouble() : fallback;
    }

    std::size_t unknown_sets_ = 0;
    std::string first_unknown_set_;
};

// glTF's colour factors are linear; the model's colours are sRGB-encoded
// display values (srgb.h): worked out in linear light, then encoded.
void set_reflectance(material& m, const glm::vec3& base, double metallic_factor, double roughness_factor) {
    const float metallic = unit(metallic_factor), roughness = unit(roughness_factor);
    m.diffuse = linear_to_srgb(base * (1.0f - 0.5f * metallic));
    const float strength = (1.0f - roughness) * (1.0f - roughness);
    m.specular = linear_to_srgb(strength * glm::mix(glm::vec3(0.5f), base, metallic));
    const float r = std::max(roughness, 0.05f);
    m.shininess = std::min(2.0f / (r * r * r * r) - 2.0f, 1024.0f);
}

glm::vec3 colour_of(const std::vector<double>& factor) {
    return glm::vec3(unit(number_or(factor, 0, 1.0)), unit(number_or(factor, 1, 1.0)), unit(number_or(factor, 2, 1.0)));
}

}  // namespace

std::string convert_materials(document& file, model& out) {
    texture_table textures(file, out);
    placement_reader placements;
    for (const tinygltf::Material& source : file.parsed.materials) {
        material m;
        m.name = source.name;
        const std::string label =
            source.name.empty() ? std::to_string(out.materials.size()) : loading::quoted(source.name, 64);
        const tinygltf::PbrMetallicRoughness& pbr = source.pbrMetallicRoughness;
        glm::vec3 base = colour_of(pbr.baseColorFactor);
        m.opacity = unit(number_or(pbr.baseColorFactor, 3, 1.0));
        int base_texture = pbr.baseColorTexture.index;
        double base_tex_coord = pbr.baseColorTexture.texCoord;
        const tinygltf::Value* base_transform = &placement_reader::extension_of(pbr.baseColorTexture.extensions);
        double metallic = pbr.metallicFactor, roughness = pbr.roughnessFactor;
        // Older exporters describe the surface with specular-glossiness only.
        const auto specular_glossiness = source.extensions.find("KHR_materials_pbrSpecularGlossiness");
        const bool glossiness_only =
            specular_glossiness != source.extensions.end() && specular_glossiness->second.IsObject();
        if (glossiness_only) {
            const tinygltf::Value& e = specular_glossiness->second;
            std::vector<double> diffuse;
            const tinygltf::Value& factor = e.Get("diffuseFactor");
            for (std::size_t i = 0; factor.IsArray() && i < factor.ArrayLen(); ++i)
                diffuse.push_back(factor.Get(static_cast<int>(i)).IsNumber()
                                      ? factor.Get(static_cast<int>(i)).GetNumberAsDouble()
                                      : 1.0);
            base = colour_of(diffuse);
            m.opacity = unit(number_or(diffuse, 3, 1.0));
            const tinygltf::Value& texture = e.Get("diffuseTexture");
            base_texture = texture.IsObject() && texture.Get("index").IsNumber() ? texture.Get("index").GetNumberAsInt() : -1;
            base_tex_coord = member(texture, "texCoord").IsNumber() ? member(texture, "texCoord").GetNumberAsDouble() : 0.0;
            base_transform = &member(member(texture, "extensions"), "KHR_texture_transform");
            const tinygltf::Value& glossiness = e.Get("glossinessFactor");
            metallic = 0.0;
            roughness = 1.0 - (glossiness.IsNumber() ? glossiness.GetNumberAsDouble() : 1.0);
        }
        set_reflectance(m, base, metallic, roughness);
        if (!glossiness_only) {
            m.physical = true;
            m.diffuse = linear_to_srgb(base);
            m.metallic = unit(metallic), m.roughness = unit(roughness);
            m.metal_rough_texture =
                textures.use(pbr.metallicRoughnessTexture.index, m.metal_rough_wrap_u, m.metal_rough_wrap_v);
            if (m.metal_rough_texture >= 0) m.metal_rough_uv = placements.read(pbr.metallicRoughnessTexture, label);
            m.occlusion_texture = textures.use(source.occlusionTexture.index, m.occlusion_wrap_u, m.occlusion_wrap_v);
            if (m.occlusion_texture >= 0) m.occlusion_uv = placements.read(source.occlusionTexture, label);
            m.occlusion_strength = unit(source.occlusionTexture.strength);
            m.normal_texture = textures.use(source.normalTexture.index, m.normal_wrap_u, m.normal_wrap_v);
            if (m.normal_texture >= 0) m.normal_uv = placements.read(source.normalTexture, label);
            // Beyond a scale of a thousand the normal lies in the surface anyway.
            const double scale = source.normalTexture.scale;
            m.normal_scale = std::isfinite(scale) ? static_cast<float>(std::clamp(scale, -1e3, 1e3)) : 1.0f;
        }
        m.diffuse_texture = textures.use(base_texture, m.wrap_u, m.wrap_v);
        if (m.diffuse_texture >= 0) m.diffuse_uv = placements.read(base_tex_coord, *base_transform, label);
        m.emissive = linear_to_srgb(glm::vec3(unit(number_or(source.emissiveFactor, 0, 0.0)),
                                              unit(number_or(source.emissiveFactor, 1, 0.0)),
                                              unit(number_or(source.emissiveFactor, 2, 0.0))));
        if (m.emissive != glm::vec3(0.0f)) {
            m.emissive_texture = textures.use(source.emissiveTexture.index, m.emissive_wrap_u, m.emissive_wrap_v);
            if (m.emissive_texture >= 0) m.emissive_uv = placements.read(source.emissiveTexture, label);
        }
        const auto strength = source.extensions.find("KHR_materials_emissive_strength");
        if (strength != source.extensions.end()) {
            const tinygltf::Value& value = member(strength->second, "emissiveStrength");
            const double given = value.IsNumber() ? value.GetNumberAsDouble() : 1.0;
            // Negative, or not a number a float holds: glTF's default.
            m.emissive_strength = given >= 0.0 && given <= std::numeric_limits<float>::max() ? static_cast<float>(given) : 1.0f;
        }
        m.alpha = source.alphaMode == "MASK" ? alpha_use::mask : source.alphaMode == "BLEND" ? alpha_use::blend : alpha_use::opaque;
        m.alpha_cutoff = std::isfinite(source.alphaCutoff) ? static_cast<float>(source.alphaCutoff) : 0.5f;
        m.sides = source.doubleSided ? sides_shown::both : sides_shown::front;
        m.unlit = source.extensions.count("KHR_materials_unlit") > 0;
        if (m.unlit) m.diffuse = linear_to_srgb(base);  // shown as it is
        out.materials.push_back(std::move(m));
    }
    std::string problems = textures.problems();
    if (!placements.problems().empty()) loading::add_warning(problems, placements.problems());
    return problems;
}

}  // namespace engine::gltf
