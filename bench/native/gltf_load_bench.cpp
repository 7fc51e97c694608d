// glTF load times against binary STL, measured in one run, native and
// optimised: the largest GLB of Debian's assimp test models, and a generated
// grid of one million triangles written as GLB (indexed, with normals, as
// exporters write it) and as binary STL, the floor: raw floats read as they
// lie. Medians of a few rounds: the machines are shared.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "control/engine/model_loaders.h"

namespace {

constexpr const char* assimp_gltf_folders[] = {"/usr/share/assimp/models/glTF2/"};

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long long file_size(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

// The largest .glb anywhere below `folder`.
void find_largest_glb(const std::string& folder, std::string& best, long long& best_size) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + name;
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) continue;
        if (S_ISDIR(status.st_mode)) {
            find_largest_glb(path + "/", best, best_size);
        } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".glb") == 0 && status.st_size > best_size) {
            best_size = status.st_size;
            best = path;
        }
    }
    ::closedir(dir);
}

// A grid of columns x rows squares, two triangles each, over z = 0.1 sin(x) cos(y).
struct grid {
    int columns, rows;
    std::uint32_t vertex(int column, int row) const { return std::uint32_t(row * (columns + 1) + column); }
    float x(int column) const { return column * 0.01f; }
    float y(int row) const { return row * 0.01f; }
    float z(int column, int row) const { return 0.1f * std::sin(x(column)) * std::cos(y(row)); }
};

template <class T>
void append(std::string& out, const T* values, std::size_t count) {
    out.append(reinterpret_cast<const char*>(values), count * sizeof(T));  // little-endian hosts only, as the bench runs
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
            const std::uint32_t a = g.vertex(c, r), b = g.vertex(c + 1, r), d = g.vertex(c, r + 1), e = g.vertex(c + 1, r + 1);
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
    std::string text = json;
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

bool write_binary_stl(const std::string& path, const grid& g) {
    std::string out(80, '\0');
    const std::uint32_t count = 2u * g.columns * g.rows;
    append(out, &count, 1);
    const float normal[3] = {0, 0, 1};
    const std::uint16_t attributes = 0;
    auto facet = [&](int c0, int r0, int c1, int r1, int c2, int r2) {
        append(out, normal, 3);
        for (const auto& [c, r] : {std::pair{c0, r0}, std::pair{c1, r1}, std::pair{c2, r2}}) {
            const float p[3] = {g.x(c), g.y(r), g.z(c, r)};
            append(out, p, 3);
        }
        append(out, &attributes, 1);
    };
    for (int r = 0; r < g.rows; ++r)
        for (int c = 0; c < g.columns; ++c) {
            facet(c, r, c + 1, r, c + 1, r + 1);
            facet(c, r, c + 1, r + 1, c, r + 1);
        }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    std::fwrite(out.data(), 1, out.size(), file);
    return std::fclose(file) == 0;
}

// The median load time in seconds, or a negative number when it fails.
double measure(const std::string& label, const std::string& path, int rounds) {
    std::vector<double> times;
    engine::model m;
    engine::load_outcome outcome;
    for (int i = 0; i < rounds; ++i) {
        const double start = seconds_now();
        outcome = engine::load_model_file(path, m);
        times.push_back(seconds_now() - start);
        if (!outcome.ok) break;
    }
    if (!outcome.ok) {
        std::printf("%-34s failed: %s\n", label.c_str(), outcome.message.c_str());
        return -1.0;
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("%-34s %9.1f ms  %8zu triangles  %7.1f MB  (best %.1f ms, %d rounds)\n", label.c_str(), median * 1e3,
                m.geometry.triangle_count(), file_size(path) / 1e6, times.front() * 1e3, rounds);
    return median;
}

}  // namespace

// Argument: the folder for the generated files (default: the build folder).
int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : QUELTO_BENCH_FOLDER;
    if (folder.back() != '/') folder += '/';

    std::string largest;
    long long largest_size = -1;
    for (const char* f : assimp_gltf_folders) find_largest_glb(f, largest, largest_size);
    if (largest.empty())
        std::printf("no GLB among the assimp test models (package assimp-testmodels)\n");
    else
        measure(largest.substr(largest.rfind('/') + 1), largest, 21);

    const grid million{1000, 500};  // 1000 x 500 squares: 1,000,000 triangles
    const std::string glb = folder + "grid_1m.glb", stl = folder + "grid_1m_floor.stl";
    if (!write_glb(glb, million) || !write_binary_stl(stl, million)) {
        std::printf("could not write the generated models into %s\n", folder.c_str());
        return 1;
    }
    const double glb_time = measure("grid_1m.glb (generated)", glb, 7);
    const double stl_time = measure("grid_1m.stl (generated, binary)", stl, 7);
    if (glb_time > 0 && stl_time > 0)
        std::printf("GLB / binary STL, same 1,000,000 triangles: %.2f (goal: at most 1.5)\n", glb_time / stl_time);
    return 0;
}
