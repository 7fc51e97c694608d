// The model and picture loaders on files nobody here wrote (Debian's
// assimp-testmodels) and on damaged files made here. Expected counts and
// bounds come from the files themselves: facets counted with grep, binary
// counts from the headers, bounds from the vertex lines.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>

#include "control/engine/files/file_paths.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/source_loaders.h"
#include "control/engine/model/polygon_triangulation.h"
#include "control/engine/files/text_tokens.h"
#include "tests/fuzz/fuzz_checks.h"

namespace {

namespace fs = std::filesystem;
using engine::load_outcome;
using engine::model;

const std::string assimp = "/usr/share/assimp/models/";

model load(const std::string& path, load_outcome* outcome = nullptr) {
    model m;
    const load_outcome result = engine::load_model_file(path, m);
    if (outcome) *outcome = result;
    EXPECT_TRUE(result.ok) << result.message;
    return m;
}

// A failure leaves nothing behind and says what failed on one line.
void expect_failure(const load_outcome& outcome, const model& m, const std::string& name,
                    const std::string& says = "") {
    EXPECT_FALSE(outcome.ok) << name;
    EXPECT_TRUE(m.empty() && m.geometry.corners.empty() && m.materials.empty()) << name;
    EXPECT_EQ(outcome.message.find('\n'), std::string::npos) << outcome.message;
    if (!name.empty()) EXPECT_EQ(outcome.message.rfind(name + ": ", 0), 0u) << outcome.message;
    if (!says.empty()) EXPECT_NE(outcome.message.find(says), std::string::npos) << outcome.message;
}

// A damaged-file case: loads or fails as it says, with its triangle count, and
// the warning or message names what was wrong.
template <class Case>
void expect_damage_outcome(const Case& c, const load_outcome& outcome, const model& m) {
    EXPECT_EQ(outcome.ok, c.loads) << c.what << ": " << outcome.message;
    if (c.loads) EXPECT_EQ(m.geometry.triangle_count(), c.triangles) << c.what;
    else expect_failure(outcome, m, "");
    EXPECT_NE((c.loads ? outcome.warning : outcome.message).find(c.says), std::string::npos)
        << c.what << ": '" << outcome.message << outcome.warning << "'";
}

void expect_near(const glm::vec3& actual, const glm::vec3& expected, const std::string& what) {
    const float tolerance = 1e-4f * std::max(1.0f, glm::length(expected));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << what << " axis " << i;
}

// A private folder for written files, removed at the end.
class scratch_folder {
public:
    scratch_folder() {
        char name[] = "/tmp/quelto_loaders_XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~scratch_folder() { fs::remove_all(path_); }
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string path = path_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// --- Debian's assimp test models -----------------------------------------

struct good_file {
    const char* path;
    std::size_t triangles, lines, points;
    glm::vec3 min, max;
};

TEST(AssimpModels, LoadWithTheirTrianglesAndBounds) {
    const glm::vec3 box(0.5f), unit(1.0f), zero(0.0f);
    const glm::vec3 wuson_min(-0.459976f, -0.000566f, -1.62224f), wuson_max(0.459976f, 1.51525f, 1.62224f);
    const good_file files[] = {
        {"OBJ/box.obj", 12, 0, 0, -box, box},  // 6 quads
        {"OBJ/box_UTF16BE.obj", 12, 0, 0, -box, box},
        {"OBJ/box_without_lineending.obj", 12, 0, 0, -box, box},
        {"OBJ/box_mat_with_spaces.obj", 12, 0, 0, -box, box},
        {"OBJ/box_longline.obj", 10 + 934, 0, 0, -box, box},  // 5 quads and one face of 936 corners
        {"OBJ/concave_polygon.obj", 64, 0, 0, {-1.146f, 1.6575f, 1.6055f}, {-1.146f, 3.1425f, 3.0905f}},
        {"OBJ/cube_usemtl.obj", 12, 0, 0, zero, unit},
        {"OBJ/cube_mtllib_after_g.obj", 12, 0, 0, zero, unit},
        {"OBJ/cube_with_vertexcolors.obj", 12, 0, 0, zero, unit},
        {"OBJ/empty_mat.obj", 256, 0, 0, -unit, {1.0f, 2.80246f, 1.0f}},
        {"OBJ/multiple_spaces.obj", 1, 0, 0, unit, glm::vec3(3.0f)},
        {"OBJ/number_formats.obj", 1, 0, 0, {-1, -2, -3}, {1, 2, 3}},  // "f 1 2 4": the used vertices only
        {"OBJ/point_cloud.obj", 0, 0, 3, {-0.275607f, -0.965401f, 2.54153f}, {-0.207717f, -0.953997f, 2.55411f}},
        {"OBJ/regr01.obj", 2710, 0, 0, {-194.2f, -204.512f, 0}, {1442.09f, 967.615f, 337.509f}},
        {"OBJ/regr_3429812.obj", 4, 0, 0, {0.0418548f, 0.961535f, 0.0939126f}, {0.0498759f, 0.964456f, 0.0980526f}},
        {"OBJ/spider.obj", 1368, 0, 0, {-92.6552f, -42.2338f, -106.691f}, {57.9362f, 37.504f, 86.6912f}},
        {"OBJ/testline.obj", 0, 12, 0, -box, box},     // six outlines of cube faces: the 12 edges once each
        {"OBJ/testpoints.obj", 0, 0, 8, -box, box},    // 24 corners naming the 8 vertices
        {"OBJ/testmixed.obj", 12, 12, 8, -box, box},
        {"OBJ/WusonOBJ.obj", 3732, 0, 0, wuson_min, wuson_max},
        {"STL/3DSMaxExport.STL", 2000, 0, 0, {-27.37f, -2.42812f, 9.69857f}, {29.6645f, 45.9131f, 62.3426f}},
        {"STL/Spider_ascii.stl", 1368, 0, 0, {-3.1149f, -4, -1.64933f}, {3.1149f, 4, 1.64933f}},
        {"STL/Spider_binary.stl", 1368, 0, 0, {-3.11489f, -4, -1.64933f}, {3.11489f, 4, 1.64933f}},
        {"STL/Wuson.stl", 3732, 0, 0, wuson_min, wuson_max},
        {"STL/formatDetection", 1, 0, 0, {-1, -1, 0}, {1, 1, 0}},  // no extension: ASCII by content
        {"STL/sphereWithHole.stl", 285, 0, 0, zero, glm::vec3(3.0f)},
        {"STL/triangle.stl", 1, 0, 0, {-1, -1, 0}, {1, 1, 0}},
        {"STL/triangle_with_empty_solid.stl", 1, 0, 0, {-1, -1, 0}, {1, 1, 0}},
        {"STL/triangle_with_two_solids.stl", 2, 0, 0, {-1, -1, 0}, {3, 3, 0}},
        {"PLY/cube.ply", 12, 0, 0, zero, unit},
        {"PLY/cube_binary.ply", 12, 0, 0, zero, unit},
        {"PLY/cube_uv.ply", 12, 0, 0, -unit, unit},
        {"PLY/float-color.ply", 1, 0, 0, zero, {200, 200, 0}},
        {"PLY/points.ply", 0, 0, 4, zero, {0, 1, 1}},
        {"PLY/Wuson.ply", 3732, 0, 0, wuson_min, wuson_max},
    };
    for (const good_file& f : files) {
        const model m = load(assimp + f.path);
        EXPECT_EQ(m.geometry.triangle_count(), f.triangles) << f.path;
        EXPECT_EQ(m.geometry.lines.size() / 2, f.lines) << f.path;
        EXPECT_EQ(m.geometry.points.size(), f.points) << f.path;
        expect_near(m.bounds_min, f.min, std::string(f.path) + " min");
        expect_near(m.bounds_max, f.max, std::string(f.path) + " max");
    }
}

TEST(AssimpModels, OneModelAgreesAcrossFormats) {
    // The Wuson model as OBJ, binary STL and PLY: STL repeats every corner
    // and the PLY splits vertices at seams; both are merged to the OBJ's 2117.
    const model obj = load(assimp + "OBJ/WusonOBJ.obj");
    for (const char* other : {"STL/Wuson.stl", "PLY/Wuson.ply"}) {
        const model m = load(assimp + other);
        EXPECT_EQ(m.geometry.positions.size(), obj.geometry.positions.size()) << other;
        EXPECT_EQ(m.geometry.triangle_count(), obj.geometry.triangle_count()) << other;
    }
    const model ascii = load(assimp + "STL/Spider_ascii.stl"), binary = load(assimp + "STL/Spider_binary.stl");
    EXPECT_EQ(ascii.geometry.positions.size(), binary.geometry.positions.size());
}

TEST(AssimpModels, InvalidFilesFailWithOneLine) {
    // The invalid folder's files, and two broken PLY files beside the good ones.
    std::vector<std::string> paths = {assimp + "PLY/issue623.ply"};
    for (const auto& entry : fs::directory_iterator(assimp + "invalid"))
        if (entry.path().filename() != "malformed2.obj") paths.push_back(entry.path());
    ASSERT_GE(paths.size(), 10u) << "assimp-testmodels is not installed";
    for (const std::string& path : paths) {
        model m;
        expect_failure(engine::load_model_file(path, m), m, fs::path(path).filename());
    }
    model m;
    expect_failure(engine::load_model_file(assimp + "invalid/malformed.obj", m), m, "malformed.obj",
                   "line 28: a face has a vertex index that is 0");
}

TEST(AssimpModels, TruncatedPlyKeepsItsWholeVertices) {
    // pond.0.ply stops inside its vertex data: as many whole vertices as
    // the data after the header holds (31 bytes each) are kept.
    const std::string path = assimp + "PLY/pond.0.ply";
    if (!fs::exists(path)) GTEST_SKIP() << path << " missing (package assimp-testmodels)";
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t data = bytes.find("end_header\n") + 11;
    const std::string whole = std::to_string((bytes.size() - data) / 31);
    load_outcome outcome;
    const model m = load(path, &outcome);
    EXPECT_EQ(outcome.warning.rfind("pond.0.ply: the file ends early, " + whole + " of 70051 vertices read", 0), 0u)
        << outcome.warning;
    EXPECT_GT(m.geometry.points.size(), 60000u);
}

TEST(AssimpModels, MissingMaterialKeepsTheValidFaces) {
    // malformed2.obj names a material no library defines and has an empty
    // face statement: its 5 quads load, with the default material.
    load_outcome outcome;
    const model m = load(assimp + "invalid/malformed2.obj", &outcome);
    EXPECT_EQ(m.geometry.triangle_count(), 10u);
    EXPECT_EQ(outcome.warning, "malformed2.obj: uses materials that no material library defines");
}

TEST(AssimpModels, MaterialsTexturesAndColours) {
    const model cube = load(assimp + "OBJ/cube_usemtl.obj");
    ASSERT_EQ(cube.materials.size(), 2u);
    EXPECT_EQ(cube.materials[0].name, "mtl");
    EXPECT_FLOAT_EQ(cube.materials[0].shininess, 200.0f);
    EXPECT_FLOAT_EQ(cube.materials[1].specular.x, 0.375f);
    // usemtl per face in file order: mtl3 (undefined) x2, mtl x3, mtl2 x4, mtl x3.
    const std::vector<int> expected = {-1, -1, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0};
    EXPECT_EQ(cube.geometry.triangle_material, expected);

    // spider.mtl names its five textures ".\name.jpg", a Windows path.
    const model spider = load(assimp + "OBJ/spider.obj");
    ASSERT_EQ(spider.textures.size(), 5u);
    std::set<std::pair<int, int>> sizes;
    for (const engine::picture& t : spider.textures) sizes.insert({t.width, t.height});
    EXPECT_EQ(sizes, (std::set<std::pair<int, int>>{{249, 250}, {768, 768}, {128, 128}, {250, 250}}));
    for (const engine::material& mat : spider.materials) EXPECT_GE(mat.diffuse_texture, 0) << mat.name;
    for (const engine::corner& c : spider.geometry.corners) ASSERT_LT(c.texcoord, spider.geometry.texcoords.size());

    // Material names with blanks in them, and Blender's material named "".
    for (const char* file : {"OBJ/box_mat_with_spaces.obj", "OBJ/space_in_material_name.obj", "OBJ/empty_mat.obj"}) {
        load_outcome named;
        const model m = load(assimp + file, &named);
        EXPECT_EQ(named.warning, "") << file;
        for (int id : m.geometry.triangle_material) ASSERT_GE(id, 0) << file;
    }

    const model coloured = load(assimp + "OBJ/cube_with_vertexcolors.obj");
    ASSERT_EQ(coloured.geometry.colors.size(), 8u);
    expect_near(coloured.geometry.colors[0], {0.48627f, 0.43137f, 0.47059f}, "first vertex colour");
    const model points = load(assimp + "PLY/points.ply");  // uchar colours
    ASSERT_EQ(points.geometry.colors.size(), 4u);
    expect_near(points.geometry.colors[1], {1, 0, 1}, "second point colour");
    expect_near(load(assimp + "PLY/float-color.ply").geometry.colors[0], {0, 0, 1}, "float colour");
}

// The polygon's area by the shoelace formula, from the file's own lines:
// it lies in the plane x = -1.146, so y and z are enough.
double concave_polygon_area() {
    std::ifstream in(assimp + "OBJ/concave_polygon.obj");
    std::vector<std::pair<double, double>> vertices, outline;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string keyword, corner;
        words >> keyword;
        double x, y, z;
        if (keyword == "v" && words >> x >> y >> z) vertices.push_back({y, z});
        while (keyword == "f" && words >> corner) outline.push_back(vertices.at(std::stoul(corner) - 1));
    }
    double twice = 0;
    for (std::size_t i = 0; i < outline.size(); ++i) {
        const auto& [y0, z0] = outline[i];
        const auto& [y1, z1] = outline[(i + 1) % outline.size()];
        twice += y0 * z1 - y1 * z0;
    }
    return std::abs(twice) / 2;
}

TEST(AssimpModels, ConcavePolygonIsCutWithoutOverlap) {
    // The triangles of a simple polygon cover its area once: their areas,
    // each taken positive, sum to the polygon's.
    const model m = load(assimp + "OBJ/concave_polygon.obj");
    const auto& g = m.geometry;
    ASSERT_EQ(g.triangle_count(), 64u);
    double area = 0;
    for (std::size_t t = 0; t < g.triangle_count(); ++t) {
        const glm::vec3 a = g.positions[g.corners[3 * t].position], b = g.positions[g.corners[3 * t + 1].position],
                        c = g.positions[g.corners[3 * t + 2].position];
        area += glm::length(glm::cross(b - a, c - a)) / 2;
    }
    const double expected = concave_polygon_area();
    EXPECT_GT(expected, 0.1);
    EXPECT_NEAR(area, expected, 1e-4) << "triangles overlap or leave a hole";
}

TEST(AssimpModels, PicturesOfEachFormat) {
    struct picture_case {
        const char* path;
        int width, height;
    } cases[] = {
        {"LWO/LWO2/white.bmp", 1, 1},
        {"glTF2/textureTransform/Arrow.png", 128, 128},
        {"OBJ/engineflare1.jpg", 128, 128},  // progressive JPEG
        {"OBJ/SpiderTex.jpg", 249, 250},
    };
    for (const picture_case& c : cases) {
        engine::picture p;
        const load_outcome outcome = engine::load_picture_file(assimp + c.path, p);
        EXPECT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(p.width, c.width) << c.path;
        EXPECT_EQ(p.height, c.height) << c.path;
        EXPECT_EQ(p.pixels.size(), std::size_t(c.width) * c.height) << c.path;
    }
    engine::picture white;
    engine::load_picture_file(assimp + "LWO/LWO2/white.bmp", white);
    EXPECT_EQ(white.pixels.at(0), 0xFFFFFFFFu) << "opaque white";
}

// --- Numbers in text --------------------------------------------------------

TEST(TextNumbers, WholeTokensWithTheirSignsAndLimits) {
    const double inf = std::numeric_limits<double>::infinity();
    struct number_case {
        const char* token;
        bool read;
        double value;
    } cases[] = {
        {"+1.5e3", true, 1500},      {"-.5", true, -0.5},      {"2.", true, 2},
        {"+-1", false, 0},           {"++1", false, 0},        {"+", false, 0},
        {"", false, 0},              {" 1", false, 0},         {"1 ", false, 0},
        {"1e", false, 0},            {"3.1+e2", false, 0},     {"0x10", false, 0},
        {"1.#QNAN", false, 0},       {"inf", true, inf},       {"+Infinity", true, inf},
        {"-1e999", true, -inf},      {"1e-999", true, 0},      {"1e99999999999999", true, inf},
    };
    for (const number_case& c : cases) {
        double value = -7;
        EXPECT_EQ(engine::loading::parse_number(c.token, value), c.read) << "'" << c.token << "'";
        if (c.read) EXPECT_EQ(value, c.value) << c.token;
    }
    for (const char* token : {"nan", "-NaN", "+nan", "nan(ind)"}) {
        double value = 0;
        EXPECT_TRUE(engine::loading::parse_number(token, value) && std::isnan(value)) << token;
    }
}

TEST(TextNumbers, RoundedAsTheCLibraryRoundsThem) {
    // Decimal texts of every shape against strtod, in the C locale the test
    // runs in (it never calls setlocale): the same double, bit for bit.
    std::uint32_t seed = 2024;
    auto next = [&seed](std::uint32_t range) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % range;
    };
    for (int i = 0; i < 20000; ++i) {
        std::string text = next(3) == 0 ? "-" : "";
        for (std::uint32_t digits = next(20); digits-- > 0;) text += char('0' + next(10));
        if (next(2)) text += "." + std::to_string(next(1000000)) + std::to_string(next(1000000000));
        if (text.empty() || text == "-") text += "0";
        if (next(2)) text += "e" + std::to_string(int(next(700)) - 350);
        double value = 0;
        ASSERT_TRUE(engine::loading::parse_number(text, value)) << text;
        EXPECT_EQ(value, std::strtod(text.c_str(), nullptr)) << text;
    }
}

// --- Generated damage, table by table ------------------------------------

struct text_case {
    const char* what;
    std::string text;
    bool loads;
    std::size_t triangles;  // when it loads
    const char* says;       // part of the message, or of the warning when it loads
};

void run_obj_cases(const std::vector<text_case>& cases, const std::string& folder = "") {
    for (const text_case& c : cases) {
        model m;
        const load_outcome outcome = engine::load_obj(c.text.data(), c.text.size(), folder, m);
        expect_damage_outcome(c, outcome, m);
    }
}

std::string polygon_obj(int corners) {
    std::string text;
    for (int i = 0; i < corners; ++i)
        text += "v " + std::to_string(std::cos(i * 6.2831853 / corners)) + " " +
                std::to_string(std::sin(i * 6.2831853 / corners)) + " 0\n";
    text += "f";
    for (int i = 1; i <= corners; ++i) text += " " + std::to_string(i);
    return text + "\n";
}

TEST(ObjDamage, IndicesNumbersAndStatements) {
    const std::string triangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    run_obj_cases({
        {"empty", "", false, 0, "is empty"},
        {"comments only", "# nothing\n", false, 0, "contains no triangles"},
        {"huge index", triangle + "f 1 2 99999999999\n", false, 0, "refers to a vertex the file does not have"},
        {"index past the end", triangle + "f 1 2 4\n", false, 0, "refers to a vertex"},
        {"zero index", triangle + "v 1 1 1\nf 0 1 2\n", false, 0, "line 5: a face has a vertex index that is 0"},
        {"relative indices", triangle + "f -3 -2 -1\n", true, 1, ""},
        {"relative before the first", triangle + "f -4 -2 -1\n", false, 0, "refers to a vertex"},
        {"line index past the end", triangle + "l 1 9\n", false, 0, "refers to a vertex"},
        {"texture coordinate past the end", triangle + "vt 0 0\nf 1/1 2/5 3/1\n", true, 1, "1 corner without"},
        {"overflowing coordinate", triangle + "v 1e999 0 0\nf 1 2 3\nf 2 3 4\n", true, 1,
         "left out 1 triangle with coordinates that are not finite"},
        {"every coordinate overflows", "v 1e999 0 0\nv 0 1e999 0\nv 0 0 1e999\nf 1 2 3\n", false, 0,
         "no triangle, line or point whose coordinates are all finite"},
        {"polygon over 255 corners", polygon_obj(300), true, 298, ""},
        {"tags ignored", triangle + "t crease 2/1/0 1 2 1.0\nt x 8192/8192/8192\nf 1 2 3\n", true, 1, ""},
        {"skin weights ignored", triangle + "vw 0 3.1e10 0.5\nf 1 2 3\n", true, 1, ""},
        {"byte order mark", "\xEF\xBB\xBF" + triangle + "f 1 2 3\n", true, 1, ""},
        {"zero byte ends a line", triangle + "f 1 2 3" + std::string(1, '\0') + " 7 8\n", true, 1, ""},
        {"CR line ends", "v 0 0 0\rv 1 0 0\rv 0 1 0\rf 1 2 3\r", true, 1, ""},
        // A last line without a line end that cannot be whole is cut off.
        {"face cut short", "v 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\n\r\nf 1 2 3\r\nf 1 2", true, 1,
         "the file ends early, 5 whole lines read"},
        {"corner cut short", triangle + "vt 0 0\nf 1/1 2/1 3/1\nf 1/1 3/", true, 1, "ends early, 5 whole lines"},
        {"vertex cut short", triangle + "f 1 2 3\nv 1.0 2.", true, 1, "ends early, 4 whole lines"},
        {"line numbers over CR LF, CR and LF", "v 0 0 0\r\nv 1 0 0\rv 0 1 0\n\r\nf 1 2 0\n", false, 0,
         "line 5: a face has a vertex index that is 0"},
        {"text after a corner", triangle + "f 1 2 3x\n", false, 0, "line 4: a face has a vertex index"},
        // An empty line's line end is no keyword: the indented line after it is read, and counted.
        {"indented after an empty line", "v 0 0 0\nv 1 0 0\n\n\tv 0 1 0\nf 1 2 3\n", true, 1, ""},
        {"line numbers past an empty line", triangle + "\n\tf 1 2 0\n", false, 0, "line 5: a face has a vertex index"},
        {"faces before their vertices", "f 1 2 3\n" + triangle, true, 1, ""},
        // Coordinates that are not numbers are NaN: their triangles are left out.
        {"nan coordinate", triangle + "v nan 0 0\nf 1 2 3\nf 2 3 4\n", true, 1, "left out 1 triangle"},
        {"C library NaN", triangle + "v 1.#QNAN 0 0\nf 1 2 3\nf 2 3 4\n", true, 1, "left out 1 triangle"},
    });
}

// A mesh written here in every corner form the format has, with relative
// and absolute indices, mixed line ends and statements the viewer reads past,
// read back: each triangle's corners have the coordinates the writer gave.
TEST(ObjDamage, GeneratedMeshReadsBackExactly) {
    std::uint32_t seed = 7;
    auto next = [&seed](std::uint32_t range) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % range;
    };
    auto random_float = [&] {
        return float((double(next(2000001)) - 1000000.0) / 1000.0 * std::pow(10.0, int(next(7)) - 3));
    };
    const char* number_formats[] = {"%.9g", "%.9e", "%+.9g", "%.17g"};
    const char* line_ends[] = {"\n", "\r\n", "\r"};
    auto number = [&](float value) {
        char text[64];
        std::snprintf(text, sizeof text, number_formats[next(4)], double(value));
        return std::string(text);
    };
    std::vector<glm::vec3> vertices;
    std::vector<glm::vec2> uvs;
    std::vector<std::array<std::uint32_t, 6>> triangles;  // vertex, uv (or no_index) of each corner
    std::string text = "# generated\ng part\n";
    for (int statement = 0; statement < 3000; ++statement) {
        const std::uint32_t kind = vertices.size() < 3 ? 0 : next(6);
        if (kind == 0) {
            vertices.emplace_back(random_float(), random_float(), random_float());
            text += "v\t" + number(vertices.back().x) + "  " + number(vertices.back().y) + " " + number(vertices.back().z);
        } else if (kind == 1) {
            uvs.emplace_back(random_float(), random_float());
            text += "vt " + number(uvs.back().x) + " " + number(uvs.back().y) + " 0";
        } else if (kind == 2) {
            text += next(2) ? "vn 0 0 1" : "s off";
        } else {
            std::array<std::uint32_t, 6> t;
            text += "f";
            for (int k = 0; k < 3; ++k) {
                const std::uint32_t v = next(std::uint32_t(vertices.size()));
                const bool textured = !uvs.empty() && next(2);
                t[2 * k] = v;
                t[2 * k + 1] = textured ? next(std::uint32_t(uvs.size())) : engine::no_index;
                auto index = [&](std::uint32_t i, std::size_t count) {
                    return next(2) ? std::to_string(i + 1) : "-" + std::to_string(count - i);
                };
                text += next(2) ? " " : " \t ";
                text += index(v, vertices.size());
                if (textured) text += "/" + index(t[2 * k + 1], uvs.size());
                if (textured && next(2)) text += "/1";
                else if (!textured && next(2)) text += "//1";
            }
            triangles.push_back(t);
        }
        text += line_ends[next(3)];
    }
    text += "vn 0 0 1\n";
    model m;
    const load_outcome outcome = engine::load_obj(text.data(), text.size(), "", m);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(outcome.warning, "");
    const engine::mesh& g = m.geometry;
    ASSERT_EQ(g.triangle_count(), triangles.size());
    for (std::size_t t = 0; t < triangles.size(); ++t)
        for (int k = 0; k < 3; ++k) {
            const engine::corner& c = g.corners[3 * t + k];
            ASSERT_EQ(g.positions.at(c.position), vertices[triangles[t][2 * k]]) << "triangle " << t;
            if (triangles[t][2 * k + 1] == engine::no_index) EXPECT_EQ(c.texcoord, engine::no_index);
            else EXPECT_EQ(g.texcoords.at(c.texcoord), uvs[triangles[t][2 * k + 1]]) << "triangle " << t;
        }
}

