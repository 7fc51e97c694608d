// Frame time of the software renderer against Mesa's llvmpipe (through
// OSMesa), both drawing the same model at 1280x1024: a bumpy sphere of 100k
// or 1M triangles, smooth normals, a 256x256 texture read bilinearly, one
// white light from the camera with highlights, depth test, back faces
// culled, four samples a pixel on edges.
//
// llvmpipe runs the GLSL statement of the shading model the oracle test
// checks the renderer against (tests/mesa_shading.h) into a 4x multisampled
// frame buffer resolved into a plain one; the mesh sits in buffer objects,
// indexed, so neither side pays for uploads per frame. It reads
// LP_NUM_THREADS once, when its first context is made: each thread count is
// measured in a child process of its own.
//
// Ours is measured on one thread and on all cores, with the quality
// renderer (light per pixel, anti-aliased) and with the fast one (light at
// the corners, no anti-aliasing). Last, the memory a loaded model holds:
// the model as read from an OBJ file, what is prepared for drawing, and the
// renderer's per-vertex scratch.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <glm/gtc/type_ptr.hpp>

#include "control/engine/render/lighting.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/render/renderer.h"
#include "control/engine/render/view_transform.h"
#include "control/engine/render/worker_pool.h"
#include "bench/native/heap_counter.h"
#include "control/engine/render/prepared_model.h"
#include "tests/mesa_shading.h"

namespace {

constexpr int width = 1280, height = 1024;
constexpr std::uint32_t background = 0x00402818;  // COLORREF

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A closed sphere with bumps, `stacks` x 2 `stacks` quads, two triangles
// each (one at the poles), counter-clockwise seen from outside, the texture
// wrapped around it once: the seam's corners share positions but not
// texture coordinates, so back faces are culled as in GL.
engine::model textured_sphere(int stacks) {
    engine::model m;
    engine::mesh& g = m.geometry;
    const int slices = 2 * stacks;
    const float pi = 3.14159265f;
    auto position = [&](int i, int j) -> std::uint32_t {
        if (i == 0) return 0;
        if (i == stacks) return std::uint32_t(1 + (stacks - 1) * slices);
        return std::uint32_t(1 + (i - 1) * slices + j % slices);
    };
    for (int i = 0; i <= stacks; ++i) {
        for (int j = 0; j < (i == 0 || i == stacks ? 1 : slices); ++j) {
            const float theta = pi * float(i) / float(stacks), phi = 2 * pi * float(j) / float(slices);
            const float r = 1.0f + 0.04f * std::sin(7 * theta) * std::sin(9 * phi);
            g.positions.push_back(
                {r * std::sin(theta) * std::cos(phi), r * std::cos(theta), -r * std::sin(theta) * std::sin(phi)});
        }
        for (int j = 0; j <= slices; ++j) g.texcoords.push_back({float(j) / float(slices), 1.0f - float(i) / float(stacks)});
    }
    auto corner = [&](int i, int j) {
        return engine::corner{position(i, j), std::uint32_t(i * (slices + 1) + j)};
    };
    for (int i = 0; i < stacks; ++i) {
        for (int j = 0; j < slices; ++j) {
            if (i > 0) {
                for (const engine::corner& c : {corner(i, j), corner(i + 1, j), corner(i, j + 1)}) g.corners.push_back(c);
                g.triangle_material.push_back(0);
            }
            if (i + 1 < stacks) {
                for (const engine::corner& c : {corner(i, j + 1), corner(i + 1, j), corner(i + 1, j + 1)})
                    g.corners.push_back(c);
                g.triangle_material.push_back(0);
            }
        }
    }
    engine::picture texture{256, 256, {}};
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            const bool light = ((x / 32) + (y / 32)) % 2 == 0;
            const std::uint32_t shade = std::uint32_t(0x40 + (x ^ y) % 64);
            texture.pixels.push_back(light ? 0xFFE0C080 - shade : 0xFF305090 + shade);
        }
    m.textures.push_back(texture);
    engine::material look;
    look.diffuse = glm::vec3(1.0f);
    look.specular = glm::vec3(0.5f);
    look.shininess = 32.0f;
    look.diffuse_texture = 0;
    m.materials.push_back(look);
    engine::compute_bounds(m);
    return m;
}

