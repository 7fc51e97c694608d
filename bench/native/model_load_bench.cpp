// Model load times and memory, native and optimised: the largest OBJ and the
// largest GLB of Debian's assimp test models, and a generated grid of one
// million triangles written beside the benchmark as OBJ, as GLB (indexed,
// with normals, as exporters write it) and as binary STL, the floor for
// reading a model (raw floats read as they lie). The OBJ and the GLB are
// measured per triangle against the STL in the same run. A generated GLB
// that is mostly its picture shows what reading a GLB holds beside its
// binary chunk, which the model's arrays hide in the grid's. Medians of a
// few rounds: the machines are shared.
// Memory is counted by this program's own operator new: the most heap the
// loading held at once beside the file's size (a 32-bit host has 2 GB of
// address space for everything), and what the loaded model keeps per
// triangle. A generated binary STL of four million triangles shows the first
// where it matters.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <tuple>
#include <sys/stat.h>
#include <vector>

#include "bench/native/heap_counter.h"
#include "control/engine/formats/model_loaders.h"


namespace {

constexpr const char* assimp_folder = "/usr/share/assimp/models/";

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long long file_size(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

// The largest file with `extension` anywhere below `folder`.
void find_largest(const std::string& folder, const std::string& extension, std::string& best, long long& best_size) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + name;
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) continue;
        if (S_ISDIR(status.st_mode)) {
            find_largest(path + "/", extension, best, best_size);
        } else if (name.size() > extension.size() &&
                   name.compare(name.size() - extension.size(), extension.size(), extension) == 0 &&
                   status.st_size > best_size) {
            best_size = status.st_size;
            best = path;
        }
    }
    ::closedir(dir);
}

std::string largest(const std::string& folder, const std::string& extension) {
    std::string best;
    long long best_size = -1;
    find_largest(folder, extension, best, best_size);
    return best;
}

// A grid of columns x rows squares, two triangles each, over z = sin(x) cos(y).
struct grid {
    int columns, rows;
    int vertex(int column, int row) const { return row * (columns + 1) + column; }
    float x(int column) const { return column * 0.01f; }
    float y(int row) const { return row * 0.01f; }
    float z(int column, int row) const { return 0.1f * std::sin(x(column)) * std::cos(y(row)); }
};

bool write_obj(const std::string& path, const grid& g) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    for (int r = 0; r <= g.rows; ++r)
        for (int c = 0; c <= g.columns; ++c)
            std::fprintf(file, "v %.4f %.4f %.4f\n", g.x(c), g.y(r), g.z(c, r));
    for (int r = 0; r < g.rows; ++r)
        for (int c = 0; c < g.columns; ++c) {
            const int a = g.vertex(c, r) + 1, b = g.vertex(c + 1, r) + 1, d = g.vertex(c, r + 1) + 1,
                      e = g.vertex(c + 1, r + 1) + 1;
            std::fprintf(file, "f %d %d %d\nf %d %d %d\n", a, b, e, a, e, d);
        }
    return std::fclose(file) == 0;
}

template <class T>
void append(std::string& out, const T* values, std::size_t count) {
    out.append(reinterpret_cast<const char*>(values), count * sizeof(T));  // little-endian hosts only, as the bench runs
}

bool write_glb_file(const std::string& path, std::string text, std::string bin) {
    while (text.size() % 4) text += ' ';
    while (bin.size() % 4) bin += '\0';
    const std::uint32_t header[3] = {0x46546C67, 2, std::uint32_t(12 + 8 + text.size() + 8 + bin.size())};
    const std::uint32_t json_chunk[2] = {std::uint32_t(text.size()), 0x4E4F534A};
    const std::uint32_t bin_chunk[2] = {std::uint32_t(bin.size()), 0x004E4942};
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    std::fwrite(header, 4, 3, file);
    std::fwrite(json_chunk, 4, 2, file);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fwrite(bin_chunk, 4, 2, file);
    std::fwrite(bin.data(), 1, bin.size(), file);
    return std::fclose(file) == 0;
}

