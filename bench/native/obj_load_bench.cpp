// Model load times, native and optimised: the largest OBJ of Debian's assimp
// test models, and a generated grid of one million triangles as OBJ and as
// binary STL (written beside the benchmark), with the OBJ's time per
// triangle against the binary STL's, the floor for reading a model. Medians
// of a few rounds: the machines are shared.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <malloc.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "control/engine/model_loaders.h"

namespace {

constexpr const char* assimp_obj_folder = "/usr/share/assimp/models/OBJ/";

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long long file_size(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

std::string largest_obj(const char* folder) {
    std::string best;
    long long best_size = -1;
    if (DIR* dir = ::opendir(folder)) {
        while (dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() < 4 || name.compare(name.size() - 4, 4, ".obj") != 0) continue;
            const long long size = file_size(folder + name);
            if (size > best_size) best_size = size, best = folder + name;
        }
        ::closedir(dir);
    }
    return best;
}

// A grid of columns x rows squares, two triangles each, over z = sin(x) cos(y).
struct grid {
    int columns, rows;
    int vertex(int column, int row) const { return row * (columns + 1) + column; }
    float x(int column) const { return column * 0.01f; }
    float y(int row) const { return row * 0.01f; }
};

bool write_obj(const std::string& path, const grid& g) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    for (int r = 0; r <= g.rows; ++r)
        for (int c = 0; c <= g.columns; ++c)
            std::fprintf(file, "v %.4f %.4f %.4f\n", g.x(c), g.y(r), 0.1 * std::sin(g.x(c)) * std::cos(g.y(r)));
    for (int r = 0; r < g.rows; ++r)
        for (int c = 0; c < g.columns; ++c) {
            const int a = g.vertex(c, r) + 1, b = g.vertex(c + 1, r) + 1, d = g.vertex(c, r + 1) + 1,
                      e = g.vertex(c + 1, r + 1) + 1;
            std::fprintf(file, "f %d %d %d\nf %d %d %d\n", a, b, e, a, e, d);
        }
    return std::fclose(file) == 0;
}

bool write_binary_stl(const std::string& path, const grid& g) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    char header[80] = "generated grid";
    std::fwrite(header, 1, sizeof header, file);
    const std::uint32_t count = 2u * g.columns * g.rows;
    std::fwrite(&count, 4, 1, file);  // little-endian hosts only, as the benchmark runs
    auto corner = [&](int c, int r) {
        const float p[3] = {g.x(c), g.y(r), 0.1f * std::sin(g.x(c)) * std::cos(g.y(r))};
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

timing measure(const std::string& label, const std::string& path, int rounds) {
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

    const std::string assimp = largest_obj(assimp_obj_folder);
    if (assimp.empty())
        std::printf("no OBJ in %s (package assimp-testmodels)\n", assimp_obj_folder);
    else
        measure(assimp.substr(assimp.rfind('/') + 1), assimp, 21);

    const grid million{1000, 500};  // 1000 x 500 squares: 1,000,000 triangles
    const std::string obj = folder + "grid_1m.obj", stl = folder + "grid_1m.stl";
    if (!write_obj(obj, million) || !write_binary_stl(stl, million)) {
        std::printf("could not write the generated models into %s\n", folder.c_str());
        return 1;
    }
    const timing text = measure("grid_1m.obj (generated)", obj, 5);
    const timing binary = measure("grid_1m.stl (generated, binary)", stl, 5);
    if (text.ok && binary.ok) {
        const double text_each = text.median / text.triangles, binary_each = binary.median / binary.triangles;
        std::printf("OBJ/STL time per triangle: %.2f (OBJ %.1f ns, binary STL %.1f ns per triangle)\n",
                    text_each / binary_each, text_each * 1e9, binary_each * 1e9);
    }
    return 0;
}