engine::view_settings quality_settings() {
    engine::view_settings s;  // solid, smooth, headlight, quality renderer
    s.specular = true;
    s.background = background;
    return s;
}

engine::camera framed_camera(const engine::model& m) { return engine::frame_bounds(m.bounds_min, m.bounds_max); }

struct our_figures {
    double one = 0, all = 0;  // ms
};

our_figures measure_ours(const engine::model& m, const engine::view_settings& settings, int cores, int rounds) {
    std::vector<std::uint32_t> pixels(std::size_t(width) * height);
    engine::frame target{width, height, width, pixels.data()};
    const auto prepared = engine::prepare_model(m, settings.smoothing, settings.crease_angle_degrees);
    const engine::camera view = framed_camera(m);
    engine::worker_pool single(1), every(cores);
    for (int i = 0; i < 2; ++i) {
        engine::render(prepared.get(), settings, view, target, &single);
        engine::render(prepared.get(), settings, view, target, &every);
    }
    std::vector<double> one, all;
    for (int i = 0; i < rounds; ++i) {  // alternated, so that both see the same machine load
        double start = seconds_now();
        engine::render(prepared.get(), settings, view, target, &single);
        one.push_back(seconds_now() - start);
        start = seconds_now();
        engine::render(prepared.get(), settings, view, target, &every);
        all.push_back(seconds_now() - start);
    }
    return {median(one) * 1e3, median(all) * 1e3};
}

// The same sphere with a physically based material (the BRDF, the studio
// room, tone mapping) against its Blinn-Phong material, measured in turn.
void report_physical_cost(const engine::model& plain, int cores) {
    engine::model physical = plain;
    for (engine::material& m : physical.materials) m.physical = true, m.metallic = 0.5f, m.roughness = 0.5f;
    const our_figures before = measure_ours(plain, quality_settings(), cores, 5);
    const our_figures after = measure_ours(physical, quality_settings(), cores, 5);
    std::printf("physically based material (metallic 0.5, roughness 0.5), %zu triangles, quality: %.1f ms on 1 thread, "
                "%.1f on %d; Blinn-Phong in the same run %.1f and %.1f: %.2fx and %.2fx (goal <= 1.5x)\n",
                physical.geometry.triangle_count(), after.one, after.all, cores, before.one, before.all,
                after.one / before.one, after.all / before.all);
}

// The frame after LOADFILE is a new pool's first: its time against the
// frames after it, and how many of the pool's threads take part in a new
// pool's first run (tasks that sleep, so that every thread can get some).
void report_first_frame(const engine::model& m, int cores) {
    std::vector<std::uint32_t> pixels(std::size_t(width) * height);
    engine::frame target{width, height, width, pixels.data()};
    const engine::view_settings settings = quality_settings();
    const auto prepared = engine::prepare_model(m, settings.smoothing, settings.crease_angle_degrees);
    const engine::camera view = framed_camera(m);
    engine::render(prepared.get(), settings, view, target);  // the scratch memory, as a control has it
    std::vector<double> first, later;
    for (int round = 0; round < 5; ++round) {
        engine::worker_pool pool(cores);
        double start = seconds_now();
        engine::render(prepared.get(), settings, view, target, &pool);
        first.push_back(seconds_now() - start);
        start = seconds_now();
        engine::render(prepared.get(), settings, view, target, &pool);
        later.push_back(seconds_now() - start);
    }
    engine::worker_pool pool(cores);
    std::mutex lock;
    std::set<std::thread::id> took_part;
    pool.run(8 * cores, [&](int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::lock_guard<std::mutex> hold(lock);
        took_part.insert(std::this_thread::get_id());
    });
    std::printf("first frame of a new pool (the frame after LOADFILE), %zu triangles: %.1f ms, the next %.1f ms "
                "(first / next %.2f); threads taking part in a new pool's first run: %zu of %d\n",
                m.geometry.triangle_count(), median(first) * 1e3, median(later) * 1e3, median(first) / median(later),
                took_part.size(), cores);
}

using mesa_peer::gl_vertex;

