// A glTF accessor's values, read only after every byte they need has been
// found inside its buffer view and the view inside its buffer. Internal to
// the glTF loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control/engine/formats/gltf/tinygltf_configured.h"

namespace engine::gltf {

// Which element types and component types an attribute allows, as bit sets.
struct accepted {
    unsigned components;  // bit n: n components per element (SCALAR 1, VEC2 2 ...)
    unsigned types;       // of the component_bit values below
};

enum component_bit : unsigned {
    float_components = 1,
    normalised_unsigned_byte = 2,
    normalised_unsigned_short = 4,
    unsigned_integers = 8,  // byte, short or int, as the numbers they are (indices)
};

// The elements of an accessor as floats, `components` per element, integers
// normalised to 0..1 (or -1..1) where the accessor says so, sparse
// substitutions applied. `components` is that of the accessor; false with a
// one-line reason when the accessor is not one `kinds` allows or does not
// fit its buffer.
bool read_floats(const tinygltf::Model& file, int accessor, const accepted& kinds, std::vector<float>& values,
                 int& components, std::string& error);

// Index values (scalar unsigned bytes, shorts or ints).
bool read_indices(const tinygltf::Model& file, int accessor, std::vector<std::uint32_t>& values, std::string& error);

// The number of elements an accessor claims, or 0 when it names none.
std::size_t element_count(const tinygltf::Model& file, int accessor);

}  // namespace engine::gltf