TEST(ObjDamage, RefusedBeforeParsingWhatWouldExhaustMemory) {
    std::string many_corners = "v 0 0 0\nf";
    many_corners.reserve(2 * engine::max_triangles + 20);
    for (std::size_t i = 0; i < engine::max_triangles + 3; ++i) many_corners += " 1";
    // Many material changes after a long line statement cost nothing more:
    // the line is stored once (its 19999 segments repeat one edge).
    std::string lines = "v 0 0 0\nv 1 0 0\nl";
    for (int i = 0; i < 20000; ++i) lines += (i % 2) ? " 1" : " 2";
    lines += "\n";
    for (int i = 0; i < 1000; ++i) lines += (i % 2) ? "usemtl a\n" : "usemtl b\n";
    run_obj_cases({
        {"over the triangle limit", many_corners + "\n", false, 0, "more than the limit of 20000000 triangles"},
        {"long line among many material changes", lines, true, 0, ""},
    });
}

TEST(PolygonTriangulation, SpentBudgetStillCutsEveryPolygon) {
    // Random corners (self-intersecting everywhere), and a budget too small
    // for ear clipping: fans finish the job, n - 2 triangles each.
    std::vector<glm::vec3> corners;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 5000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        corners.emplace_back(float(seed >> 20), float((seed >> 8) & 0xFFF), 0.0f);
    }
    engine::polygon_triangulator triangulator(10000);
    std::vector<std::uint32_t> triangles;
    for (int polygon = 0; polygon < 3; ++polygon) triangulator.triangulate(corners, triangles);
    ASSERT_EQ(triangles.size(), 3u * 3 * (corners.size() - 2));
    std::vector<int> uses(corners.size());
    for (std::size_t i = 0; i < triangles.size(); ++i) ++uses.at(triangles[i]);
    for (int count : uses) EXPECT_GT(count, 0) << "every corner belongs to a triangle";
}

