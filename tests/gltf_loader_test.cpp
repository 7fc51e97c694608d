// glTF 2.0 as the viewer shows it: Debian's assimp test models and files
// built here with nlohmann's JSON and stb's PNG writer (independent of the
// reader under test), drawn by the engine's renderer.
#include <gtest/gtest.h>

#include <sanitizer/allocator_interface.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

#include "control/engine/files/file_paths.h"
#include "control/engine/formats/model_loaders.h"
#include "tests/fuzz/fuzz_checks.h"
#include "tests/gltf_builder.h"
#include "control/engine/render/prepared_model.h"
#include "tests/render_canvas.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

// The heap held at once, counted through AddressSanitizer's allocation hooks
// (the native tests always run under it) from the program's start.
namespace heap {
std::atomic<long long> live{0}, peak{0};
// The peak from here on starts at what is held now.
void reset_peak() { peak = live.load(); }
}  // namespace heap

extern "C" void __sanitizer_malloc_hook(const volatile void*, std::size_t size) {
    const long long now = heap::live += static_cast<long long>(size);
    long long seen = heap::peak.load();
    while (now > seen && !heap::peak.compare_exchange_weak(seen, now)) {
    }
}

extern "C" void __sanitizer_free_hook(const volatile void* block) {
    if (__sanitizer_get_ownership(block)) heap::live -= static_cast<long long>(__sanitizer_get_allocated_size(block));
}

namespace {

using namespace engine;
using namespace render_canvas;
using nlohmann::json;
using gltf_builder::built_file;
namespace fs = std::filesystem;

const std::string assimp = "/usr/share/assimp/models/";

// An RGBA picture as a PNG, rows top-down.
std::string png(int width, int height, const std::vector<std::uint8_t>& rgba) {
    std::string out;
    stbi_write_png_to_func([](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
    }, &out, width, height, 4, rgba.data(), width * 4);
    return out;
}

model load_text(const std::string& text) {
    model m;
    const load_outcome outcome =
        load_gltf(reinterpret_cast<const unsigned char*>(text.data()), text.size(), "", m);
    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(outcome.warning, "");
    return m;
}

camera straight_on(glm::vec3 target, float distance) {
    camera c;
    c.target = target;
    c.distance = distance;
    c.yaw_degrees = 0.0f;
    c.pitch_degrees = 0.0f;
    return c;
}

view_settings on_blue() {
    view_settings s;
    s.background = 0x00FF0000;  // COLORREF blue
    s.bilinear_textures = false;
    return s;
}

constexpr std::uint32_t red_pixel = 0xFF0000, green_pixel = 0x00FF00, blue_pixel = 0x0000FF, white_pixel = 0xFFFFFF;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A scratch folder of the test's own, removed at the end.
struct scratch_folder {
    fs::path path = fs::temp_directory_path() / ("quelto-gltf-" + std::to_string(::getpid()));
    scratch_folder() { fs::create_directories(path); }
    ~scratch_folder() { fs::remove_all(path); }
};

TEST(GltfFiles, SeparateEmbeddedAndBinaryFormsOfOneModelDrawTheSamePicture) {
    // The separate form's sampler mirrors and clamps where the others repeat
    // (its texture coordinates reach u = 6): a copy that repeats too.
    scratch_folder copy;
    const std::string separate = assimp + "glTF2/BoxTextured-glTF/";
    json doc = json::parse(read_file(separate + "BoxTextured.gltf"));
    doc["samplers"][0]["wrapS"] = doc["samplers"][0]["wrapT"] = 10497;
    std::ofstream(copy.path / "BoxTextured.gltf") << doc.dump();
    for (const char* part : {"BoxTextured0.bin", "CesiumLogoFlat.png"})
        fs::copy_file(separate + part, copy.path / part);

    const view_settings s = on_blue();
    std::vector<canvas> pictures;
    for (const std::string& form :
         {(copy.path / "BoxTextured.gltf").string(), assimp + "glTF2/BoxTextured-glTF-Embedded/BoxTextured.gltf",
          assimp + "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", separate + "BoxTextured.gltf"}) {
        SCOPED_TRACE(form);
        model m;
        const load_outcome outcome = load_model_file(form, m);
        ASSERT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(outcome.warning, "");
        ASSERT_EQ(m.textures.size(), 1u);
        pictures.push_back(draw(&m, s, frame_bounds(m.bounds_min, m.bounds_max)));
    }
    auto differing = [&](std::size_t a, std::size_t b) {
        std::size_t count = 0;
        for (std::size_t i = 0; i < pictures[a].pixels.size(); ++i) count += pictures[a].pixels[i] != pictures[b].pixels[i];
        return count;
    };
    EXPECT_GT(std::count_if(pictures[0].pixels.begin(), pictures[0].pixels.end(), [](std::uint32_t p) { return p != blue_pixel; }),
              5000);
    EXPECT_EQ(differing(0, 1), 0u);
    EXPECT_EQ(differing(0, 2), 0u);
    EXPECT_GT(differing(0, 3), 1000u) << "the original separate form's mirrored wrap shows";
}

// Triangles, lines and points as the file's scene and accessors count them,
// read here with nlohmann's JSON.
TEST(GltfFiles, PrimitivesCountAsTheFilesOwnAccessorsSay) {
    std::vector<std::string> files = {"glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb",
                                      "glTF2/ClearCoat-glTF/ClearCoatTest.gltf"};
    for (int i = 0; i <= 15; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "glTF2/glTF-Asset-Generator/Mesh_PrimitiveMode/Mesh_PrimitiveMode_%02d.gltf", i);
        files.push_back(name);
    }
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::string bytes = read_file(assimp + file);
        if (bytes.compare(0, 4, "glTF") == 0) {
            std::uint32_t json_length = 0;
            std::memcpy(&json_length, bytes.data() + 12, 4);
            bytes = bytes.substr(20, json_length);
        }
        const json doc = json::parse(bytes);
        std::size_t triangles = 0, lines = 0, points = 0;
        std::vector<int> pending = doc["scenes"][doc.value("scene", 0)]["nodes"].get<std::vector<int>>();
        while (!pending.empty()) {
            const json& node = doc["nodes"][pending.back()];
            pending.pop_back();
            for (int child : node.value("children", std::vector<int>{})) pending.push_back(child);
            if (!node.contains("mesh")) continue;
            for (const json& p : doc["meshes"][node["mesh"].get<int>()]["primitives"]) {
                const int counted = p.contains("indices") ? p["indices"].get<int>() : p["attributes"]["POSITION"].get<int>();
                const std::size_t n = doc["accessors"][counted]["count"];
                switch (p.value("mode", 4)) {
                    case 0: points += n; break;
                    case 1: lines += n / 2; break;
                    case 2: lines += n; break;
                    case 3: lines += n - 1; break;
                    case 4: triangles += n / 3; break;
                    default: triangles += n - 2; break;
                }
            }
        }
        model m;
        const load_outcome outcome = load_model_file(assimp + file, m);
        ASSERT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(m.geometry.triangle_count(), triangles);
        EXPECT_EQ(m.geometry.lines.size() / 2, lines);
        EXPECT_EQ(m.geometry.points.size(), points);
    }
}