bool write_glb(const std::string& path, const grid& g) {
    std::vector<float> positions, normals;
    for (int r = 0; r <= g.rows; ++r)
        for (int c = 0; c <= g.columns; ++c) {
            positions.insert(positions.end(), {g.x(c), g.y(r), g.z(c, r)});
            normals.insert(normals.end(), {0.0f, 0.0f, 1.0f});
        }
    std::vector<std::uint32_t> indices;
    for (int r = 0; r < g.rows; ++r)
        for (int c = 0; c < g.columns; ++c) {
            const auto a = std::uint32_t(g.vertex(c, r)), b = std::uint32_t(g.vertex(c + 1, r)),
                       d = std::uint32_t(g.vertex(c, r + 1)), e = std::uint32_t(g.vertex(c + 1, r + 1));
            indices.insert(indices.end(), {a, b, e, a, e, d});
        }
    std::string bin;
    append(bin, positions.data(), positions.size());
    append(bin, normals.data(), normals.size());
    append(bin, indices.data(), indices.size());
    const std::size_t vertices = positions.size() / 3, p_bytes = positions.size() * 4, n_bytes = normals.size() * 4;
    char json[1024];
    std::snprintf(json, sizeof json,
                  R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
                  R"("meshes":[{"primitives":[{"attributes":{"POSITION":0,"NORMAL":1},"indices":2}]}],)"
                  R"("accessors":[{"bufferView":0,"componentType":5126,"count":%zu,"type":"VEC3","min":[0,0,-0.1],"max":[%g,%g,0.1]},)"
                  R"({"bufferView":1,"componentType":5126,"count":%zu,"type":"VEC3"},)"
                  R"({"bufferView":2,"componentType":5125,"count":%zu,"type":"SCALAR"}],)"
                  R"("bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":%zu},{"buffer":0,"byteOffset":%zu,"byteLength":%zu},)"
                  R"({"buffer":0,"byteOffset":%zu,"byteLength":%zu}],"buffers":[{"byteLength":%zu}]})",
                  vertices, double(g.x(g.columns)), double(g.y(g.rows)), vertices, indices.size(), p_bytes, p_bytes,
                  n_bytes, p_bytes + n_bytes, indices.size() * 4, bin.size());
    return write_glb_file(path, json, bin);
}

// A square of two triangles showing one side x side picture, a 24-bit BMP
// (which the viewer reads, though glTF names only PNG and JPEG) in the
// binary chunk: a GLB that is mostly its picture, as scanned models are.
bool write_picture_glb(const std::string& path, int side) {
    const std::uint32_t pixel_bytes = 3u * side * side;  // rows a whole number of 4 bytes: side % 4 == 0
    std::string bin;
    auto u16 = [&](std::uint16_t v) { append(bin, &v, 1); };
    auto u32 = [&](std::uint32_t v) { append(bin, &v, 1); };
    const float corners[6][5] = {{0, 0, 0, 0, 1}, {1, 0, 0, 1, 1}, {1, 1, 0, 1, 0},
                                 {0, 0, 0, 0, 1}, {1, 1, 0, 1, 0}, {0, 1, 0, 0, 0}};  // x y z u v
    for (const auto& c : corners) append(bin, c, 3);
    for (const auto& c : corners) append(bin, c + 3, 2);
    const std::size_t picture_at = bin.size();
    bin += "BM";
    u32(54 + pixel_bytes), u32(0), u32(54);
    u32(40), u32(side), u32(side), u16(1), u16(24), u32(0), u32(pixel_bytes), u32(2835), u32(2835), u32(0), u32(0);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) bin += {char(x), char(y), char(x ^ y)};
    char json[1024];
    std::snprintf(json, sizeof json,
                  R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
                  R"("meshes":[{"primitives":[{"attributes":{"POSITION":0,"TEXCOORD_0":1},"material":0}]}],)"
                  R"("materials":[{"pbrMetallicRoughness":{"baseColorTexture":{"index":0}}}],"textures":[{"source":0}],)"
                  R"("images":[{"bufferView":2,"mimeType":"image/bmp"}],)"
                  R"("accessors":[{"bufferView":0,"componentType":5126,"count":6,"type":"VEC3","min":[0,0,0],"max":[1,1,0]},)"
                  R"({"bufferView":1,"componentType":5126,"count":6,"type":"VEC2"}],)"
                  R"("bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":72},{"buffer":0,"byteOffset":72,"byteLength":48},)"
                  R"({"buffer":0,"byteOffset":%zu,"byteLength":%zu}],"buffers":[{"byteLength":%zu}]})",
                  picture_at, bin.size() - picture_at, bin.size());
    return write_glb_file(path, json, bin);
}

bool write_binary_stl(const std::string& path, const grid& g) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    char header[80] = "generated grid";
    std::fwrite(header, 1, sizeof header, file);
    const std::uint32_t count = 2u * g.columns * g.rows;
    std::fwrite(&count, 4, 1, file);  // little-endian hosts only, as the benchmark runs
    auto corner = [&](int c, int r) {
        const float p[3] = {g.x(c), g.y(r), g.z(c, r)};
        std::fwrite(p, 4, 3, file);
    };
    const float normal[3] = {0, 0, 1};
    const std::uint16_t attributes = 0;
    for (int r = 0; r < g.rows; ++r)
        for (int c = 0; c < g.columns; ++c) {
            std::fwrite(normal, 4, 3, file), corner(c, r), corner(c + 1, r), corner(c + 1, r + 1);
            std::fwrite(&attributes, 2, 1, file);
            std::fwrite(normal, 4, 3, file), corner(c, r), corner(c + 1, r + 1), corner(c, r + 1);
            std::fwrite(&attributes, 2, 1, file);
        }
    return std::fclose(file) == 0;
}