// The oracle for ear clipping, independent of how it flattens a polygon: in
// the polygon's own plane, the triangles' areas sum to the shoelace area,
// each runs the polygon's way round (none folded over), and sample points
// are covered once inside the polygon (even-odd rule) and never outside.
void expect_cut_exactly(const std::vector<glm::vec3>& corners, const std::string& what) {
    SCOPED_TRACE(what);
    std::vector<std::uint32_t> triangles;
    engine::polygon_triangulator().triangulate(corners, triangles);
    ASSERT_EQ(triangles.size(), 3 * (corners.size() - 2));
    glm::dvec3 normal(0.0);
    for (std::size_t i = 0; i < corners.size(); ++i)
        normal += glm::cross(glm::dvec3(corners[i]), glm::dvec3(corners[(i + 1) % corners.size()]));
    normal = glm::normalize(normal);
    const glm::dvec3 u = glm::normalize(glm::cross(normal, std::abs(normal.x) < 0.9 ? glm::dvec3(1, 0, 0)
                                                                                 : glm::dvec3(0, 1, 0)));
    const glm::dvec3 v = glm::cross(normal, u);
    std::vector<glm::dvec2> flat;
    for (const glm::vec3& c : corners) flat.emplace_back(glm::dot(glm::dvec3(c), u), glm::dot(glm::dvec3(c), v));
    auto twice_area = [](const glm::dvec2& a, const glm::dvec2& b, const glm::dvec2& c) {
        return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    };
    double shoelace = 0;
    for (std::size_t i = 0; i < flat.size(); ++i) {
        const glm::dvec2 &a = flat[i], &b = flat[(i + 1) % flat.size()];
        shoelace += a.x * b.y - b.x * a.y;
    }
    shoelace /= 2;  // positive: the polygon runs counter-clockwise about its normal
    ASSERT_GT(shoelace, 0);
    double sum = 0;
    for (std::size_t t = 0; t < triangles.size(); t += 3) {
        const double area = twice_area(flat[triangles[t]], flat[triangles[t + 1]], flat[triangles[t + 2]]) / 2;
        EXPECT_GE(area, -1e-9 * shoelace) << "triangle " << t / 3 << " is folded over";
        sum += std::abs(area);
    }
    EXPECT_NEAR(sum, shoelace, 1e-6 * shoelace) << "the triangles' areas against the polygon's";

    glm::dvec2 low = flat[0], high = flat[0];
    for (const glm::dvec2& p : flat) low = glm::min(low, p), high = glm::max(high, p);
    int inside = 0, misses = 0, overlaps = 0, strays = 0;
    constexpr int steps = 173;
    for (int i = 0; i < steps; ++i)
        for (int j = 0; j < steps; ++j) {
            const glm::dvec2 p(low.x + (high.x - low.x) * (i + 0.3819) / steps,
                               low.y + (high.y - low.y) * (j + 0.6180) / steps);
            bool in = false;
            for (std::size_t k = 0; k < flat.size(); ++k) {
                const glm::dvec2 &a = flat[k], &b = flat[(k + 1) % flat.size()];
                if ((a.y > p.y) != (b.y > p.y) && p.x < a.x + (p.y - a.y) / (b.y - a.y) * (b.x - a.x)) in = !in;
            }
            int covering = 0;
            for (std::size_t t = 0; t < triangles.size(); t += 3) {
                const glm::dvec2 &a = flat[triangles[t]], &b = flat[triangles[t + 1]], &c = flat[triangles[t + 2]];
                if (twice_area(a, b, p) > 0 && twice_area(b, c, p) > 0 && twice_area(c, a, p) > 0) ++covering;
            }
            inside += in;
            misses += in && covering == 0;
            overlaps += covering > 1;
            strays += !in && covering > 0;
        }
    EXPECT_GT(inside, steps * steps / 20);
    EXPECT_EQ(misses, 0) << "points of the polygon no triangle covers";
    EXPECT_EQ(overlaps, 0) << "points two triangles cover";
    EXPECT_EQ(strays, 0) << "points outside the polygon a triangle covers";
}