TEST(GltfFiles, EveryTestModelLoadsOrSaysInOneLineWhatFailed) {
    std::size_t files = 0, loaded = 0;
    for (const char* folder : {"glTF", "glTF2"})
        for (const auto& entry : fs::recursive_directory_iterator(assimp + folder)) {
            const std::string extension = entry.path().extension().string();
            if (extension != ".gltf" && extension != ".glb") continue;
            SCOPED_TRACE(entry.path().string());
            ++files;
            model m;
            const load_outcome outcome = load_model_file(entry.path().string(), m);
            const std::string& line = outcome.ok ? outcome.warning : outcome.message;
            EXPECT_EQ(line.find('\n'), std::string::npos) << line;
            if (outcome.ok) {
                ++loaded;
                EXPECT_FALSE(m.empty());
            } else {
                EXPECT_EQ(line.rfind(entry.path().filename().string() + ": ", 0), 0u) << line;
            }
        }
    EXPECT_GE(files, 50u);
    EXPECT_GE(loaded, 35u);
}

// Buffer and picture names are URI references: percent-decoded, with "."
// and ".." taken out by their text against the model's folder (so
// "../textures/" is the folder beside it); absolute, network and device
// names and URLs are refused; "~" and variables are never expanded.
TEST(GltfFiles, ExternalFilesResolveAsUriReferencesAgainstTheModel) {
    scratch_folder scratch;
    const fs::path& root = scratch.path;
    fs::create_directories(root / "model");
    fs::create_directories(root / "elsewhere");
    built_file f;
    f.node({{"mesh", f.quad_mesh(f.unlit_material({1, 0, 0, 1}))}});
    f.doc["scenes"] = {{{"nodes", {0}}}};
    f.text();
    const std::string payload = f.buffer;
    std::ofstream(root / "model" / "my part+1.bin", std::ios::binary) << payload;
    std::ofstream(root / "elsewhere" / "part.bin", std::ios::binary) << payload;

    auto load_with_buffer = [&](const std::string& uri) {
        f.doc["buffers"] = {{{"byteLength", payload.size()}, {"uri", uri}}};
        std::ofstream(root / "model" / "scene.gltf") << f.doc.dump();
        model m;
        return load_model_file((root / "model" / "scene.gltf").string(), m);
    };
    for (const std::string& found : {"my%20part%2B1.bin", "./sub/../my%20part%2B1.bin", "../elsewhere/part.bin",
                                     "../model/../elsewhere/./part.bin"})
        EXPECT_TRUE(load_with_buffer(found).ok) << found;
    const struct {
        std::string uri, says;
    } refused[] = {
        {(root / "elsewhere" / "part.bin").string(), "is an absolute name"},
        {"//evil-host/share/part.bin", "is a network name"},
        {"%5C%5Cevil-host%5Cshare%5Cpart.bin", "is a network name"},
        {"file:///elsewhere/part.bin", "is a URL"},
        {"https://evil-host/part.bin", "is a URL"},
        {"~/part.bin", "could not be opened"},
        {"$HOME/part.bin", "could not be opened"},
        {"../../../../../../../../../../../elsewhere/part.bin", "could not be opened"},
    };
    for (const auto& r : refused) {
        const load_outcome outcome = load_with_buffer(r.uri);
        EXPECT_FALSE(outcome.ok) << r.uri;
        EXPECT_NE(outcome.message.find(r.says), std::string::npos) << r.uri << ": " << outcome.message;
    }
}