struct timing {
    bool ok = false;
    double median = 0;  // seconds
    std::size_t triangles = 0;
};

// What one load took from the heap: the most at once, and what the model
// keeps when it is done, both beyond what was held before it began.
struct heap_use {
    std::size_t peak = 0, held = 0;
};

timing measure(const std::string& label, const std::string& path, int rounds) {
    std::vector<double> times;
    engine::model m;
    engine::load_outcome outcome;
    heap_use heap;
    for (int i = 0; i < rounds; ++i) {
        m = engine::model{};
        const std::size_t before = bench_heap::live();
        bench_heap::reset_peak();
        const double start = seconds_now();
        outcome = engine::load_model_file(path, m);
        times.push_back(seconds_now() - start);
        heap = {bench_heap::peak() - before, bench_heap::live() - before};
        if (!outcome.ok) break;
    }
    if (!outcome.ok) {
        std::printf("%-34s failed: %s\n", label.c_str(), outcome.message.c_str());
        return {};
    }
    const double first = times.front();
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const double megabytes = file_size(path) / 1e6;
    std::printf("%-34s %9.1f ms  %8zu triangles  %7.1f MB  %6.2f M triangles/s  %6.1f MB/s  "
                "(best %.1f ms, first %.1f ms, %d rounds)\n",
                label.c_str(), median * 1e3, m.geometry.triangle_count(), megabytes,
                m.geometry.triangle_count() / median / 1e6, megabytes / median, times.front() * 1e3, first * 1e3,
                rounds);
    const double triangles = static_cast<double>(std::max<std::size_t>(m.geometry.triangle_count(), 1));
    std::printf("%-34s peak heap while loading %8.1f MB (%.2f x the file), held after %8.1f MB, %6.1f bytes per "
                "triangle\n",
                "", heap.peak / 1e6, heap.peak / 1e6 / megabytes, heap.held / 1e6, heap.held / triangles);
    return {true, median, m.geometry.triangle_count()};
}

}  // namespace

// Argument: the folder for the generated files (default: the build folder).
int main(int argc, char** argv) {
    // Memory freed by one load stays in the process for the next, as in a
    // viewer that has shown models before: the first touch of fresh pages
    // costs more than reading (about 4 ms per MB on the virtual machines
    // this runs on), and glibc's own choice of what to give back depends on
    // what ran before. The first round of each file shows the cold figure.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    std::string folder = argc > 1 ? argv[1] : QUELTO_BENCH_FOLDER;
    if (folder.back() != '/') folder += '/';

    for (const char* extension : {".obj", ".glb"}) {
        const std::string file = largest(assimp_folder, extension);
        if (file.empty())
            std::printf("no %s file in %s (package assimp-testmodels)\n", extension, assimp_folder);
        else
            measure(file.substr(file.rfind('/') + 1), file, 21);
    }

    const grid million{1000, 500};  // 1000 x 500 squares: 1,000,000 triangles
    const std::string obj = folder + "grid_1m.obj", glb = folder + "grid_1m.glb", stl = folder + "grid_1m.stl";
    if (!write_obj(obj, million) || !write_glb(glb, million) || !write_binary_stl(stl, million)) {
        std::printf("could not write the generated models into %s\n", folder.c_str());
        return 1;
    }
    const timing text = measure("grid_1m.obj (generated)", obj, 5);
    const timing binary_gltf = measure("grid_1m.glb (generated)", glb, 5);
    const timing floor = measure("grid_1m.stl (generated, binary)", stl, 5);
    if (!floor.ok) return 1;
    const std::string picture_glb = folder + "picture_4m.glb";
    if (!write_picture_glb(picture_glb, 2048)) {
        std::printf("could not write %s\n", picture_glb.c_str());
        return 1;
    }
    measure("picture_4m.glb (generated)", picture_glb, 5);
    const grid four_million{2000, 1000};
    const std::string large_stl = folder + "grid_4m.stl";
    if (!write_binary_stl(large_stl, four_million)) {
        std::printf("could not write %s\n", large_stl.c_str());
        return 1;
    }
    measure("grid_4m.stl (generated, binary)", large_stl, 3);
    std::remove(large_stl.c_str());  // 200 MB
    const double floor_each = floor.median / floor.triangles;
    for (const auto& [name, t, goal] : {std::tuple{"OBJ", text, "OBJ: at least 150 MB/s"},
                                        std::tuple{"GLB", binary_gltf, "GLB: at most 1.5"}}) {
        if (!t.ok) continue;
        const double each = t.median / t.triangles;
        std::printf("%s/STL time per triangle: %.2f (%s %.1f ns, binary STL %.1f ns per triangle; goal %s)\n", name,
                    each / floor_each, name, each * 1e9, floor_each * 1e9, goal);
    }
    return 0;
}