// Concave polygons as model files hold them, in a tilted plane: a ring cut
// open along one edge (the outline running out round the outside, in along
// the cut, back round the inside: concave_polygon.obj's shape), a comb, and
// a C whose inner side has more corners than its outer.
TEST(PolygonTriangulation, ConcavePolygonsAreCoveredOnceByTheirTriangles) {
    const glm::dmat3 tilt = glm::dmat3(glm::rotate(glm::dmat4(1.0), 0.7, glm::dvec3(1, 2, 3)));
    auto placed = [&](const std::vector<glm::dvec2>& outline) {
        std::vector<glm::vec3> corners;
        for (const glm::dvec2& p : outline) corners.emplace_back(tilt * glm::dvec3(p.x + 3, p.y - 1, 2));
        return corners;
    };
    const double pi = 3.14159265358979323846;
    std::vector<glm::dvec2> ring;
    constexpr int around = 32;
    for (int i = 0; i < around; ++i)
        ring.emplace_back(1.5 * std::cos(pi / 2 + 2 * pi * i / around), 1.5 * std::sin(pi / 2 + 2 * pi * i / around));
    ring.push_back(ring.front());  // the cut: the same place twice
    for (int i = 0; i < around; ++i)
        ring.emplace_back(1.4 * std::cos(pi / 2 - 2 * pi * i / around), 1.4 * std::sin(pi / 2 - 2 * pi * i / around));
    ring.push_back(ring[around + 1]);
    std::vector<glm::dvec2> comb = {{0, 0}, {12, 0}, {12, 3}};
    for (int tooth = 5; tooth >= 0; --tooth) {
        comb.push_back({2.0 * tooth + 1.5, 3});
        comb.push_back({2.0 * tooth + 1.5, 1});
        comb.push_back({2.0 * tooth + 0.5, 1});
        comb.push_back({2.0 * tooth + 0.5, 3});
    }
    comb.push_back({0, 3});
    std::vector<glm::dvec2> c_shape;
    for (int i = 0; i <= 8; ++i) c_shape.emplace_back(2 * std::cos(0.5 + i * (2 * pi - 1) / 8), 2 * std::sin(0.5 + i * (2 * pi - 1) / 8));
    for (int i = 24; i >= 0; --i) c_shape.emplace_back(std::cos(0.5 + i * (2 * pi - 1) / 24), std::sin(0.5 + i * (2 * pi - 1) / 24));
    for (auto [name, outline] : {std::pair{"cut ring", ring}, std::pair{"comb", comb}, std::pair{"C", c_shape}}) {
        expect_cut_exactly(placed(outline), name);
        std::reverse(outline.begin(), outline.end());
        expect_cut_exactly(placed(outline), std::string(name) + " wound the other way");
    }
}