// Interleaved vertices (a byte stride), 8-bit indices, normalised 8-bit
// texture coordinates, and a sparse accessor moving one corner.
TEST(GltfFiles, StridesSmallIndicesNormalisedCoordinatesAndSparseValuesAreRead) {
    built_file f;
    struct vertex {
        float x, y, z;
        std::uint8_t u, v, pad[2];
    };
    const std::vector<vertex> vertices = {{0, 0, 0, 0, 255, {}}, {1, 0, 0, 255, 255, {}}, {1, 1, 0, 255, 0, {}}};
    f.accessor(built_file::bytes_of(vertices), 5126, "VEC3", 3);
    f.doc["bufferViews"][0]["byteStride"] = sizeof(vertex);
    f.doc["accessors"].push_back({{"bufferView", 0}, {"byteOffset", 12}, {"componentType", 5121}, {"normalized", true},
                                  {"type", "VEC2"}, {"count", 3}});
    const int indices = f.accessor(built_file::bytes_of(std::vector<std::uint8_t>{0, 1, 2}), 5121, "SCALAR", 3);
    // Sparse: vertex 2 moves to (5, 6, 7).
    const int moved = f.accessor(built_file::bytes_of(std::vector<std::uint8_t>{2}), 5121, "SCALAR", 1);
    const int to = f.accessor(built_file::bytes_of(std::vector<float>{5, 6, 7}), 5126, "VEC3", 1);
    json sparse = f.doc["accessors"][0];
    sparse["sparse"] = {{"count", 1},
                        {"indices", {{"bufferView", f.doc["accessors"][moved]["bufferView"]}, {"componentType", 5121}}},
                        {"values", {{"bufferView", f.doc["accessors"][to]["bufferView"]}}}};
    f.doc["accessors"].push_back(sparse);
    const int positions = static_cast<int>(f.doc["accessors"].size()) - 1;
    f.doc["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", positions}, {"TEXCOORD_0", 1}}}, {"indices", indices}}}}}};
    f.node({{"mesh", 0}});
    f.doc["scenes"] = {{{"nodes", {0}}}};
    const model m = load_text(f.text());
    ASSERT_EQ(m.geometry.positions.size(), 3u);
    EXPECT_EQ(m.geometry.positions[1], glm::vec3(1, 0, 0));
    EXPECT_EQ(m.geometry.positions[2], glm::vec3(5, 6, 7));
    ASSERT_EQ(m.geometry.texcoords.size(), 3u);
    EXPECT_EQ(m.geometry.texcoords[1], glm::vec2(1, 0)) << "v runs down the picture in glTF, up it here";
    EXPECT_EQ(m.geometry.texcoords[2], glm::vec2(1, 1));
}

// "extras" may hold any JSON; tinygltf reads it recursively.
TEST(GltfFiles, JsonNestedTooDeepIsRefusedBeforeItIsParsed) {
    auto nested = [](int depth) {
        built_file f;
        f.node({{"mesh", f.quad_mesh(f.unlit_material({1, 0, 0, 1}))}});
        f.doc["scenes"] = {{{"nodes", {0}}}};
        f.doc["extras"] = "@";
        std::string text = f.text();
        text.replace(text.find("\"@\""), 3, std::string(depth, '[') + std::string(depth, ']'));
        model m;
        return load_gltf(reinterpret_cast<const unsigned char*>(text.data()), text.size(), "", m);
    };
    EXPECT_TRUE(nested(100).ok);
    const load_outcome deep = nested(200000);
    EXPECT_FALSE(deep.ok);
    EXPECT_EQ(deep.message, "nests its JSON deeper than 128 levels");
}

