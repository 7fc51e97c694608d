#include "control/engine/loader_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace engine::loading {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool is_blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

struct file_closer {
    std::FILE* file;
    ~file_closer() {
        if (file) std::fclose(file);
    }
};

float finite_or(float value, float fallback) { return std::isfinite(value) ? value : fallback; }

glm::vec3 unit_colour(const glm::vec3& c, const glm::vec3& fallback) {
    glm::vec3 result;
    for (int i = 0; i < 3; ++i) result[i] = std::clamp(finite_or(c[i], fallback[i]), 0.0f, 1.0f);
    return result;
}

void repair_materials(model& m) {
    const material defaults;
    for (material& mat : m.materials) {
        mat.ambient = unit_colour(mat.ambient, defaults.ambient);
        mat.diffuse = unit_colour(mat.diffuse, defaults.diffuse);
        mat.specular = unit_colour(mat.specular, defaults.specular);
        mat.shininess = std::clamp(finite_or(mat.shininess, defaults.shininess), 0.0f, 1024.0f);
        mat.opacity = std::clamp(finite_or(mat.opacity, 1.0f), 0.0f, 1.0f);
        if (mat.diffuse_texture < -1 || mat.diffuse_texture >= static_cast<int>(m.textures.size()))
            mat.diffuse_texture = -1;
    }
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Whether `path` begins with `prefix`, where a backslash in `prefix` stands
// for either separator and letters match in any case.
bool has_prefix(const std::string& path, const char* prefix) {
    for (std::size_t i = 0; prefix[i]; ++i) {
        if (i >= path.size()) return false;
        if (prefix[i] == '\\' ? !is_separator(path[i]) : upper(path[i]) != prefix[i]) return false;
    }
    return true;
}

// A name Windows opens as a device instead of a file: one of the reserved
// names as the last part of the path, with any extension ("CON", "nul.obj",
// "C:\models\COM1.stl"; COM and LPT also with the superscript digits of
// code page 1252), or a path in the device namespace ("\\.\COM1").
bool names_a_device(const std::string& path) {
    if (has_prefix(path, "\\\\.\\")) return true;
    std::string rest = path;
    if (has_prefix(path, "\\\\?\\") || has_prefix(path, "\\??\\")) {
        rest = path.substr(4);
        const bool drive = rest.size() >= 2 && rest[1] == ':';
        if (!drive && !has_prefix(rest, "UNC\\")) return true;
    }
    std::string name = file_name_of(rest);
    if (name.size() >= 2 && name[1] == ':') name.erase(0, 2);  // "C:CON"
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) c = upper(c);
    for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
        if (name == reserved) return true;
    if (name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0)) {
        const unsigned char digit = static_cast<unsigned char>(name[3]);
        return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}

}  // namespace

std::string file_name_of(const std::string& path) {
    const std::size_t end = std::min(path.size(), path.find('\0'));
    std::size_t start = end;
    while (start > 0 && !is_separator(path[start - 1])) --start;
    return path.substr(start, end - start);
}

std::string folder_of(const std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && !is_separator(path[end - 1])) --end;
    return path.substr(0, end);
}