// A model whose triangles all lack an area loads (its edges and vertices can
// still be shown) and says first that it holds nothing to draw.
TEST(ObjDamage, OnlyFacesWithoutAreaSayThereIsNothingToDraw) {
    const struct {
        const char* what;
        std::string text, warning;
    } cases[] = {
        {"on one line", "v 0 0 0\nv 1 0 0\nv 2 0 0\nf 1 2 3\n",
         "holds nothing that can be drawn: its 1 triangle has no area (its corners lie at one place or on one line)"},
        {"repeated corners", "v 0 0 0\nv 1 1 0\nf 1 1 2\nf 2 2 2\n",
         "holds nothing that can be drawn: its 2 triangles have no area (the corners of each lie at one place or on "
         "one line)"},
        {"a flat quad and a cut file", "v 0 0 0\nv 1 0 0\nv 2 0 0\nv 3 0 0\nf 1 2 3 4\nf 1 2",
         "holds nothing that can be drawn: its 2 triangles have no area (the corners of each lie at one place or on "
         "one line); the file ends early"},
        {"one good triangle among them", "v 0 0 0\nv 1 0 0\nv 2 0 0\nv 0 1 0\nf 1 2 3\nf 1 2 4\n", ""},
        {"a line besides", "v 0 0 0\nv 1 0 0\nv 2 0 0\nf 1 2 3\nl 1 2\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        model m;
        const load_outcome outcome = engine::load_obj(c.text.data(), c.text.size(), "", m);
        EXPECT_TRUE(outcome.ok) << outcome.message;
        if (c.warning.empty()) EXPECT_EQ(outcome.warning, "");
        else EXPECT_EQ(outcome.warning.rfind(c.warning, 0), 0u) << outcome.warning;
    }
}

// A 2 x 1 BMP: red, then green (bottom-up rows, BGR, padded to 4 bytes).
std::string tiny_bmp() {
    const unsigned char bytes[] = {
        'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                     // file header
        40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 8, 0, 0, 0,  // info header
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 255, 0, 255, 0, 0, 0,  // pixels
    };
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

TEST(ObjDamage, MaterialLibrariesAndTexturesNearTheModel) {
    scratch_folder folder;
    const std::string face = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\nf 1/1 2/2 3/3\n";
    folder.write("present.mtl",
                 "newmtl seen\nKd 1 0 0\nd 0.25\nmap_Kd textures\\tiny.bmp\n"
                 "newmtl tr\nTr 0.75\nmap_Kd missing.png\n");
    fs::create_directory(folder.path() + "/textures");
    folder.write("textures/tiny.bmp", tiny_bmp());
    const std::string base = folder.path() + "/";
    run_obj_cases({{"missing library", "mtllib absent.mtl\nusemtl x\n" + face, true, 1,
                    "material library absent.mtl could not be opened"}},
                  base);
    // A missing texture: the model loads untextured, and the warning (the
    // viewer's message line) names the texture as the library does.
    load_outcome untextured;
    const model tr = load(folder.write("tr.obj", "mtllib present.mtl\nusemtl tr\n" + face), &untextured);
    EXPECT_EQ(untextured.warning, "tr.obj: texture missing.png could not be opened (missing or not readable)");
    EXPECT_EQ(tr.geometry.triangle_count(), 1u);
    // Found but not a picture, under the folder the library names: that is
    // said, not that the bare name beside the model is missing.
    fs::create_directory(folder.path() + "/maps");
    folder.write("maps/bad.bmp", "not a picture");
    folder.write("bad.mtl", "newmtl bad\nmap_Kd maps\\bad.bmp\n");
    load_outcome bad;
    load(folder.write("bad.obj", "mtllib bad.mtl\nusemtl bad\n" + face), &bad);
    EXPECT_EQ(bad.warning.rfind("bad.obj: texture maps\\bad.bmp is not a BMP, PNG or JPEG picture", 0), 0u)
        << bad.warning;

    model m;
    const std::string text = "mtllib present.mtl\nusemtl seen\n" + face;
    const load_outcome outcome = engine::load_obj(text.data(), text.size(), base, m);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    ASSERT_EQ(m.materials.size(), 2u);
    EXPECT_FLOAT_EQ(m.materials[0].opacity, 0.25f) << "d";
    EXPECT_FLOAT_EQ(m.materials[1].opacity, 0.25f) << "Tr is 1 - d";
    ASSERT_EQ(m.materials[0].diffuse_texture, 0) << "a backslash path works on every system";
    EXPECT_EQ(m.materials[1].diffuse_texture, -1);
    const engine::picture& tiny = m.textures.at(0);
    EXPECT_EQ(tiny.pixels, (std::vector<std::uint32_t>{0xFFFF0000u, 0xFF00FF00u}));
    EXPECT_EQ(m.geometry.triangle_material, std::vector<int>{0});

    // "" reads no file at all.
    model bare;
    EXPECT_TRUE(engine::load_obj(text.data(), text.size(), "", bare).ok);
    EXPECT_TRUE(bare.materials.empty() && bare.textures.empty());

    // Texture options before the file name, a grey given by one number, and
    // "usemtl" before the "mtllib" that defines it, whose first library is missing.
    folder.write("options.mtl", "newmtl grey\nKd 0.5\nmap_Kd -s 1 1 1 -o 0 0 -clamp on -mm 0 1 textures\\tiny.bmp\n");
    const std::string later = "usemtl grey\n" + face + "mtllib absent.mtl options.mtl\n";
    model optioned;
    const load_outcome later_outcome = engine::load_obj(later.data(), later.size(), base, optioned);
    ASSERT_TRUE(later_outcome.ok) << later_outcome.message;
    EXPECT_EQ(later_outcome.warning, "material library absent.mtl could not be opened (missing or not readable)");
    ASSERT_EQ(optioned.materials.size(), 1u);
    EXPECT_EQ(optioned.materials[0].diffuse, glm::vec3(0.5f));
    EXPECT_EQ(optioned.materials[0].diffuse_texture, 0);
    EXPECT_EQ(optioned.geometry.triangle_material, std::vector<int>{0});

    // Physically based values: either makes the material physically based,
    // clamped to 0..1; a value that is not a number is not given.
    folder.write("physical.mtl",
                 "newmtl gold\nKd 1 0.8 0.3\nPm 1\nPr 0.25\n"
                 "newmtl rough\nPr 7\n"
                 "newmtl odd\nPm nan\nPr -inf\n"
                 "newmtl classic\nKs 1 1 1\nNs 90\n");
    const std::string uses = "mtllib physical.mtl\nusemtl gold\n" + face;
    model physical;
    ASSERT_TRUE(engine::load_obj(uses.data(), uses.size(), base, physical).ok);
    ASSERT_EQ(physical.materials.size(), 4u);
    const struct {
        bool physical;
        float metallic, roughness;
    } expected[] = {{true, 1.0f, 0.25f}, {true, 0.0f, 1.0f}, {false, 0.0f, 1.0f}, {false, 0.0f, 1.0f}};
    for (std::size_t i = 0; i < 4; ++i) {
        const engine::material& got = physical.materials[i];
        EXPECT_EQ(got.physical, expected[i].physical) << got.name;
        EXPECT_EQ(got.metallic, expected[i].metallic) << got.name;
        EXPECT_EQ(got.roughness, expected[i].roughness) << got.name;
    }
    EXPECT_EQ(physical.materials[0].diffuse, glm::vec3(1.0f, 0.8f, 0.3f)) << "Kd is the base colour";
}

// Names a library gives for files of another machine: an absolute name is
// looked for by its bare name beside the model first; a network name only
// there, and never followed; one picture in many spellings is one texture.
TEST(ObjDamage, TexturesNamedForOtherMachinesSharesAndInManySpellings) {
    scratch_folder folder;
    const std::string face = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\n";
    folder.write("tiny.bmp", tiny_bmp());
    fs::create_directory(folder.path() + "/sub");
    const std::string spellings[] = {"tiny.bmp", "./tiny.bmp", ".\\tiny.bmp", "sub/../tiny.bmp", "sub\\..\\.\\tiny.bmp",
                                     "C:\\Users\\someone\\tiny.bmp", "/home/someone/tiny.bmp",
                                     "\\\\evil-host\\share\\tiny.bmp"};
    std::string library, obj = "mtllib many.mtl\n" + face;
    for (std::size_t i = 0; i < std::size(spellings); ++i) {
        library += "newmtl m" + std::to_string(i) + "\nmap_Kd " + spellings[i] + "\n";
        obj += "usemtl m" + std::to_string(i) + "\nf 1/1 2/2 3/3\n";
    }
    folder.write("many.mtl", library);
    load_outcome outcome;
    const model m = load(folder.write("many.obj", obj), &outcome);
    EXPECT_EQ(outcome.warning, "");
    EXPECT_EQ(m.textures.size(), 1u) << "decoded once";
    for (const engine::material& mat : m.materials) EXPECT_EQ(mat.diffuse_texture, 0) << mat.name;

    folder.write("far.mtl", "newmtl far\nmap_Kd \\\\evil-host\\share\\far.png\n"
                            "newmtl web\nmap_Kd https://evil-host/far.png\n");
    load_outcome far;
    load(folder.write("far.obj", "mtllib far.mtl\nmtllib //evil-host/share/remote.mtl\n" + face +
                                     "usemtl far\nf 1/1 2/2 3/3\nusemtl web\nf 1/1 2/2 3/3\n"),
         &far);
    EXPECT_EQ(far.warning,
              "far.obj: material library //evil-host/share/remote.mtl is a network name, which a model may not name "
              "(only files on this computer); texture \\\\evil-host\\share\\far.png is a network name, which a model "
              "may not name (only files on this computer) (and 1 more texture not read)");
}

std::string binary_stl(const std::vector<std::array<float, 9>>& triangles, std::uint32_t claimed,
                       const char* header = "binary") {
    std::string bytes(80, ' ');
    std::memcpy(bytes.data(), header, std::strlen(header));
    bytes.append(reinterpret_cast<const char*>(&claimed), 4);  // little-endian hosts
    for (const auto& t : triangles) {
        const float normal[3] = {0, 0, 1};
        bytes.append(reinterpret_cast<const char*>(normal), 12);
        bytes.append(reinterpret_cast<const char*>(t.data()), 36);
        bytes.append(2, '\0');
    }
    return bytes;
}

TEST(StlDamage, SizesCountsAndCoordinates) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::array<float, 9> good = {0, 0, 0, 1, 0, 0, 0, 1, 0}, other = {0, 0, 1, 1, 0, 1, 0, 1, 1};
    const std::vector<std::array<float, 9>> five(5, good);
    const std::string ascii_one =
        "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n";
    struct stl_case {
        const char* what;
        std::string bytes;
        bool loads;
        std::size_t triangles;
        const char* says;
    } cases[] = {
        {"empty", "", false, 0, "is empty"},
        {"short garbage", "\x01\x02garbage", false, 0, "too short for a binary STL"},
        {"other text", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n" + std::string(100, '#'), false, 0,
         "is text but not an ASCII STL"},
        {"binary ending early", binary_stl(five, 10) + std::string(30, '\0'), true, 5,
         "the file ends early, 5 of 10 triangles read"},
        {"binary ending before a whole triangle", binary_stl({}, 1) + std::string(49, '\0'), false, 0,
         "the file ends early, 0 of 1 triangle read"},
        {"billion-triangle header", binary_stl({good}, 1'000'000'000), false, 0,
         "claims 1000000000 triangles in its header, more than the limit"},
        {"extra bytes", binary_stl({good}, 1) + "xyz", false, 0, "has 3 bytes too many for 1 triangle"},
        {"zero triangles binary", binary_stl({}, 0), false, 0, "contains no triangles"},
        {"zero triangles ASCII", "solid a\nendsolid a\n", false, 0, "contains no triangles"},
        {"binary that begins with solid", binary_stl({good, other}, 2, "solid but binary"), true, 2, ""},
        {"NaN corner left out", binary_stl({good, {nan, 0, 0, 1, 0, 0, 0, 1, 0}}, 2), true, 1,
         "left out 1 triangle with coordinates that are not finite"},
        {"only NaN and infinity", binary_stl({{nan, 0, 0, 1, 0, 0, 0, 1, 0}, {inf, 0, 0, 1, 0, 0, 0, 1, 0}}, 2), false,
         0, "no triangle, line or point whose coordinates are all finite"},
        {"ASCII without endsolid", ascii_one, true, 1, ""},
        {"ASCII overflowing number", ascii_one + "facet\nouter loop\nvertex 1e999 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
                                                 "endloop\nendfacet\nendsolid\n", true, 1, "left out 1 triangle"},
        {"ASCII quad as a fan", "solid q\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\n"
                                "vertex 0 1 0\nendloop\nendfacet\nendsolid\n", true, 2, ""},
        {"ASCII missing coordinate", "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0\nvertex 1 0 0\n", false, 0,
         "line 5: expected a number, found 'vertex'"},
        {"ASCII cut short", "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n", false, 0, "ends early"},
        {"ASCII ending in a facet", ascii_one + "facet normal 0 0 1\nouter loop\nvertex 0 0 1\nvertex 1", true, 1,
         "the file ends early, 1 triangle read"},
        {"ASCII ending in a keyword",
         ascii_one + "facet\nouter loop\nvertex 0 0 1\nvertex 1 0 1\nvertex 0 1 1\nendloop\nendfac", true, 1,
         "the file ends early, 1 triangle read"},
        {"ASCII two vertices", "solid t\nfacet\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nendloop\nendfacet\n", false, 0,
         "fewer than 3 vertices"},
    };
    for (const stl_case& c : cases) {
        model m;
        const load_outcome outcome =
            engine::load_stl(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), m);
        expect_damage_outcome(c, outcome, m);
    }
}

TEST(StlDamage, SharedCornersBecomeOnePosition) {
    // Two triangles sharing an edge, one corner written as -0: four positions.
    const std::string bytes = binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}, {1, 0, 0, 1, 1, 0, -0.0f, 1, 0}}, 2);
    model m;
    ASSERT_TRUE(engine::load_stl(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), m).ok);
    EXPECT_EQ(m.geometry.positions.size(), 4u);
    EXPECT_EQ(m.geometry.corners[1].position, m.geometry.corners[3].position);
    EXPECT_EQ(m.geometry.corners[2].position, m.geometry.corners[5].position);
}

