// The hostile model set (tests/corpus/hostile, written by
// tests/hostile/make_hostile_models.py): files under 1 MB, with pictures
// under 1 MB, that name network shares and devices or unpack to gigabytes.
// Each is loaded, prepared and drawn once in a child process of its own
// under an address-space limit, which reports what it came to, its peak
// memory and its time. Built optimised and without sanitizers, whose shadow
// memory would hide what the engine itself takes (and which is why it is a
// plain program, without the sanitized GoogleTest library).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/render/renderer.h"

namespace {

struct result {
    bool ran = false, ok = false;
    std::size_t textures = 0;
    long peak_kb = 0, start_kb = 0;
    double seconds = 0;
    std::string line;  // the warning when loaded, the message when refused
};

long peak_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Loads, prepares and draws `path` in a child limited to 1 GB of address
// space (a regression then fails fast instead of swapping).
result load_in_child(const std::string& path) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        const rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
        setrlimit(RLIMIT_AS, &limit);
        const long start = peak_kb();
        const auto began = std::chrono::steady_clock::now();
        engine::model m;
        const engine::load_outcome outcome = engine::load_model_file(path, m);
        if (outcome.ok) {
            const auto prepared = engine::prepare_model(m, true, 60.0f);
            std::uint32_t pixels[64 * 64] = {};
            engine::frame target{64, 64, 64, pixels};
            engine::render(prepared.get(), {}, engine::frame_bounds(m.bounds_min, m.bounds_max), target);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const std::string report = std::to_string(outcome.ok) + " " + std::to_string(m.textures.size()) + " " +
                                   std::to_string(start) + " " + std::to_string(peak_kb()) + " " +
                                   std::to_string(seconds) + " " + (outcome.ok ? outcome.warning : outcome.message);
        if (write(pipe_ends[1], report.data(), report.size()) < 0) _exit(2);
        _exit(0);
    }
    close(pipe_ends[1]);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) report.append(buffer, std::size_t(n));
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result r;
    int ok = 0, consumed = 0;
    unsigned long textures = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(report.c_str(), "%d %lu %ld %ld %lf %n", &ok, &textures, &r.start_kb, &r.peak_kb, &r.seconds,
                    &consumed) < 5)
        return r;
    r.ran = true;
    r.ok = ok != 0;
    r.textures = textures;
    r.line = report.substr(static_cast<std::size_t>(consumed));
    return r;
}

int failures = 0;

void expect(bool holds, const char* file, const std::string& what) {
    if (holds) return;
    ++failures;
    std::printf("FAILED %s: %s\n", file, what.c_str());
}

}  // namespace

// Each file loads or is refused with its line, within 256 MB more than the
// process had before and 2 seconds.
int main() {
    const std::string folder = QUELTO_HOSTILE_FOLDER "/";
    struct expected {
        const char* file;
        bool loads;
        const char* line_holds;
        std::size_t textures;
    };
    const expected cases[] = {
        {"network_names.obj", true, "material library \\\\evil-host\\share\\lib.mtl is a network name", 0},
        {"network_buffer.gltf", false, "its buffer //evil-host/share/triangle.bin is a network name", 0},
        {"network_pictures.gltf", true, "texture \\\\evil-host\\share\\skin.png is a network name", 0},
        {"zero_filled.gltf", false, "has accessors without data (read as zeros) for 481 MB", 0},
        {"sparse_zero.gltf", false, "has accessors without data (read as zeros) for 229 MB", 0},
        {"instanced.gltf", false, "of geometry out of", 0},
        {"pixel_bomb.obj", true, "is 8192 x 8192 pixels, more than this model's pictures may take", 0},
        {"picture_count.gltf", true, "", 1},
        {"embedded_bombs.gltf", true, "more than this model's pictures may take", 1},
    };
    for (const expected& c : cases) {
        const result r = load_in_child(folder + c.file);
        std::printf("%-22s %-7s %4ld MB at the peak, %.3f s: %s\n", c.file, !r.ran ? "CRASHED" : r.ok ? "loaded" : "refused",
                    (r.peak_kb - r.start_kb) >> 10, r.seconds, r.line.c_str());
        expect(r.ran, c.file, "the child crashed or was killed");
        if (!r.ran) continue;
        expect(r.ok == c.loads, c.file, c.loads ? "should load" : "should be refused");
        expect(r.line.find(c.line_holds) != std::string::npos, c.file, std::string("the line lacks: ") + c.line_holds);
        expect(r.line.find('\n') == std::string::npos, c.file, "the line is one line");
        expect(r.textures == c.textures, c.file, "textures: " + std::to_string(r.textures));
        expect(r.peak_kb - r.start_kb <= 256 * 1024, c.file, "more than 256 MB at the peak");
        expect(r.seconds <= 2.0, c.file, "more than 2 seconds");
    }
    std::printf("%s\n", failures ? "hostile models: FAILED" : "hostile models: all within their limits");
    return failures ? 1 : 0;
}