std::string extension_of(const std::string& path) {
    const std::string name = file_name_of(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return "";
    std::string extension = name.substr(dot);
    for (char& c : extension) c = lower(c);
    return extension;
}

bool read_file(const std::string& path, std::size_t limit, std::vector<unsigned char>& bytes, std::string& error) {
    bytes.clear();
    // The system would open the name only up to the NUL: another file.
    if (path.find('\0') != std::string::npos) {
        error = "has a NUL character in its name";
        return false;
    }
    // A folder or a device opens fine on some systems and then reads
    // forever or nothing; only regular files are read. A device is refused
    // by its name before opening, since opening one (a serial port) can wait
    // too; what the name does not give away, the opened file's type does.
    if (names_a_device(path)) {
        error = "is a device, not a file";
        return false;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && (status.st_mode & S_IFMT) != S_IFREG) {
        error = "is not a file";
        return false;
    }
    file_closer file{std::fopen(path.c_str(), "rb")};
    if (!file.file) {
        error = "could not be opened (missing or not readable)";
        return false;
    }
    if (::fstat(fileno(file.file), &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG) {
        error = "is not a file";
        return false;
    }
    if (std::fseek(file.file, 0, SEEK_END) != 0) {
        error = "could not be read";
        return false;
    }
    const long end = std::ftell(file.file);
    if (end < 0 || static_cast<unsigned long>(end) > limit) {
        error = "is larger than the limit of " + std::to_string(limit >> 20) + " MB";
        return false;
    }
    if (std::fseek(file.file, 0, SEEK_SET) != 0) {
        error = "could not be read";
        return false;
    }
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
    try {
        bytes.resize(static_cast<std::size_t>(end));
    } catch (const std::bad_alloc&) {
        error = "is too large to be read into memory";
        return false;
    }
#else
    bytes.resize(static_cast<std::size_t>(end));
#endif
    if (end > 0 && std::fread(bytes.data(), 1, bytes.size(), file.file) != bytes.size()) {
        bytes.clear();
        error = "could not be read whole";
        return false;
    }
    return true;
}

std::string counted(std::size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string ends_early(const std::string& read) { return "the file ends early, " + read + " read"; }

void add_warning(std::string& warning, const std::string& clause) {
    if (clause.empty()) return;
    if (!warning.empty()) warning += "; ";
    warning += clause;
}

load_outcome failure(model& out, std::string what) {
    out = model{};
    return {false, std::move(what), {}};
}

load_outcome failure(picture& out, std::string what) {
    out = picture{};
    return {false, std::move(what), {}};
}

load_outcome finish_model(model& m, std::string warning) {
    mesh& g = m.geometry;
    const std::size_t count = g.positions.size();
    if (g.corners.empty() && g.lines.empty() && g.points.empty()) {
        // Positions and nothing else: a point cloud.
        g.points.resize(count);
        for (std::size_t i = 0; i < count; ++i) g.points[i] = static_cast<std::uint32_t>(i);
    }
    if (count == 0) return failure(m, "contains no triangles, lines or points");

    std::vector<char> usable(count);
    bool all_usable = true;
    for (std::size_t i = 0; i < count; ++i) {
        const glm::vec3& p = g.positions[i];
        usable[i] = std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
        all_usable = all_usable && usable[i];
    }
    auto good = [&](std::uint32_t index) { return index < count && usable[index]; };

    const std::size_t triangles = g.corners.size() / 3;
    g.triangle_material.resize(triangles, -1);
    std::size_t kept = 0;
    for (std::size_t t = 0; t < triangles; ++t) {
        const corner* c = &g.corners[3 * t];
        if (!good(c[0].position) || !good(c[1].position) || !good(c[2].position)) continue;
        std::copy(c, c + 3, g.corners.begin() + static_cast<std::ptrdiff_t>(3 * kept));
        g.triangle_material[kept++] = g.triangle_material[t];
    }
    const std::size_t dropped_triangles = triangles - kept;
    g.corners.resize(3 * kept);
    g.triangle_material.resize(kept);

    std::size_t kept_lines = 0;
    const std::size_t lines = g.lines.size() / 2;
    for (std::size_t i = 0; i < lines; ++i) {
        if (!good(g.lines[2 * i]) || !good(g.lines[2 * i + 1])) continue;
        g.lines[2 * kept_lines] = g.lines[2 * i];
        g.lines[2 * kept_lines + 1] = g.lines[2 * i + 1];
        ++kept_lines;
    }
    g.lines.resize(2 * kept_lines);
    const std::size_t points = g.points.size();
    g.points.erase(std::remove_if(g.points.begin(), g.points.end(), [&](std::uint32_t i) { return !good(i); }),
                   g.points.end());
    const std::size_t dropped_lines = lines - kept_lines, dropped_points = points - g.points.size();

    if (g.colors.size() != count) g.colors.clear();
    for (glm::vec3& c : g.colors) c = unit_colour(c, glm::vec3(1.0f));

    if (!all_usable) {
        // Non-finite positions go, so that nothing that walks the positions
        // (vertex display, bounds) meets them.
        std::vector<std::uint32_t> new_index(count, no_index);
        std::size_t next = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (!usable[i]) continue;
            new_index[i] = static_cast<std::uint32_t>(next);
            g.positions[next] = g.positions[i];
            if (!g.colors.empty()) g.colors[next] = g.colors[i];
            ++next;
        }
        g.positions.resize(next);
        if (!g.colors.empty()) g.colors.resize(next);
        for (corner& c : g.corners) c.position = new_index[c.position];
        for (std::uint32_t& i : g.lines) i = new_index[i];
        for (std::uint32_t& i : g.points) i = new_index[i];
    }

    for (glm::vec2& t : g.texcoords) t = glm::vec2(finite_or(t.x, 0.0f), finite_or(t.y, 0.0f));
    for (corner& c : g.corners)
        if (c.texcoord != no_index && c.texcoord >= g.texcoords.size()) c.texcoord = no_index;
    for (int& id : g.triangle_material)
        if (id < -1 || id >= static_cast<int>(m.materials.size())) id = -1;
    repair_materials(m);

    if (g.corners.empty() && g.lines.empty() && g.points.empty())
        return failure(m, "has no triangle, line or point whose coordinates are all finite numbers");
    std::string dropped;
    for (const auto& [number, noun] : {std::pair{dropped_triangles, "triangle"}, std::pair{dropped_lines, "line"},
                                       std::pair{dropped_points, "point"}}) {
        if (number == 0) continue;
        if (!dropped.empty()) dropped += ", ";
        dropped += counted(number, noun);
    }
    if (!dropped.empty()) add_warning(warning, "left out " + dropped + " with coordinates that are not finite numbers");
    compute_bounds(m);
    return {true, {}, std::move(warning)};
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equals_ignoring_case(text.substr(0, prefix.size()), prefix);
}

std::string quoted(std::string_view token) {
    const std::size_t shown = std::min<std::size_t>(token.size(), 24);
    std::string result = "'";
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(token[i]);
        result += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
    }
    if (shown < token.size()) result += "...";
    return result + "'";
}

bool parse_number(std::string_view token, double& value) {
    const char* first = token.data();
    const char* last = first + token.size();
    // from_chars takes no plus sign; the files do.
    if (first != last && *first == '+') {
        ++first;
        if (first != last && (*first == '-' || *first == '+')) return false;
    }
    const auto [end, error] = std::from_chars(first, last, value);
    if (end != last || first == last) return false;
    if (error == std::errc::result_out_of_range) {
        // Too large or too small for a double: the exponent's sign says which.
        const bool negative = *first == '-';
        const char* e = std::find_if(first, last, [](char c) { return c == 'e' || c == 'E'; });
        const bool tiny = e != last && e + 1 != last && e[1] == '-';
        value = tiny ? 0.0 : HUGE_VAL;
        if (negative) value = -value;
        return true;
    }
    return error == std::errc();
}

void text_cursor::skip_blanks() {
    while (position_ < size_ && is_blank(text_[position_])) {
        if (text_[position_] == '\n') ++line_;
        ++position_;
    }
}

std::string_view text_cursor::next() {
    skip_blanks();
    token_line_ = line_;
    const std::size_t start = position_;
    while (position_ < size_ && !is_blank(text_[position_])) ++position_;
    return std::string_view(text_ + start, position_ - start);
}

std::string_view text_cursor::rest_of_line() {
    const std::size_t start = position_;
    while (position_ < size_ && text_[position_] != '\n' && text_[position_] != '\r') ++position_;
    return std::string_view(text_ + start, position_ - start);
}

bool text_cursor::at_end() {
    skip_blanks();
    return position_ >= size_;
}

std::uint32_t position_welder::index_of(const glm::vec3& p) {
    // Hash the exact bits; +0 and -0 are the same place.
    std::uint32_t bits[3];
    for (int i = 0; i < 3; ++i) {
        const float value = p[i] == 0.0f ? 0.0f : p[i];
        std::memcpy(&bits[i], &value, sizeof value);
    }
    if ((positions_.size() + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::uint32_t hash = bits[0] * 0x9E3779B1u ^ bits[1] * 0x85EBCA77u ^ bits[2] * 0xC2B2AE3Du;
    hash ^= hash >> 15;
    hash *= 0x2C1B3C6Du;
    hash ^= hash >> 12;
    std::size_t slot = hash & mask;
    for (;;) {
        const std::uint32_t entry = slots_[slot];
        if (entry == 0) break;
        const glm::vec3& q = positions_[entry - 1];
        if (std::memcmp(&q, &p, sizeof q) == 0 || (q == p && !std::isnan(p.x)))
            return entry - 1;
        slot = (slot + 1) & mask;
    }
    positions_.push_back(p);
    slots_[slot] = static_cast<std::uint32_t>(positions_.size());
    return static_cast<std::uint32_t>(positions_.size() - 1);
}

void position_welder::grow() {
    std::size_t size = slots_.empty() ? 1024 : slots_.size() * 2;
    slots_.assign(size, 0);
    // Re-insert what is there: positions are unique by construction.
    std::vector<glm::vec3> existing;
    existing.swap(positions_);
    positions_.reserve(existing.capacity());
    for (const glm::vec3& p : existing) index_of(p);
}

}  // namespace engine::loading