TEST(PlyDamage, HeadersListsAndCounts) {
    const std::string header = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                               "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";
    const std::string vertices = "0 0 0\n1 0 0\n0 1 0\n";
    const std::string square = "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
                               "property float z\nelement face 3\nproperty list uchar int vertex_indices\nend_header\n"
                               "0 0 0\n1 0 0\n1 1 0\n0 1 0\n";
    // A square in big-endian binary: 4 vertices, 2 triangles.
    std::string big = "ply\nformat binary_big_endian 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
                      "property float z\nelement face 2\nproperty list uchar uint vertex_indices\nend_header\n";
    for (float v : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 1.f, 1.f, 0.f, 0.f, 1.f, 0.f}) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        for (int shift = 24; shift >= 0; shift -= 8) big += static_cast<char>(bits >> shift);
    }
    for (const std::vector<std::uint32_t>& face : {std::vector<std::uint32_t>{0, 1, 2}, {0, 2, 3}}) {
        big += char(3);
        for (std::uint32_t i : face) big += std::string{0, 0, 0, static_cast<char>(i)};
    }
    struct ply_case {
        const char* what;
        std::string bytes;
        bool loads;
        std::size_t triangles;
        const char* says;
    } cases[] = {
        {"ASCII triangle", header + vertices + "3 0 1 2\n", true, 1, ""},
        {"big-endian square", big, true, 2, ""},
        {"faces before vertices", "ply\nformat ascii 1.0\nelement face 1\nproperty list uchar int vertex_indices\n"
                                  "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                                  "end_header\n3 0 1 2\n" + vertices, true, 1, ""},
        {"quad cut in two", "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
                            "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
                            "0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3\n", true, 2, ""},
        {"two-corner face left out", header + vertices + "2 0 1\n", true, 0, "left out 1 face with fewer than 3"},
        {"not a PLY", "plx\n", false, 0, "does not begin with 'ply'"},
        {"no end of header", "ply\nformat ascii 1.0\nelement vertex 3\n", false, 0, "no 'end_header'"},
        {"no format", "ply\nelement vertex 1\nproperty float x\nend_header\n0\n", false, 0, "no 'format'"},
        {"unknown format", "ply\nformat binary_middle_endian 1.0\nend_header\n", false, 0, "unknown format"},
        {"property first", "ply\nformat ascii 1.0\nproperty float x\nend_header\n", false, 0, "before any element"},
        {"unknown type", "ply\nformat ascii 1.0\nelement vertex 1\nproperty quad x\nend_header\n", false, 0,
         "unknown property type 'quad'"},
        {"no z", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nend_header\n0 0\n",
         false, 0, "no x, y and z"},
        {"index past the end", header + vertices + "3 0 1 7\n", false, 0, "refers to vertex 7, but the file has 3"},
        {"negative list length", header + vertices + "-3 0 1 2\n", false, 0, "face 0 of 1: a list length"},
        {"word for a number", header + "0 0 0\n1 zero 0\n", false, 0, "vertex 1 of 3: 'zero' is not a number"},
        {"millions of vertices claimed", "ply\nformat binary_little_endian 1.0\nelement vertex 50000000\n"
                                         "property float x\nproperty float y\nproperty float z\nend_header\n" +
                                             std::string(24, '\0'), true, 0,
         "the file ends early, 2 of 50000000 vertices read"},
        {"billion vertices claimed", "ply\nformat ascii 1.0\nelement vertex 1000000000\nproperty float x\n"
                                     "property float y\nproperty float z\nend_header\n0 0 0\n", false, 0,
         "has 1000000000 vertices, more than the limit"},
        {"empty element of huge count", "ply\nformat ascii 1.0\nelement nothing 999999999999\n" +
                                            header.substr(header.find("element")), false, 0,
         "the file ends early, 0 of 3 vertices and 0 of 1 face read"},
        // Ending early: the whole faces before the end are kept. A last
        // number with nothing after it may be cut ("3" of "31"): its face goes.
        {"ASCII ending in a face", square + "3 0 1 2\n3 0 2", true, 1, "the file ends early, 1 of 3 faces read"},
        {"ASCII ending in a last number", square + "3 0 1 2\n3 0 2 3", true, 1, "1 of 3 faces read"},
        {"ASCII ending in a vertex", header + "0 0 0\n1 0 0\n0 1.5e", true, 0,
         "the file ends early, 2 of 3 vertices and 0 of 1 face read"},
        {"binary ending in a list", big.substr(0, big.size() - 10), true, 1, "1 of 2 faces read"},
    };
    for (const ply_case& c : cases) {
        model m;
        const load_outcome outcome =
            engine::load_ply(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), m);
        expect_damage_outcome(c, outcome, m);
    }
}

