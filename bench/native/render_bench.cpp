// Frame time of the software renderer against Mesa's llvmpipe (through
// OSMesa, one thread), both drawing the same generated mesh at 800x600:
// a bumpy sphere, smooth normals, one white directional light from the
// camera, depth test, back faces culled.
//
// What each computes: ours lights every shared vertex once per frame
// (ambient 0.2 + 0.8 * max(0, n.l), times the grey material) and
// interpolates the colour perspective-correctly; llvmpipe runs the
// fixed-function GL_LIGHTING per vertex with the same terms and
// interpolates the colour as GL does. The mesh lives in a vertex buffer
// object for GL, so neither side pays for uploads per frame.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <glm/gtc/matrix_transform.hpp>
#include <vector>

#include "control/engine/renderer.h"
#include "tests/mesa_context.h"

namespace {

constexpr int width = 800, height = 600;

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A sphere with bumps, `stacks` x 2 `stacks` quads, two triangles each,
// counter-clockwise seen from outside.
engine::model bumpy_sphere(int stacks) {
    engine::model m;
    engine::mesh& g = m.geometry;
    const int slices = 2 * stacks;
    const float pi = 3.14159265f;
    for (int i = 0; i <= stacks; ++i) {
        for (int j = 0; j <= slices; ++j) {
            const float theta = pi * static_cast<float>(i) / stacks, phi = 2 * pi * static_cast<float>(j) / slices;
            const float r = 1.0f + 0.04f * std::sin(7 * theta) * std::sin(9 * phi);
            g.positions.push_back(
                {r * std::sin(theta) * std::cos(phi), r * std::cos(theta), -r * std::sin(theta) * std::sin(phi)});
        }
    }
    for (int i = 0; i < stacks; ++i) {
        for (int j = 0; j < slices; ++j) {
            const std::uint32_t a = i * (slices + 1) + j, b = a + slices + 1;
            for (std::uint32_t k : {a, b, a + 1, a + 1, b, b + 1}) g.corners.push_back({k});
            g.triangle_material.push_back(-1);
            g.triangle_material.push_back(-1);
        }
    }
    engine::compute_bounds(m);
    return m;
}

struct gl_mesh {
    GLuint buffers[3] = {0, 0, 0};
    GLsizei index_count = 0;
};

gl_mesh upload(const engine::mesh& g) {
    gl_mesh out;
    const std::vector<glm::vec3> normals = mesa_peer::area_weighted_normals(g);
    std::vector<std::uint32_t> indices;
    for (const engine::corner& c : g.corners) indices.push_back(c.position);
    glGenBuffers(3, out.buffers);
    glBindBuffer(GL_ARRAY_BUFFER, out.buffers[0]);
    glBufferData(GL_ARRAY_BUFFER, g.positions.size() * sizeof(glm::vec3), g.positions.data(), GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, out.buffers[1]);
    glBufferData(GL_ARRAY_BUFFER, normals.size() * sizeof(glm::vec3), normals.data(), GL_STATIC_DRAW);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, out.buffers[2]);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, indices.size() * sizeof(std::uint32_t), indices.data(), GL_STATIC_DRAW);
    out.index_count = static_cast<GLsizei>(indices.size());
    return out;
}

void gl_setup(const engine::camera& view) {
    glViewport(0, 0, width, height);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glEnable(GL_CULL_FACE);
    glShadeModel(GL_SMOOTH);
    glClearColor(0.0f, 0.0f, 1.0f, 0.0f);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    // The same projection as ours: the field of view spans the frame's height.
    const double near_plane = 0.01, far_plane = 100.0;
    const double top = near_plane * std::tan(0.5 * view.fov_degrees * 3.14159265358979 / 180.0);
    glFrustum(-top * width / height, top * width / height, -top, top, near_plane, far_plane);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    // A headlight: the light's direction is given in eye space.
    const GLfloat light_direction[] = {0, 0, 1, 0}, white[] = {0.8f, 0.8f, 0.8f, 1}, black[] = {0, 0, 0, 1};
    const GLfloat ambient[] = {0.2f, 0.2f, 0.2f, 1}, grey[] = {0.8f, 0.8f, 0.8f, 1};
    glLightfv(GL_LIGHT0, GL_POSITION, light_direction);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, white);
    glLightfv(GL_LIGHT0, GL_SPECULAR, black);
    glLightfv(GL_LIGHT0, GL_AMBIENT, black);
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambient);
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, grey);
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, grey);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, black);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    const glm::vec3 eye = engine::camera_eye(view);
    const glm::mat4 look = glm::lookAt(eye, view.target, glm::vec3(0, 1, 0));
    glLoadMatrixf(&look[0][0]);
}