// llvmpipe's median frame time in ms, or a negative number when it could
// not draw; run in a child process, after LP_NUM_THREADS is set.
double measure_llvmpipe(const engine::model& m, int rounds) {
    const mesa_peer::context gl(width, height, mesa_peer::profile::core_3_3);
    if (!gl.ok()) return -1;
    std::string log;
    const GLuint program = mesa_peer::link_shading_program(log);
    const mesa_peer::multisampled_target target(width, height);
    if (!program || !target.ready()) {
        std::fprintf(stderr, "render_bench: llvmpipe cannot draw: %s\n", log.c_str());
        return -1;
    }
    const engine::mesh& g = m.geometry;
    // One GL vertex per texture coordinate: each belongs to one position.
    const std::vector<glm::vec3> normals = mesa_peer::area_weighted_normals(g);
    std::vector<gl_vertex> vertices(g.texcoords.size());
    std::vector<std::uint32_t> indices;
    for (const engine::corner& c : g.corners) {
        vertices[c.texcoord] = {g.positions[c.position], normals[c.position], glm::vec3(1.0f), g.texcoords[c.texcoord]};
        indices.push_back(c.texcoord);
    }
    GLuint vertex_array = 0, buffers[2] = {0, 0}, texture = 0;
    glGenVertexArrays(1, &vertex_array);
    glBindVertexArray(vertex_array);
    glGenBuffers(2, buffers);
    glBindBuffer(GL_ARRAY_BUFFER, buffers[0]);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(vertices.size() * sizeof(gl_vertex)), vertices.data(), GL_STATIC_DRAW);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, buffers[1]);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(indices.size() * 4), indices.data(), GL_STATIC_DRAW);
mesa_peer::describe_gl_vertices();
    const engine::picture& p = m.textures[0];
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, p.width, p.height, 0, GL_BGRA, GL_UNSIGNED_BYTE, p.pixels.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);

    const engine::camera view = framed_camera(m);
    const engine::view_settings settings = quality_settings();
    const engine::view_transform axes = engine::make_view_transform(view, width, height);
    const engine::lighting lights = engine::make_lighting(settings.lights, 1.0f, true, axes.forward);
    const glm::mat4 clip = mesa_peer::world_to_clip(view, width, height);
    glUseProgram(program);
    auto uniform = [&](const char* name) { return glGetUniformLocation(program, name); };
    glUniformMatrix4fv(uniform("world_to_clip"), 1, GL_FALSE, glm::value_ptr(clip));
    glUniform1i(uniform("light_count"), lights.count);
    glUniform3fv(uniform("towards[0]"), 1, glm::value_ptr(lights.lights[0].towards));
    glUniform3fv(uniform("light_colour[0]"), 1, glm::value_ptr(lights.lights[0].colour));
    glUniform3fv(uniform("half_vector[0]"), 1, glm::value_ptr(lights.lights[0].half));
    glUniform3fv(uniform("ambient"), 1, glm::value_ptr(lights.ambient));
    glUniform1i(uniform("specular_on"), 1);
    glUniform1i(uniform("two_sided"), 0);
    glUniform1i(uniform("textured"), 1);
    glUniform1i(uniform("diffuse_map"), 0);
    glUniform3fv(uniform("specular_colour"), 1, glm::value_ptr(m.materials[0].specular));
    glUniform1f(uniform("shininess"), m.materials[0].shininess);
    glUniform3f(uniform("emissive"), 0, 0, 0);
    glUniform1f(uniform("opacity"), 1);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    glEnable(GL_MULTISAMPLE);
    glClearColor(float(background & 0xFF) / 255, float((background >> 8) & 0xFF) / 255,
                 float((background >> 16) & 0xFF) / 255, 1.0f);

    auto draw = [&] {
        target.bind();
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glDrawElements(GL_TRIANGLES, GLsizei(indices.size()), GL_UNSIGNED_INT, nullptr);
        target.resolve();
        glFinish();
    };
    for (int i = 0; i < 3; ++i) draw();  // llvmpipe compiles its shaders on first use
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const double start = seconds_now();
        draw();
        times.push_back(seconds_now() - start);
    }
    const bool clean = glGetError() == GL_NO_ERROR;
    glDeleteTextures(1, &texture);
    glDeleteBuffers(2, buffers);
    glDeleteVertexArrays(1, &vertex_array);
    glDeleteProgram(program);
    return clean ? median(times) * 1e3 : -1;
}