TEST(PictureDamage, RefusedBeforeDecoding) {
    std::string huge = tiny_bmp();
    const std::int32_t side = 20000;
    std::memcpy(huge.data() + 18, &side, 4);  // width and height in the info header
    std::memcpy(huge.data() + 22, &side, 4);
    std::string wide = tiny_bmp();
    const std::int32_t width = 4096;
    std::memcpy(wide.data() + 18, &width, 4);
    std::ifstream png_file(assimp + "glTF2/textureTransform/Arrow.png", std::ios::binary);
    const std::string png((std::istreambuf_iterator<char>(png_file)), std::istreambuf_iterator<char>());
    struct picture_case {
        const char* what;
        std::string bytes;
        std::size_t pixel_limit;
        const char* says;
    } cases[] = {
        {"empty", "", engine::max_picture_pixels, "is empty"},
        {"text", "not a picture at all", engine::max_picture_pixels, "is not a BMP, PNG or JPEG picture"},
        {"20000 x 20000", huge, engine::max_picture_pixels, "is 20000 x 20000 pixels, larger than the viewer takes"},
        {"over the pixel limit", wide, 1000, "is 4096 x 1 pixels, larger than the viewer takes"},
        {"truncated PNG", png.substr(0, png.size() / 2), engine::max_picture_pixels, "could not be decoded"},
        // 16 code lengths of 32 codes each: stb_image would write past its table.
        {"JPEG Huffman table of 512 codes", std::string("\xFF\xD8\xFF\xC4\x00\x13\x00", 7) + std::string(16, ' '),
         engine::max_picture_pixels, "a Huffman table with more than 256 codes"},
        {"the same table after a scan", std::string("\xFF\xD8\xFF\xDA\x00\x02\x12\x34\xFF\xC4\x00\x13\x00", 13) +
                                           std::string(16, ' '), engine::max_picture_pixels, "more than 256 codes"},
    };
    for (const picture_case& c : cases) {
        engine::picture p;
        const load_outcome outcome =
            engine::load_picture(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), p,
                                 c.pixel_limit);
        EXPECT_FALSE(outcome.ok) << c.what;
        EXPECT_TRUE(p.empty() && p.pixels.empty()) << c.what;
        EXPECT_NE(outcome.message.find(c.says), std::string::npos) << c.what << ": '" << outcome.message << "'";
    }
    engine::picture p;
    const load_outcome missing = engine::load_picture_file("/nonexistent/sky.png", p);
    EXPECT_EQ(missing.message, "sky.png: could not be opened (missing or not readable)");
}