void gl_draw(const gl_mesh& m) {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glBindBuffer(GL_ARRAY_BUFFER, m.buffers[0]);
    glVertexPointer(3, GL_FLOAT, 0, nullptr);
    glBindBuffer(GL_ARRAY_BUFFER, m.buffers[1]);
    glNormalPointer(GL_FLOAT, 0, nullptr);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, m.buffers[2]);
    glDrawElements(GL_TRIANGLES, m.index_count, GL_UNSIGNED_INT, nullptr);
    glFinish();
}

// Pixels that are not background, and the mean colour difference over
// pixels both drew (GL's rows run bottom-up).
void compare(const std::vector<std::uint32_t>& ours, const std::vector<std::uint32_t>& gl) {
    long ours_covered = 0, gl_covered = 0, both = 0;
    double difference = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint32_t a = ours[y * width + x] & 0xFFFFFF, b = gl[(height - 1 - y) * width + x] & 0xFFFFFF;
            const bool in_a = a != 0x0000FF, in_b = b != 0x0000FF;
            ours_covered += in_a, gl_covered += in_b;
            if (in_a && in_b) {
                ++both;
                for (int s = 0; s < 24; s += 8)
                    difference += std::abs(int((a >> s) & 0xFF) - int((b >> s) & 0xFF)) / 3.0;
            }
        }
    }
    std::printf("    covered pixels: ours %ld, llvmpipe %ld; mean difference where both drew: %.2f of 255\n",
                ours_covered, gl_covered, both ? difference / both : 0.0);
}

}  // namespace

int main() {
    // One llvmpipe thread, chosen before the context exists.
    setenv("LP_NUM_THREADS", "1", 1);
    setenv("GALLIUM_DRIVER", "llvmpipe", 1);
    std::vector<std::uint32_t> our_pixels(width * height);
    const mesa_peer::context gl(width, height, mesa_peer::profile::compatibility);
    if (!gl.ok()) {
        std::fprintf(stderr, "render_bench: no OSMesa context\n");
        return 1;
    }
    std::printf("peer: %s (LP_NUM_THREADS=1), %dx%d\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)), width,
                height);
    std::printf("%10s %12s %12s %14s %8s\n", "triangles", "prepare ms", "ours ms", "llvmpipe ms", "ratio");

    // Framed as loading a model frames it (the sphere covers about 14% of the
    // frame), then close up (the sphere covers it all): triangle setup
    // dominates the first, pixel work the second.
    for (bool close_up : {false, true}) {
        std::printf("%s\n", close_up ? "close up:" : "framed:");
        for (int stacks : {50, 158, 500}) {
            const engine::model model = bumpy_sphere(stacks);
            const double prepare_start = seconds_now();
            const auto prepared = engine::prepare_model(model, true, 60.0f);
            const double prepare_ms = (seconds_now() - prepare_start) * 1e3;
            engine::camera view = engine::frame_bounds(model.bounds_min, model.bounds_max);
            if (close_up) view.distance = 1.6f;
            engine::view_settings settings;  // solid, smooth, headlight, no specular
            settings.background = 0x00FF0000;
            engine::frame target{width, height, width, our_pixels.data()};

            gl_setup(view);
            const gl_mesh mesh = upload(model.geometry);
            // Warm up both (llvmpipe compiles its shaders on first use), then
            // alternate so that both see the same machine load.
            for (int i = 0; i < 3; ++i) {
                engine::render(prepared.get(), settings, view, target);
                gl_draw(mesh);
            }
            const int rounds = stacks >= 500 ? 9 : 21;
            std::vector<double> ours, theirs;
            for (int i = 0; i < rounds; ++i) {
                double start = seconds_now();
                engine::render(prepared.get(), settings, view, target);
                ours.push_back(seconds_now() - start);
                start = seconds_now();
                gl_draw(mesh);
                theirs.push_back(seconds_now() - start);
            }
            const double a = median(ours) * 1e3, b = median(theirs) * 1e3;
            std::printf("%10zu %12.1f %12.2f %14.2f %8.2f\n", model.geometry.triangle_count(), prepare_ms, a, b, a / b);
            compare(our_pixels, gl.pixels);
            glDeleteBuffers(3, mesh.buffers);
        }
    }
    return 0;
}