// glTF 1.0 in its text form says so, as the binary form does: with its
// asset's version as a text or (as some exporters wrote it) a number, or
// without a version but with 1.0's dictionaries keyed by name. A 2.0 file
// that is broken otherwise does not.
TEST(GltfFiles, GltfOneTextFilesSayTheyAreGltfOne) {
    const std::string one = "is a glTF 1.0 file; this viewer reads glTF 2.0";
    const std::string dictionaries = R"("accessors": {"a": {"bufferView": "v", "count": 3, "type": "VEC3"}},
        "meshes": {"m": {"primitives": []}}, "nodes": {"n": {"meshes": ["m"]}}, "scene": "s")";
    const struct {
        const char* what;
        std::string text, says;
    } cases[] = {
        {"version text", R"({"asset": {"version": "1.0"}, )" + dictionaries + "}", one},
        {"version number", R"({"asset": {"version": 1, "premultipliedAlpha": true}, )" + dictionaries + "}", one},
        {"no asset", "{" + dictionaries + "}", one},
        {"asset without version", R"({"asset": {"generator": "x"}, "buffers": {"b": {"uri": "b.bin"}}})", one},
        {"only a named scene", R"({"scene": "defaultScene"})", one},
        {"version 1.1", R"({"asset": {"version": "1.1"}, )" + dictionaries + "}",
         "is a glTF 1.1 file; this viewer reads glTF 2.0"},
        {"2.0 without asset", R"({"meshes": [], "nodes": []})", "is not a glTF 2.0 file this viewer can read ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        model m;
        const load_outcome outcome =
            load_gltf(reinterpret_cast<const unsigned char*>(c.text.data()), c.text.size(), "", m);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.message.rfind(c.says, 0), 0u) << outcome.message;
        EXPECT_TRUE(m.empty());
    }
    // Debian's glTF 1.0 test models, the milk truck's version a number.
    std::size_t files = 0;
    if (fs::exists(assimp + "glTF"))
        for (const auto& entry : fs::recursive_directory_iterator(assimp + "glTF")) {
            if (entry.path().extension() != ".gltf") continue;
            SCOPED_TRACE(entry.path().string());
            ++files;
            model m;
            const load_outcome outcome = load_model_file(entry.path().string(), m);
            EXPECT_FALSE(outcome.ok);
            EXPECT_EQ(outcome.message, entry.path().filename().string() + ": " + one);
        }
    EXPECT_GE(files, 6u);
}

load_outcome load_from_memory(const std::string& bytes, const std::string& folder, model& m) {
    return load_gltf(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), folder, m);
}

// A GLB read from its file makes the model its bytes make in memory, its
// picture in a buffer view too; and its binary chunk, here mostly data the
// viewer does not read (as animations are), is held once, not beside a copy
// of the whole file.
TEST(GltfFiles, GlbFileLoadsAsFromMemoryHoldingItsBinaryChunkOnce) {
    built_file f;
    const int texture = f.texture_in_buffer(png(2, 1, {255, 0, 0, 255, 0, 0, 255, 255}));
    f.node({{"mesh", f.quad_mesh(f.unlit_material({1, 1, 1, 1}, texture))}});
    f.doc["scenes"] = {{{"nodes", {0}}}};
    f.doc["bufferViews"].push_back({{"buffer", 0}, {"byteOffset", f.buffer.size()}, {"byteLength", 4 << 20}});
    f.buffer += std::string(4 << 20, 'a');
    const std::string bytes = f.glb();
    scratch_folder scratch;
    const std::string path = (scratch.path / "quad.glb").string();
    std::ofstream(path, std::ios::binary) << bytes;

    model in_memory, from_file;
    const load_outcome expected = load_from_memory(bytes, loading::folder_of(path), in_memory);
    ASSERT_TRUE(expected.ok) << expected.message;
    heap::reset_peak();
    const long long before = heap::live;
    const load_outcome read = load_model_file(path, from_file);
    const long long peak = heap::peak - before;
    EXPECT_TRUE(same_load(expected, in_memory, read, from_file)) << read.message << read.warning;
    ASSERT_EQ(from_file.textures.size(), 1u);
    EXPECT_EQ(from_file.textures[0].width, 2);
    EXPECT_EQ(from_file.textures[0].pixels, in_memory.textures[0].pixels);
    EXPECT_LT(peak, static_cast<long long>(bytes.size() * 3 / 2));
}