TEST(ModelFiles, ExtensionInAnyCaseOrElseTheContent) {
    scratch_folder folder;
    auto copy = [&](const std::string& from, const std::string& name) {
        std::ifstream in(assimp + from, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return folder.write(name, bytes);
    };
    const struct {
        std::string path;
        std::size_t triangles;
    } cases[] = {
        {copy("OBJ/box.obj", "BOX.OBJ"), 12},
        {copy("STL/Spider_binary.stl", "spider.Stl"), 1368},
        {copy("PLY/cube.ply", "cube.data"), 12},
        {copy("STL/Spider_binary.stl", "spider.bin"), 1368},
        {copy("STL/triangle.stl", "triangle.txt"), 1},
        {copy("OBJ/box.obj", "box"), 12},
    };
    for (const auto& c : cases) EXPECT_EQ(load(c.path).geometry.triangle_count(), c.triangles) << c.path;

    model m;
    expect_failure(engine::load_model_file(folder.path() + "/absent.obj", m), m, "absent.obj", "could not be opened");
    fs::create_directory(folder.path() + "/folder.obj");
    expect_failure(engine::load_model_file(folder.path() + "/folder.obj", m), m, "folder.obj", "is not a file");
    expect_failure(engine::load_model_file(folder.write("notes.txt", "just words\n"), m), m, "notes.txt",
                   "is not an OBJ, STL, PLY or glTF model");
    const load_outcome nameless = engine::load_model_file("", m);
    EXPECT_EQ(nameless.message, "no file name given");
}

// On Windows these names open a device, and reading one (a console, a serial
// port) can wait forever; a name with a NUL would open another file. Each is
// refused by its name, here as there, though the files exist.
TEST(ModelFiles, DeviceNamesNulCharactersAndPipesAreRefusedUnread) {
    scratch_folder folder;
    const std::string box = folder.write("box.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    const std::string folder_path = folder.path() + "/";
    for (const std::string& name : {"CON", "nul.obj", "Com1.stl", "lpt9", "aux .ply", "prn:", "CONIN$"}) {
        std::ofstream(folder_path + name) << "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
        model m;
        expect_failure(engine::load_model_file(folder_path + name, m), m, name, "is a device, not a file");
    }
    model m;
    for (const std::string& name : {std::string("\\\\.\\COM1"), std::string("//./pipe/model.obj")})
        expect_failure(engine::load_model_file(name, m), m, "", "is a device, not a file");
    // Not a device name: an ordinary missing file.
    expect_failure(engine::load_model_file(folder_path + "COM10.obj", m), m, "COM10.obj", "could not be opened");

    expect_failure(engine::load_model_file(box + std::string("\0.stl", 5), m), m, "box.obj",
                   "has a NUL character in its name");

    const std::string pipe = folder_path + "pipe.obj";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    expect_failure(engine::load_model_file(pipe, m), m, "pipe.obj", "is not a file");

    engine::picture p;
    EXPECT_EQ(engine::load_picture_file("C:\\pictures\\Com3.bmp", p).message, "Com3.bmp: is a device, not a file");
}

}  // namespace

// --- Files read a window at a time ----------------------------------------

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

load_outcome load_windowed(const std::string& bytes, const std::string& extension, std::size_t window, model& m) {
    engine::loading::byte_source source(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    source.set_window_bytes(window);
    if (extension == ".obj") return engine::load_obj(source, "", m);
    if (extension == ".ply") return engine::load_ply(source, m);
    return engine::load_stl(source, m);
}

// Every file read from memory in windows of a few bytes, so that its tokens,
// lines and records are cut at every kind of place, reads as the file held
// whole in one window does, bit for bit, failures included; and a file read
// from its name as from memory (for files that name no other files).
TEST(ModelStreams, SmallWindowsReadWhatTheWholeFileReads) {
    for (const char* name : {"OBJ/box.obj", "OBJ/box_without_lineending.obj", "OBJ/box_longline.obj",
                             "OBJ/box_UTF16BE.obj", "OBJ/concave_polygon.obj", "OBJ/testmixed.obj", "OBJ/spider.obj",
                             "STL/Spider_binary.stl", "STL/triangle_with_two_solids.stl", "STL/sphereWithHole.stl",
                             "PLY/cube_binary.ply", "PLY/cube_uv.ply", "PLY/issue623.ply", "PLY/float-color.ply"}) {
        const std::string path = assimp + name;
        const std::string bytes = bytes_of(path);
        const std::string extension = path.substr(path.size() - 4);
        ASSERT_FALSE(bytes.empty()) << name;
        model whole;
        const load_outcome expected = load_windowed(bytes, extension, bytes.size(), whole);
        if (extension != ".obj") {
            model from_file;
            load_outcome read = engine::load_model_file(path, from_file);
            for (std::string* line : {&read.message, &read.warning})
                if (!line->empty()) line->erase(0, engine::loading::file_name_of(path).size() + 2);
            EXPECT_TRUE(same_load(expected, whole, read, from_file)) << name << ": " << read.message;
        }
        for (std::size_t window : {1, 2, 5, 64, 4099}) {
            model m;
            const load_outcome outcome = load_windowed(bytes, extension, window, m);
            EXPECT_TRUE(same_load(expected, whole, outcome, m))
                << name << " in windows of " << window << ": " << outcome.message << outcome.warning;
        }
    }
}

// Lines far longer than the window: a comment and a run of blanks are read
// past, the corners of a line statement read on as they come, the last line
// still seen as cut short.
TEST(ModelStreams, LinesLongerThanTheWindowAreReadOn) {
    std::string text = "# " + std::string(3 << 20, 'x') + "\n" + std::string(5 << 19, ' ') + "v 1 1 0\n";
    constexpr int vertices = 1000;
    for (int i = 2; i <= vertices; ++i) text += "v " + std::to_string(i) + " " + std::to_string(i * i % 17) + " 0\n";
    text += "l";
    for (int round = 0; round < 300; ++round)
        for (int i = 1; i <= vertices; ++i) text += " " + std::to_string(i);
    text += " 1\nf 1 2 3\nv 1 2";
    ASSERT_GT(text.size(), std::size_t(6) << 20);
    scratch_folder folder;
    model from_file;
    const load_outcome read = engine::load_model_file(folder.write("long.obj", text), from_file);
    ASSERT_TRUE(read.ok) << read.message;
    EXPECT_EQ(read.warning, "long.obj: the file ends early, 1003 whole lines read");
    EXPECT_EQ(from_file.geometry.positions.size(), std::size_t(vertices));
    EXPECT_EQ(from_file.geometry.lines.size(), std::size_t(2 * vertices));  // each segment once, 1000 to 1 too
    EXPECT_EQ(from_file.geometry.triangle_count(), 1u);
    model windowed;
    const load_outcome small = load_windowed(text, ".obj", 4096, windowed);
    EXPECT_EQ(small.warning, "the file ends early, 1003 whole lines read");
    EXPECT_TRUE(windowed.geometry.lines == from_file.geometry.lines);
}

// What the viewer holds for as long as it shows a model: arrays without spare
// room, whether their sizes were known ahead (binary STL, PLY) or not.
TEST(ModelStreams, LoadedArraysKeepNoSpareRoom) {
    for (const char* name : {"STL/Spider_binary.stl", "STL/sphereWithHole.stl", "PLY/cube_binary.ply",
                             "PLY/cube_uv.ply", "OBJ/spider.obj"}) {
        const model m = load(assimp + name);
        const engine::mesh& g = m.geometry;
        EXPECT_EQ(g.positions.capacity(), g.positions.size()) << name;
        EXPECT_EQ(g.corners.capacity(), g.corners.size()) << name;
        EXPECT_EQ(g.triangle_material.capacity(), g.triangle_material.size()) << name;
    }
}