// measure_llvmpipe in a child process with LP_NUM_THREADS = threads.
double llvmpipe_in_child(const engine::model& m, int threads, int rounds) {
    int channel[2];
    if (pipe(channel) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        setenv("LP_NUM_THREADS", std::to_string(threads).c_str(), 1);
        setenv("GALLIUM_DRIVER", "llvmpipe", 1);
        const double ms = measure_llvmpipe(m, rounds);
        const ssize_t written = write(channel[1], &ms, sizeof ms);
        _exit(written == sizeof ms ? 0 : 1);
    }
    close(channel[1]);
    double ms = -1;
    if (child < 0 || read(channel[0], &ms, sizeof ms) != sizeof ms) ms = -1;
    close(channel[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    return ms;
}

bool write_obj(const std::string& path, const engine::model& m) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    for (const glm::vec3& p : m.geometry.positions) std::fprintf(file, "v %.6f %.6f %.6f\n", p.x, p.y, p.z);
    for (const glm::vec2& t : m.geometry.texcoords) std::fprintf(file, "vt %.6f %.6f\n", t.x, t.y);
    const auto& c = m.geometry.corners;
    for (std::size_t i = 0; i + 2 < c.size(); i += 3)
        std::fprintf(file, "f %u/%u %u/%u %u/%u\n", c[i].position + 1, c[i].texcoord + 1, c[i + 1].position + 1,
                     c[i + 1].texcoord + 1, c[i + 2].position + 1, c[i + 2].texcoord + 1);
    return std::fclose(file) == 0;
}

bool write_binary_stl(const std::string& path, const engine::model& m) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const auto& c = m.geometry.corners;
    const std::uint32_t count = std::uint32_t(c.size() / 3);
    char header[80] = "render_bench sphere";
    std::fwrite(header, 1, 80, file);
    std::fwrite(&count, 4, 1, file);
    for (std::size_t i = 0; i + 2 < c.size(); i += 3) {
        float record[12] = {};
        for (int k = 0; k < 3; ++k)
            for (int a = 0; a < 3; ++a) record[3 + 3 * k + a] = m.geometry.positions[c[i + k].position][a];
        const std::uint16_t attributes = 0;
        std::fwrite(record, 4, 12, file);
        std::fwrite(&attributes, 2, 1, file);
    }
    return std::fclose(file) == 0;
}

template <class T>
double held(const std::vector<T>& v) {
    return double(v.capacity() * sizeof(T));
}

// What a model loaded from a file holds, in bytes per triangle: the model,
// its prepared form, and the renderer's scratch after a frame drawn in bands
// on two threads, as the control draws (small, so that the per-pixel buffers
// hardly count); each with its largest parts. The peak is the most heap held
// while the model was made ready to draw.
void report_memory(const engine::model& sphere, bool as_stl) {
    const std::string path = as_stl ? "render_bench_sphere.stl" : "render_bench_sphere.obj";
    if (!(as_stl ? write_binary_stl(path, sphere) : write_obj(path, sphere))) {
        std::printf("memory: cannot write %s\n", path.c_str());
        return;
    }
    const std::size_t start = bench_heap::live();
    engine::model loaded;
    const engine::load_outcome outcome = engine::load_model_file(path, loaded);
    std::remove(path.c_str());
    if (!outcome.ok) {
        std::printf("memory: %s\n", outcome.message.c_str());
        return;
    }
    const std::size_t after_load = bench_heap::live();
    const engine::mesh& g = loaded.geometry;
    const double loaded_corners = held(g.corners), loaded_materials = held(g.triangle_material);
    bench_heap::reset_peak();
    const engine::view_settings settings = quality_settings();
    auto prepared = engine::prepare_model(loaded, settings.smoothing, settings.crease_angle_degrees);
    const std::size_t after_prepare = bench_heap::live(), prepare_peak = bench_heap::peak();
    // As the control keeps it: the prepared form holds the triangles.
    engine::release_triangles(loaded);
    const std::size_t after_release = bench_heap::live();
    std::vector<std::uint32_t> pixels(64 * 64);
    engine::frame small{64, 64, 64, pixels.data()};
    const std::size_t before_frame = bench_heap::live();
    {
        engine::worker_pool pool(2);
        engine::render(prepared.get(), settings, framed_camera(loaded), small, &pool);
    }
    const double scratch = double(bench_heap::live()) - double(before_frame);
    const double triangles = double(prepared->triangle_count());
    auto per = [&](double bytes) { return bytes / triangles; };
    const engine::prepared_model& p = *prepared;
    const double model_kept = double(after_release) - double(start) - (double(after_prepare) - double(after_load));
    std::printf("memory held per triangle, %s (%.0f triangles, %zu positions, %zu vertices drawn): in all %.1f B "
                "(goal <= 48)\n",
                as_stl ? "binary STL" : "OBJ with texture coordinates", triangles, g.positions.size(),
                p.vertices.size(), per(double(after_release) - double(start) + scratch));
    std::printf("  model %.1f B (positions %.1f, texture coordinates %.1f; as loaded %.1f with corners %.1f and "
                "materials %.1f, which the prepared form then holds); prepared %.1f B (vertices %.1f, triangles %.1f, "
                "materials %.1f, flags %.1f); scratch %.1f B; peak while preparing %.1f B over the model as loaded\n",
                per(model_kept), per(held(g.positions)), per(held(g.texcoords)), per(double(after_load - start)),
                per(loaded_corners), per(loaded_materials), per(double(after_prepare) - double(after_load)),
                per(held(p.vertices)), per(held(p.triangles)), per(held(p.triangle_material)),
                per(held(p.triangle_flags)), per(scratch), per(double(prepare_peak) - double(after_load)));

    // The control prepares a model giving its triangles up on the way.
    engine::restore_triangles(loaded, p);
    prepared.reset();
    const std::size_t restored = bench_heap::live();
    bench_heap::reset_peak();
    const auto released = engine::prepare_releasing_triangles(loaded, settings.smoothing, settings.crease_angle_degrees);
    std::printf("  peak while preparing as the control does, giving the model's triangles up on the way: %.1f B over "
                "the model as loaded\n",
                per(double(bench_heap::peak()) - double(restored)));
}

}  // namespace