// A GLB whose container or buffers are broken, or only unusual, says from
// its file what its bytes say from memory, word for word, or loads alike.
TEST(GltfFiles, BrokenGlbSaysFromItsFileWhatItSaysFromMemory) {
    built_file f;
    f.node({{"mesh", f.quad_mesh(f.unlit_material({1, 0, 0, 1}))}});
    f.doc["scenes"] = {{{"nodes", {0}}}};
    f.glb();
    const json doc = f.doc;
    const std::string binary = f.buffer;
    auto with = [&](const std::function<void(json&)>& change) {
        json changed = doc;
        change(changed);
        return gltf_builder::glb_container(changed.dump(), binary);
    };
    auto set_u32 = [](std::string bytes, std::size_t at, std::size_t value) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
        return bytes;
    };
    const std::string good = gltf_builder::glb_container(doc.dump(), binary);
    const std::size_t binary_header = good.size() - binary.size() - 8;
    const struct {
        const char* what;
        std::string bytes;
        bool loads;
    } cases[] = {
        {"well formed", good, true},
        {"header length beyond the file", set_u32(good, 8, good.size() + 4), false},
        {"header length short of the file", good + "tail", true},
        {"version 1", set_u32(good, 4, 1), false},
        {"JSON chunk beyond the file", set_u32(good, 12, good.size()), false},
        {"JSON chunk not JSON", gltf_builder::glb_container("{\"asset\": [", binary), false},
        {"JSON nested too deep", gltf_builder::glb_container(std::string(200, '[') + std::string(200, ']'), binary), false},
        {"a glTF 1.0 JSON chunk", with([](json& d) { d["asset"]["version"] = "1.0"; }), false},
        {"no binary chunk", set_u32(good.substr(0, binary_header), 8, binary_header), false},
        {"binary chunk beyond the file", set_u32(good, binary_header, binary.size() + 12), false},
        // tinygltf alone would read this one 8 bytes past the file's end.
        {"binary chunk 8 bytes beyond the file",
         [&] {
             const std::string longer = with([&](json& d) { d["buffers"][0]["byteLength"] = binary.size() + 8; });
             return set_u32(longer, longer.size() - binary.size() - 8, binary.size() + 8);
         }(),
         false},
        {"binary chunk of another type", set_u32(good, binary_header + 4, 0x12345678), false},
        {"a chunk after the binary chunk", set_u32(good + std::string(12, 'x'), 8, good.size() + 12), true},
        {"buffer 0 longer than the chunk", with([&](json& d) { d["buffers"][0]["byteLength"] = binary.size() + 4; }), false},
        {"buffer 0 of no bytes", with([](json& d) { d["buffers"][0]["byteLength"] = 0; }), false},
        {"buffer 0 naming a missing file", with([](json& d) { d["buffers"][0]["uri"] = "missing.bin"; }), false},
        {"a second buffer without a name", with([](json& d) { d["buffers"].push_back({{"byteLength", 4}}); }), true},
        {"a second buffer named with a '*'",
         with([](json& d) { d["buffers"].push_back({{"byteLength", 4}, {"uri", "%2Abinary%20chunk%2A"}}); }), false},
        {"an accessor past its buffer view", with([](json& d) { d["accessors"][0]["count"] = 1000; }), false},
    };
    scratch_folder scratch;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = (scratch.path / "case.glb").string();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
        model in_memory, from_file;
        const load_outcome expected = load_from_memory(c.bytes, loading::folder_of(path), in_memory);
        load_outcome read = load_model_file(path, from_file);
        for (std::string* line : {&read.message, &read.warning})
            if (!line->empty()) line->erase(0, std::string("case.glb: ").size());
        EXPECT_EQ(read.ok, c.loads) << read.message;
        EXPECT_TRUE(same_load(expected, in_memory, read, from_file)) << expected.message << " | " << read.message;
    }
}

TEST(GltfScenes, NodeTransformsPlaceEachPartWhereItBelongs) {
    built_file f;
    const int red_quad = f.quad_mesh(f.unlit_material({1, 0, 0, 1}));
    const int green_quad = f.quad_mesh(f.unlit_material({0, 1, 0, 1}));
    // A child at half size, 2 up, under a parent moved 2 to the left (column-major matrix).
    const int child = f.node({{"mesh", green_quad}, {"matrix", {0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.5, 0, 0, 2, 0, 1}}});
    const int parent = f.node({{"mesh", red_quad}, {"translation", {-2, 0, 0}}, {"children", {child}}});
    // The red quad again, a quarter turn around Z (x, y, z, w), moved right and down.
    const int turned = f.node({{"mesh", red_quad}, {"rotation", {0, 0, 0.70710678, 0.70710678}}, {"translation", {2, -1, 0}}});
    const int unused = f.node({{"mesh", green_quad}});  // in no scene: never drawn
    f.doc["scenes"] = {{{"nodes", {unused}}}, {{"nodes", {parent, turned}}}};
    f.doc["scene"] = 1;
    const model m = load_text(f.text());
    ASSERT_EQ(m.geometry.triangle_count(), 6u);

    const camera c = straight_on(glm::vec3(0.0f, 0.5f, 0.0f), 12.0f);
    const canvas picture = draw(&m, on_blue(), c);
    EXPECT_EQ(picture.at(pixel_of(c, {-2.0f, 0.0f, 0.0f})), red_pixel);
    EXPECT_EQ(picture.at(pixel_of(c, {-2.0f, 2.0f, 0.0f})), green_pixel);
    EXPECT_EQ(picture.at(pixel_of(c, {-2.0f, 1.25f, 0.0f})), blue_pixel) << "the child is half size";
    EXPECT_EQ(picture.at(pixel_of(c, {2.0f, -1.0f, 0.0f})), red_pixel);
    EXPECT_EQ(picture.at(pixel_of(c, {0.0f, 0.0f, 0.0f})), blue_pixel) << "the node in no scene";
}

TEST(GltfMaterials, TexturesShowTheRightWayRound) {
    // Top left red, top right green, bottom left blue, bottom right white.
    const std::string picture = png(2, 2, {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255});
    built_file f;
    f.node({{"mesh", f.quad_mesh(f.unlit_material({1, 1, 1, 1}, f.texture(picture)))}});
    f.doc["scenes"] = {{{"nodes", {0}}}};
    const model m = load_text(f.text());
    view_settings s = on_blue();
    s.background = 0x00000000;
    const camera c = straight_on(glm::vec3(0.0f), 4.0f);
    const canvas drawn = draw(&m, s, c);
    EXPECT_EQ(drawn.at(pixel_of(c, {-0.5f, 0.5f, 0.0f})), red_pixel);
    EXPECT_EQ(drawn.at(pixel_of(c, {0.5f, 0.5f, 0.0f})), green_pixel);
    EXPECT_EQ(drawn.at(pixel_of(c, {-0.5f, -0.5f, 0.0f})), blue_pixel);
    EXPECT_EQ(drawn.at(pixel_of(c, {0.5f, -0.5f, 0.0f})), white_pixel);
}

