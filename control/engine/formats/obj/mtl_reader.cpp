#include "control/engine/formats/obj/mtl_reader.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "control/engine/files/text_tokens.h"

namespace engine::loading {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view without_blanks_before(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    return text;
}

// The first blank-separated word of `text`, taken off its front.
std::string_view take_word(std::string_view& text) {
    text = without_blanks_before(text);
    std::size_t end = 0;
    while (end < text.size() && !is_blank(text[end])) ++end;
    const std::string_view word = text.substr(0, end);
    text = without_blanks_before(text.substr(end));
    return word;
}

// A physically based value, 0..1; not finite: not given.
bool read_unit(std::string_view values, float& value) {
    double read = 0;
    if (!parse_number(take_word(values), read) || !std::isfinite(read)) return false;
    value = static_cast<float>(std::clamp(read, 0.0, 1.0));
    return true;
}

bool read_value(std::string_view values, float& value) {
    double read = 0;
    if (!parse_number(take_word(values), read)) return false;
    value = static_cast<float>(read);
    return true;
}

// "r g b", or "r" alone for a grey.
bool read_colour(std::string_view values, glm::vec3& colour) {
    float read[3];
    int count = 0;
    while (count < 3 && read_value(values, read[count])) {
        take_word(values);
        ++count;
    }
    if (count == 0) return false;  // "spectral file.rfl", "xyz x y z": not drawn with
    for (int i = 0; i < 3; ++i) colour[i] = read[i < count ? i : 0];
    return true;
}

// The options a texture statement may give before the file name: how many
// values follow each, and how many more numbers may ("-s u [v [w]]").
struct texture_option {
    std::string_view name;
    int values;
    int more_numbers;
};
constexpr texture_option texture_options[] = {
    {"-blendu", 1, 0}, {"-blendv", 1, 0}, {"-cc", 1, 0},    {"-clamp", 1, 0},  {"-imfchan", 1, 0},
    {"-type", 1, 0},   {"-colorspace", 1, 0}, {"-texres", 1, 0}, {"-boost", 1, 0}, {"-bm", 1, 0},
    {"-mm", 2, 0},     {"-o", 1, 2},     {"-s", 1, 2},      {"-t", 1, 2},
};

// "-s 2 2 -clamp on wood grain.png" -> "wood grain.png": the name is the
// rest of the line, blanks and all.
std::string_view texture_name(std::string_view statement) {
    std::string_view rest = without_blanks_before(statement);
    for (;;) {
        std::string_view after = rest;
        const std::string_view word = take_word(after);
        const texture_option* option = nullptr;
        for (const texture_option& o : texture_options)
            if (o.name == word) option = &o;
        if (option == nullptr) return rest;
        for (int i = 0; i < option->values; ++i) take_word(after);
        for (int i = 0; i < option->more_numbers; ++i) {
            std::string_view next = after;
            double number = 0;
            if (!parse_number(take_word(next), number)) break;
            after = next;
        }
        rest = after;
    }
}

library_material new_material(std::string_view name) {
    library_material m;
    m.look.name = std::string(name);
    m.look.ambient = m.look.diffuse = m.look.specular = glm::vec3(0.0f);
    m.look.shininess = 1.0f;
    m.look.opacity = 1.0f;
    return m;
}

}  // namespace

void read_mtl(const char* text, std::size_t size, std::vector<library_material>& out) {
    library_material current = new_material("");
    bool named = false, has_d = false, has_kd = false;
    // Fields before the first "newmtl" belong to no material. A material
    // may have an empty name, which "usemtl" with no name uses (Blender
    // writes both).
    auto finish = [&] {
        if (named) out.push_back(std::move(current));
    };
    std::size_t position = 0;
    while (position < size) {
        const std::size_t start = position;
        while (position < size && text[position] != '\n' && text[position] != '\r') ++position;
        std::string_view line(text + start, position - start);
        ++position;  // a CR LF leaves an empty line between them
        line = line.substr(0, line.find('\0'));
        while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
        const std::string_view keyword = take_word(line);
        if (keyword == "newmtl") {
            finish();
            current = new_material(line);
            named = true;
            has_d = has_kd = false;
        } else if (keyword == "Ka") {
            read_colour(line, current.look.ambient);
        } else if (keyword == "Kd") {
            has_kd = read_colour(line, current.look.diffuse) || has_kd;
        } else if (keyword == "Ks") {
            read_colour(line, current.look.specular);
        } else if (keyword == "Ns") {
            read_value(line, current.look.shininess);
        } else if (keyword == "d") {
            has_d = read_value(line, current.look.opacity) || has_d;
        } else if (keyword == "Tr" && !has_d) {
            // Transparency, the complement of "d"; where both are given "d" wins.
            float transparency = 0;
            if (read_value(line, transparency)) current.look.opacity = 1.0f - transparency;
        } else if (keyword == "Pr" || keyword == "Pm") {
            // Exporters write the metallic-roughness model's values beside
            // the classic ones; either makes the material physically based,
            // Kd its base colour, the other value as an unset one.
            float& value = keyword == "Pr" ? current.look.roughness : current.look.metallic;
            if (read_unit(line, value)) current.look.physical = true;
        } else if (keyword == "map_Kd") {
            const std::string_view name = texture_name(line);
            if (name.empty()) continue;
            current.diffuse_texture_name = std::string(name);
            if (!has_kd) current.look.diffuse = glm::vec3(0.6f);
        }
    }
    finish();
}

}  // namespace engine::loading
