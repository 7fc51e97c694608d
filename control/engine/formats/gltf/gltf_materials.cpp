#include "control/engine/formats/gltf/gltf_materials.h"

#include <algorithm>
#include <cmath>

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
    for (const tinygltf::Material& source : file.parsed.materials) {
        material m;
        m.name = source.name;
        const tinygltf::PbrMetallicRoughness& pbr = source.pbrMetallicRoughness;
        glm::vec3 base = colour_of(pbr.baseColorFactor);
        m.opacity = unit(number_or(pbr.baseColorFactor, 3, 1.0));
        int base_texture = pbr.baseColorTexture.index;
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
            m.occlusion_texture = textures.use(source.occlusionTexture.index, m.occlusion_wrap_u, m.occlusion_wrap_v);
            m.occlusion_strength = unit(source.occlusionTexture.strength);
            m.normal_texture = textures.use(source.normalTexture.index, m.normal_wrap_u, m.normal_wrap_v);
            // Beyond a scale of a thousand the normal lies in the surface anyway.
            const double scale = source.normalTexture.scale;
            m.normal_scale = std::isfinite(scale) ? static_cast<float>(std::clamp(scale, -1e3, 1e3)) : 1.0f;
        }
        m.diffuse_texture = textures.use(base_texture, m.wrap_u, m.wrap_v);
        texture_wrap emissive_u = m.wrap_u, emissive_v = m.wrap_v;
        m.emissive = linear_to_srgb(glm::vec3(unit(number_or(source.emissiveFactor, 0, 0.0)),
                                              unit(number_or(source.emissiveFactor, 1, 0.0)),
                                              unit(number_or(source.emissiveFactor, 2, 0.0))));
        if (m.emissive != glm::vec3(0.0f))
            m.emissive_texture = textures.use(source.emissiveTexture.index, emissive_u, emissive_v);
        if (m.diffuse_texture < 0) m.wrap_u = emissive_u, m.wrap_v = emissive_v;
        m.alpha = source.alphaMode == "MASK" ? alpha_use::mask : source.alphaMode == "BLEND" ? alpha_use::blend : alpha_use::opaque;
        m.alpha_cutoff = std::isfinite(source.alphaCutoff) ? static_cast<float>(source.alphaCutoff) : 0.5f;
        m.sides = source.doubleSided ? sides_shown::both : sides_shown::front;
        m.unlit = source.extensions.count("KHR_materials_unlit") > 0;
        if (m.unlit) m.diffuse = linear_to_srgb(base);  // shown as it is
        out.materials.push_back(std::move(m));
    }
    return textures.problems();
}

}  // namespace engine::gltf