// A metallic-roughness material keeps its factors and its maps, which may
// be the base colour's own picture (read once); a specular-glossiness one
// is not drawn physically.
TEST(GltfMaterials, MetallicRoughnessFactorsAndMapsAreKept) {
    const std::string picture = png(1, 1, {0, 200, 100, 255});
    built_file f;
    const int texture = f.texture(picture);
    f.doc["materials"].push_back({{"pbrMetallicRoughness",
                                   {{"baseColorTexture", {{"index", texture}}}, {"metallicFactor", 0.25},
                                    {"roughnessFactor", 0.75}, {"metallicRoughnessTexture", {{"index", texture}}}}},
                                  {"occlusionTexture", {{"index", texture}, {"strength", 0.6}}}});
    f.doc["materials"].push_back({{"extensions", {{"KHR_materials_pbrSpecularGlossiness", {{"glossinessFactor", 0.5}}}}}});
    f.node({{"mesh", f.quad_mesh(0)}});
    f.node({{"mesh", f.quad_mesh(1)}});
    f.doc["scenes"] = {{{"nodes", {0, 1}}}};
    const model m = load_text(f.text());
    ASSERT_EQ(m.materials.size(), 2u);
    const material& metal = m.materials[0];
    EXPECT_TRUE(metal.physical);
    EXPECT_FLOAT_EQ(metal.metallic, 0.25f);
    EXPECT_FLOAT_EQ(metal.roughness, 0.75f);
    EXPECT_EQ(metal.metal_rough_texture, metal.diffuse_texture);
    EXPECT_EQ(metal.occlusion_texture, metal.diffuse_texture);
    EXPECT_FLOAT_EQ(metal.occlusion_strength, 0.6f);
    EXPECT_EQ(m.textures.size(), 1u);
    EXPECT_FALSE(m.materials[1].physical);
}

// Where each texture of a material is read: the set of texture coordinates
// its reference names (or its KHR_texture_transform in its place), and the
// transform, held for the model's own v (1 - glTF's): a point of glTF's uv
// must be read where glTF's T R S puts it. Parts no float holds are left out,
// an unknown set reads the first and says so. A second set is held for
// every texture coordinate once one primitive has one; the first set stands
// in for it in the others.
TEST(GltfMaterials, TextureTransformsSetsAndEmissiveStrengthAreRead) {
    const double quarter_turn = 1.5707963267948966;
    auto transform = [](json t) { return json{{"extensions", {{"KHR_texture_transform", std::move(t)}}}}; };
    const struct {
        const char* slot;
        json reference;  // without its index
        json strength;   // KHR_materials_emissive_strength's, or null for none
        int set;
        glm::vec2 from, to;  // glTF's uv
        float emissive_strength;
    } rows[] = {
        {"baseColorTexture",
         transform({{"offset", {0.25, 0.5}}, {"rotation", quarter_turn}, {"scale", {2, 3}}, {"texCoord", 1}}), 2.5, 1,
         {0.25f, 0.5f}, {1.75f, 0.0f}, 2.5f},
        {"metallicRoughnessTexture", {{"texCoord", 1}}, nullptr, 1, {0.3f, 0.6f}, {0.3f, 0.6f}, 1.0f},
        {"occlusionTexture", transform({{"offset", {0.5, 0.25}}}), 0.0, 0, {0.0f, 0.0f}, {0.5f, 0.25f}, 0.0f},
        {"emissiveTexture", transform({{"rotation", quarter_turn}, {"scale", {1, -1}}}), nullptr, 0, {0.2f, 0.7f},
         {-0.7f, -0.2f}, 1.0f},
        // Out of every range: an unknown set, an offset and a scale beyond
        // float, a rotation that is no number, a negative strength.
        {"baseColorTexture",
         {{"texCoord", 7}, {"extensions", {{"KHR_texture_transform", {{"offset", {1e39, 0.5}}, {"rotation", "half"}, {"scale", {2, 1e300}}}}}}},
         -3.0, 0, {0.1f, 0.2f}, {0.2f, 0.7f}, 1.0f},
    };
    built_file f;
    const int texture = f.texture(png(1, 1, {255, 255, 255, 255}));
    for (const auto& row : rows) {
        json reference = row.reference;
        reference["index"] = texture;
        json m = {{"pbrMetallicRoughness", json::object()}, {"emissiveFactor", {1.0, 1.0, 1.0}}};
        const std::string slot = row.slot;
        (slot == "baseColorTexture" || slot == "metallicRoughnessTexture" ? m["pbrMetallicRoughness"][slot] : m[slot]) =
            reference;
        if (!row.strength.is_null())
            m["extensions"]["KHR_materials_emissive_strength"] = {{"emissiveStrength", row.strength}};
        f.doc["materials"].push_back(m);
    }
    f.node({{"mesh", f.quad_mesh(0, {}, {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.25f, 0.75f})}});
    f.node({{"mesh", f.quad_mesh(1)}});
    f.doc["scenes"] = {{{"nodes", {0, 1}}}};
    const std::string text = f.text();
    model m;
    const load_outcome outcome = load_gltf(reinterpret_cast<const unsigned char*>(text.data()), text.size(), "", m);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_NE(outcome.warning.find("material 4 names texture coordinates TEXCOORD_7"), std::string::npos)
        << outcome.warning;
    ASSERT_EQ(m.materials.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE(std::to_string(i) + " " + row.slot);
        const material& read = m.materials[i];
        const std::string slot = row.slot;
        const texture_transform& t = slot == "baseColorTexture"           ? read.diffuse_uv
                                     : slot == "metallicRoughnessTexture" ? read.metal_rough_uv
                                     : slot == "occlusionTexture"         ? read.occlusion_uv
                                                                          : read.emissive_uv;
        EXPECT_EQ(t.uv_set, row.set);
        const glm::vec2 at = t.apply(row.from.x, 1.0f - row.from.y);
        EXPECT_NEAR(at.x, row.to.x, 1e-5f);
        EXPECT_NEAR(1.0f - at.y, row.to.y, 1e-5f);
        EXPECT_FLOAT_EQ(read.emissive_strength, row.emissive_strength);
    }
    // Four corners a quad, the second quad's second set its first.
    ASSERT_EQ(m.geometry.texcoords.size(), 8u);
    ASSERT_EQ(m.geometry.texcoords1.size(), 8u);
    EXPECT_EQ(m.geometry.texcoords1[3], glm::vec2(0.25f, 0.25f));
    for (std::size_t k = 4; k < 8; ++k) EXPECT_EQ(m.geometry.texcoords1[k], m.geometry.texcoords[k]) << k;
}

