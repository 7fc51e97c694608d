// glTF files built in tests with nlohmann's JSON, independent of the reader
// under test: accessors, a quad mesh, materials, textures and nodes, the one
// buffer embedded as a data: URI or as a GLB's binary chunk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace gltf_builder {

using nlohmann::json;

inline std::string base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}


// The binary container as the glTF 2.0 format lays it out: a header, the
// JSON chunk padded with blanks, the binary chunk padded with zeros.
inline std::string glb_container(std::string json, std::string binary) {
    while (json.size() % 4) json += ' ';
    while (binary.size() % 4) binary += '\0';
    std::string out;
    auto u32 = [&](std::size_t v) {
        for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
    };
    out += "glTF";
    u32(2);
    u32(12 + 8 + json.size() + 8 + binary.size());
    u32(json.size());
    out += "JSON" + json;
    u32(binary.size());
    out += std::string("BIN\0", 4) + binary;
    return out;
}

// A glTF file built up here, its one buffer embedded as a data: URI.
struct built_file {
    json doc = {{"asset", {{"version", "2.0"}}}};
    std::string buffer;

    int accessor(const std::string& bytes, int component_type, const char* type, std::size_t count) {
        while (buffer.size() % 4) buffer += '\0';
        doc["bufferViews"].push_back({{"buffer", 0}, {"byteOffset", buffer.size()}, {"byteLength", bytes.size()}});
        buffer += bytes;
        doc["accessors"].push_back({{"bufferView", doc["bufferViews"].size() - 1},
                                    {"componentType", component_type},
                                    {"type", type},
                                    {"count", count}});
        return static_cast<int>(doc["accessors"].size()) - 1;
    }

    template <class T>
    static std::string bytes_of(const std::vector<T>& values) {
        return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    }

    // A 2 x 2 quad in the XY plane facing +Z, its texture's top left at (-1,
    // 1); with `colour`, a COLOR_0 of that RGB at every corner; with
    // `texcoords1` (a u, v pair for each corner, counter-clockwise from the
    // bottom left), a TEXCOORD_1.
    int quad_mesh(int material, const std::vector<float>& colour = {}, const std::vector<float>& texcoords1 = {}) {
        const int positions = accessor(bytes_of(std::vector<float>{-1, -1, 0, 1, -1, 0, 1, 1, 0, -1, 1, 0}), 5126, "VEC3", 4);
        const int texcoords = accessor(bytes_of(std::vector<float>{0, 1, 1, 1, 1, 0, 0, 0}), 5126, "VEC2", 4);
        const int indices = accessor(bytes_of(std::vector<std::uint16_t>{0, 1, 2, 0, 2, 3}), 5123, "SCALAR", 6);
        json attributes = {{"POSITION", positions}, {"TEXCOORD_0", texcoords}};
        if (!colour.empty()) {
            std::vector<float> corners;
            for (int k = 0; k < 4; ++k) corners.insert(corners.end(), colour.begin(), colour.end());
            attributes["COLOR_0"] = accessor(bytes_of(corners), 5126, "VEC3", 4);
        }
        if (!texcoords1.empty()) attributes["TEXCOORD_1"] = accessor(bytes_of(texcoords1), 5126, "VEC2", 4);
        doc["meshes"].push_back(
            {{"primitives", {{{"attributes", attributes}, {"indices", indices}, {"material", material}}}}});
        return static_cast<int>(doc["meshes"].size()) - 1;
    }

    // A lit material: base colour, no metal, fully rough (no highlight).
    int matte_material(std::vector<double> colour) {
        doc["materials"].push_back(
            {{"pbrMetallicRoughness", {{"baseColorFactor", colour}, {"metallicFactor", 0.0}, {"roughnessFactor", 1.0}}}});
        return static_cast<int>(doc["materials"].size()) - 1;
    }

    int unlit_material(std::vector<double> colour, int texture = -1) {
        json m = {{"pbrMetallicRoughness", {{"baseColorFactor", colour}, {"metallicFactor", 0.0}}},
                  {"extensions", {{"KHR_materials_unlit", json::object()}}}};
        if (texture >= 0) m["pbrMetallicRoughness"]["baseColorTexture"] = {{"index", texture}};
        doc["extensionsUsed"] = {"KHR_materials_unlit"};
        doc["materials"].push_back(m);
        return static_cast<int>(doc["materials"].size()) - 1;
    }

    int texture(const std::string& png_bytes) {
        doc["images"].push_back({{"uri", "data:image/png;base64," + base64(png_bytes)}});
        doc["samplers"] = {{{"magFilter", 9728}, {"minFilter", 9728}}};
        doc["textures"].push_back({{"source", doc["images"].size() - 1}, {"sampler", 0}});
        return static_cast<int>(doc["textures"].size()) - 1;
    }

    // A picture held in a buffer view, as a GLB holds its pictures.
    int texture_in_buffer(const std::string& png_bytes) {
        while (buffer.size() % 4) buffer += '\0';
        doc["bufferViews"].push_back({{"buffer", 0}, {"byteOffset", buffer.size()}, {"byteLength", png_bytes.size()}});
        buffer += png_bytes;
        doc["images"].push_back({{"bufferView", doc["bufferViews"].size() - 1}, {"mimeType", "image/png"}});
        doc["textures"].push_back({{"source", doc["images"].size() - 1}});
        return static_cast<int>(doc["textures"].size()) - 1;
    }

    int node(json n) {
        doc["nodes"].push_back(std::move(n));
        return static_cast<int>(doc["nodes"].size()) - 1;
    }

    std::string text() {
        doc["buffers"] = {{{"byteLength", buffer.size()}, {"uri", "data:application/octet-stream;base64," + base64(buffer)}}};
        return doc.dump();
    }

    // The file as a GLB, its buffer the binary chunk.
    std::string glb() {
        doc["buffers"] = {{{"byteLength", buffer.size()}}};
        return glb_container(doc.dump(), buffer);
    }
};

}  // namespace gltf_builder