int main() {
    // First, before the renderer keeps scratch memory from frame to frame.
    // Each in a child process of its own: the renderer keeps its scratch
    // from frame to frame, which a second model of the same size would reuse.
    for (bool as_stl : {false, true}) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            report_memory(textured_sphere(501), as_stl);
            std::fflush(stdout);
            _exit(0);
        }
        if (child > 0) waitpid(child, nullptr, 0);
    }
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    std::printf("%dx%d, lit, smooth, textured, 4 samples a pixel on edges; ours on 1 thread and on %d, "
                "llvmpipe (GLSL, 4x MSAA) with LP_NUM_THREADS 1 and %d\n",
                width, height, cores, cores);
    std::printf("%9s | %-28s | %-26s | %-17s | %-19s\n", "", "ours, quality: ms (scaling)", "llvmpipe: ms",
                "ours / llvmpipe", "ours, fast: ms");
    std::printf("%9s | %8s %8s %9s | %8s %8s %8s | %8s %8s | %9s %9s\n", "triangles", "1 thread", "all", "scaling",
                "1 thread", "all", "scaling", "1 thread", "all", "1 thread", "all");
    for (int stacks : {159, 501}) {
        const engine::model m = textured_sphere(stacks);
        const int rounds = stacks > 200 ? 5 : 9;
        const our_figures quality = measure_ours(m, quality_settings(), cores, rounds);
        engine::view_settings fast_settings = quality_settings();
        fast_settings.fast_renderer = true;
        const our_figures fast = measure_ours(m, fast_settings, cores, rounds);
        const double gl_one = llvmpipe_in_child(m, 1, rounds), gl_all = llvmpipe_in_child(m, cores, rounds);
        std::printf("%9zu | %8.1f %8.1f %5.2f/%-3d | %8.1f %8.1f %8.2f | %8.2f %8.2f | %9.1f %9.1f\n",
                    m.geometry.triangle_count(), quality.one, quality.all, quality.one / quality.all, cores, gl_one,
                    gl_all, gl_one / gl_all, quality.one / gl_one, quality.all / gl_all, fast.one, fast.all);
    }
    std::printf("goals: scaling >= %.1f, ours / llvmpipe <= 0.5 at the same thread count\n", 0.9 * cores);
    report_physical_cost(textured_sphere(501), cores);
    report_first_frame(textured_sphere(501), cores);
    return 0;
}