// normalTexture's index and scale, and TANGENT, for primitives whose
// material has a normal map; a mirroring node turns the tangent and its
// handedness. Tangents the renderer cannot use (not finite, or over texture
// coordinates without area) give way to unit ones at right angles to the
// normal; an unreadable TANGENT is a message.
TEST(GltfMaterials, NormalTextureScaleAndTangentsAreRead) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const struct {
        const char* what;
        json normal_texture;  // null: none
        std::vector<float> tangents;  // four per corner; empty: none
        const char* tangent_type;
        std::vector<double> node_scale;
        bool texcoords_without_area;  // nothing to work a tangent out from
        bool loads;
        int texture;
        float scale;
        glm::vec4 first_tangent;  // as kept in the mesh, when usable
    } cases[] = {
        {"read", {{"index", 0}, {"scale", 0.7}}, {1, 0, 0, -1}, "VEC4", {1, 1, 1}, false, true, 0, 0.7f, {1, 0, 0, -1}},
        {"mirrored node", {{"index", 0}}, {1, 0, 0, -1}, "VEC4", {-1, 1, 1}, false, true, 0, 1.0f, {-1, 0, 0, 1}},
        {"without a normal map", nullptr, {1, 0, 0, -1}, "VEC4", {1, 1, 1}, false, true, -1, 1.0f, {}},
        {"bad values", {{"index", 0}, {"scale", 1e300}}, {nan, inf, 0, 1}, "VEC4", {1, 1, 1}, true, true, 0, 1000.0f,
         {}},
        {"missing texture", {{"index", 5}}, {1, 0, 0, 1}, "VEC4", {1, 1, 1}, false, true, -1, 1.0f, {}},
        {"tangent of three", {{"index", 0}}, {1, 0, 0}, "VEC3", {1, 1, 1}, false, false, -1, 1.0f, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        built_file f;
        f.texture(png(1, 1, {128, 128, 255, 255}));
        json mat = {{"pbrMetallicRoughness", {{"metallicFactor", 0.0}}}};
        if (!c.normal_texture.is_null()) mat["normalTexture"] = c.normal_texture;
        f.doc["materials"].push_back(mat);
        const std::vector<float> texcoords =
            c.texcoords_without_area ? std::vector<float>(8, 0.5f) : std::vector<float>{0, 1, 1, 1, 1, 0, 0, 0};
        const std::vector<float> positions = {-1, -1, 0, 1, -1, 0, 1, 1, 0, -1, 1, 0};
        const std::vector<std::uint16_t> corners = {0, 1, 2, 0, 2, 3};
        std::vector<float> tangents;
        for (int k = 0; k < 4; ++k) tangents.insert(tangents.end(), c.tangents.begin(), c.tangents.end());
        json attributes = {
            {"POSITION", f.accessor(built_file::bytes_of(positions), 5126, "VEC3", 4)},
            {"TEXCOORD_0", f.accessor(built_file::bytes_of(texcoords), 5126, "VEC2", 4)},
            {"TANGENT", f.accessor(built_file::bytes_of(tangents), 5126, c.tangent_type, 4)}};
        const int indices = f.accessor(built_file::bytes_of(corners), 5123, "SCALAR", 6);
        f.doc["meshes"].push_back(
            {{"primitives", {{{"attributes", attributes}, {"indices", indices}, {"material", 0}}}}});
        f.node({{"mesh", 0}, {"scale", c.node_scale}});
        f.doc["scenes"] = {{{"nodes", {0}}}};
        const std::string text = f.text();
        model m;
        const load_outcome outcome = load_gltf(reinterpret_cast<const unsigned char*>(text.data()), text.size(), "", m);
        ASSERT_EQ(outcome.ok, c.loads) << outcome.message;
        if (!c.loads) {
            EXPECT_NE(outcome.message.find("TANGENT"), std::string::npos) << outcome.message;
            continue;
        }
        EXPECT_EQ(m.materials[0].normal_texture, c.texture);
        EXPECT_FLOAT_EQ(m.materials[0].normal_scale, c.scale);
        if (c.texture < 0) {
            EXPECT_TRUE(m.geometry.tangents.empty()) << "kept without a normal map to use them";
            continue;
        }
        ASSERT_EQ(m.geometry.tangents.size(), 4u);
        if (!c.texcoords_without_area) EXPECT_EQ(m.geometry.tangents[0], c.first_tangent);
        const auto prepared = prepare_model(m, true, 60.0f);
        ASSERT_EQ(prepared->tangents.size(), prepared->vertices.size());
        for (std::size_t v = 0; v < prepared->vertices.size(); ++v) {
            const glm::vec4& t = prepared->tangents[v];
            EXPECT_NEAR(glm::length(glm::vec3(t)), 1.0f, 1e-5f) << v;
            EXPECT_NEAR(glm::dot(glm::vec3(t), prepared->vertices[v].normal), 0.0f, 1e-5f) << v;
            EXPECT_EQ(std::fabs(t.w), 1.0f) << v;
        }
    }
}

// glTF's colour factors and COLOR_0 are linear: an unlit 0.5 shows as
// sRGB's 188, as in every conformant viewer, whether it comes from the
// factor, the vertex colours or both (0.5 = 1.0 x 0.5 = 0.5 x 1.0).
TEST(GltfMaterials, ColourFactorsAndVertexColoursAreLinearLight) {
    const struct {
        const char* name;
        std::vector<double> factor;
        std::vector<float> vertex;
    } cases[] = {{"factor", {0.5, 0.5, 0.5, 1}, {}},
                 {"vertex colour", {1, 1, 1, 1}, {0.5f, 0.5f, 0.5f}},
                 {"both", {0.5, 1, 0.5, 1}, {1.0f, 0.5f, 1.0f}}};
    for (const auto& c : cases) {
        built_file f;
        f.node({{"mesh", f.quad_mesh(f.unlit_material(c.factor), c.vertex)}});
        f.doc["scenes"] = {{{"nodes", {0}}}};
        const model m = load_text(f.text());
        const camera view = straight_on(glm::vec3(0.0f), 4.0f);
        const std::uint32_t shown = draw(&m, on_blue(), view).at(pixel_of(view, {0.0f, 0.0f, 0.0f}));
        for (int shift : {0, 8, 16}) EXPECT_NEAR(int((shown >> shift) & 0xFF), 188, 1) << c.name;
    }
}

TEST(GltfMaterials, MaskCutsOutBlendMixesOpaqueIgnoresAlpha) {
    // One texture for all three: its left half a quarter opaque, its right half opaque.
    built_file f;
    const int texture = f.texture(png(2, 1, {255, 255, 255, 64, 255, 255, 255, 255}));
    const float centres[3] = {-2.2f, 0.0f, 2.2f};
    int k = 0;
    for (const char* mode : {"OPAQUE", "MASK", "BLEND"}) {
        const int material = f.unlit_material({1, 1, 1, 1}, texture);
        f.doc["materials"][material]["alphaMode"] = mode;
        f.node({{"mesh", f.quad_mesh(material)}, {"translation", {centres[k++], 0, 0}}});
    }
    f.doc["scenes"] = {{{"nodes", {0, 1, 2}}}};
    const model m = load_text(f.text());
    const camera c = straight_on(glm::vec3(0.0f), 10.0f);
    const canvas drawn = draw(&m, on_blue(), c);
    auto left_half = [&](int quad) { return drawn.at(pixel_of(c, {centres[quad] - 0.5f, 0.0f, 0.0f})); };
    for (int quad = 0; quad < 3; ++quad)
        EXPECT_EQ(drawn.at(pixel_of(c, {centres[quad] + 0.5f, 0.0f, 0.0f})), white_pixel) << quad;
    EXPECT_EQ(left_half(0), white_pixel) << "opaque";
    EXPECT_EQ(left_half(1), blue_pixel) << "masked out below the cutoff";
    const std::uint32_t mixed = left_half(2);
    EXPECT_NEAR(red(mixed), 64, 2) << std::hex << mixed;
    EXPECT_NEAR(green(mixed), 64, 2);
    EXPECT_EQ(blue(mixed), 255);
}

}  // namespace
