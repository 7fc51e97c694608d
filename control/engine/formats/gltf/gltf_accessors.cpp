#include "control/engine/formats/gltf/gltf_accessors.h"

#include <algorithm>
#include <cstring>

namespace engine::gltf {

namespace {

// Values one accessor may bring: beyond this its floats alone would take
// 256 MB, a good part of what a 32-bit process has.
constexpr std::uint64_t max_accessor_values = std::uint64_t(64) << 20;

int component_size(int type) {
    switch (type) {
        case TINYGLTF_COMPONENT_TYPE_BYTE:
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return 1;
        case TINYGLTF_COMPONENT_TYPE_SHORT:
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: return 2;
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
        case TINYGLTF_COMPONENT_TYPE_FLOAT: return 4;
        default: return 0;
    }
}

int components_of(int type) {
    switch (type) {
        case TINYGLTF_TYPE_SCALAR: return 1;
        case TINYGLTF_TYPE_VEC2: return 2;
        case TINYGLTF_TYPE_VEC3: return 3;
        case TINYGLTF_TYPE_VEC4: return 4;
        default: return 0;  // matrices: no attribute the viewer reads has them
    }
}

// Where `count` elements of `element_bytes` lie, `stride` apart, checked
// against the view and the view against its buffer.
struct located {
    const unsigned char* first = nullptr;
    std::uint64_t stride = 0;
};

bool locate(const tinygltf::Model& file, int view_index, std::uint64_t offset, std::size_t count,
            std::uint64_t element_bytes, bool strided, located& out, std::string& error) {
    if (view_index < 0 || static_cast<std::size_t>(view_index) >= file.bufferViews.size()) {
        error = "refers to a buffer view the file does not have";
        return false;
    }
    const tinygltf::BufferView& view = file.bufferViews[static_cast<std::size_t>(view_index)];
    if (view.buffer < 0 || static_cast<std::size_t>(view.buffer) >= file.buffers.size()) {
        error = "refers to a buffer the file does not have";
        return false;
    }
    const std::vector<unsigned char>& buffer = file.buffers[static_cast<std::size_t>(view.buffer)].data;
    if (std::uint64_t(view.byteOffset) + view.byteLength > buffer.size()) {
        error = "has a buffer view reaching past the end of its buffer";
        return false;
    }
    out.stride = strided && view.byteStride != 0 ? view.byteStride : element_bytes;
    if (out.stride < element_bytes) {
        error = "has a byte stride shorter than its elements";
        return false;
    }
    if (count > 0 && offset + out.stride * (count - 1) + element_bytes > view.byteLength) {
        error = "reaches past the end of its buffer view";
        return false;
    }
    out.first = buffer.data() + view.byteOffset + offset;
    return true;
}

float component(const unsigned char* at, int type, bool normalised) {
    switch (type) {
        case TINYGLTF_COMPONENT_TYPE_FLOAT: {
            float value;
            std::memcpy(&value, at, 4);
            return value;
        }
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return normalised ? at[0] / 255.0f : at[0];
        case TINYGLTF_COMPONENT_TYPE_BYTE: {
            const float value = static_cast<signed char>(at[0]);
            return normalised ? std::max(value / 127.0f, -1.0f) : value;
        }
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
            const float value = static_cast<float>(at[0] | at[1] << 8);
            return normalised ? value / 65535.0f : value;
        }
        case TINYGLTF_COMPONENT_TYPE_SHORT: {
            const float value = static_cast<std::int16_t>(at[0] | at[1] << 8);
            return normalised ? std::max(value / 32767.0f, -1.0f) : value;
        }
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT: {
            std::uint32_t value;
            std::memcpy(&value, at, 4);
            return static_cast<float>(value);
        }
        default: return 0.0f;
    }
}

std::uint32_t index_at(const unsigned char* at, int type) {
    switch (type) {
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return at[0];
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: return std::uint32_t(at[0] | at[1] << 8);
        default: {
            std::uint32_t value;
            std::memcpy(&value, at, 4);
            return value;
        }
    }
}

bool is_unsigned_integer(int type) {
    return type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE || type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ||
           type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT;
}

bool type_accepted(const tinygltf::Accessor& a, unsigned types) {
    if (a.componentType == TINYGLTF_COMPONENT_TYPE_FLOAT) return types & float_components;
    if ((types & unsigned_integers) && !a.normalized && is_unsigned_integer(a.componentType)) return true;
    if (!a.normalized) return false;
    return (a.componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE && (types & normalised_unsigned_byte)) ||
           (a.componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT && (types & normalised_unsigned_short));
}

const tinygltf::Accessor* accessor_of(const tinygltf::Model& file, int index, std::string& error) {
    if (index < 0 || static_cast<std::size_t>(index) >= file.accessors.size()) {
        error = "refers to an accessor the file does not have";
        return nullptr;
    }
    return &file.accessors[static_cast<std::size_t>(index)];
}

// Reads every element through `store(element, bytes)`: the dense part, then
// the sparse substitutions.
template <class Store>
bool read_elements(const tinygltf::Model& file, const tinygltf::Accessor& a, std::uint64_t element_bytes,
                   Store&& store, std::string& error) {
    if (a.bufferView >= 0) {
        located dense;
        if (!locate(file, a.bufferView, a.byteOffset, a.count, element_bytes, true, dense, error)) return false;
        for (std::size_t i = 0; i < a.count; ++i) store(i, dense.first + dense.stride * i);
    }
    if (!a.sparse.isSparse) return true;
    const std::size_t count = static_cast<std::size_t>(std::max(a.sparse.count, 0));
    if (a.sparse.count < 1 || count > a.count) {
        error = "has more sparse values than elements";
        return false;
    }
    const int index_type = a.sparse.indices.componentType;
    if (!is_unsigned_integer(index_type)) {
        error = "has sparse indices that are not unsigned integers";
        return false;
    }
    located indices, values;
    if (a.sparse.indices.byteOffset < 0 || a.sparse.values.byteOffset < 0 ||
        !locate(file, a.sparse.indices.bufferView, std::uint64_t(a.sparse.indices.byteOffset), count,
                std::uint64_t(component_size(index_type)), false, indices, error) ||
        !locate(file, a.sparse.values.bufferView, std::uint64_t(a.sparse.values.byteOffset), count, element_bytes,
                false, values, error))
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t target = index_at(indices.first + indices.stride * i, index_type);
        if (target >= a.count) {
            error = "has a sparse index beyond its elements";
            return false;
        }
        store(target, values.first + values.stride * i);
    }
    return true;
}

}  // namespace

std::size_t element_count(const tinygltf::Model& file, int accessor) {
    return accessor >= 0 && static_cast<std::size_t>(accessor) < file.accessors.size()
               ? file.accessors[static_cast<std::size_t>(accessor)].count
               : 0;
}

bool read_floats(const tinygltf::Model& file, int accessor, const accepted& kinds, std::vector<float>& values,
                 int& components, std::string& error) {
    values.clear();
    const tinygltf::Accessor* a = accessor_of(file, accessor, error);
    if (!a) return false;
    components = components_of(a->type);
    const int size = component_size(a->componentType);
    if (components == 0 || !(kinds.components & (1u << components)) || size == 0 || !type_accepted(*a, kinds.types)) {
        error = "has elements of a type glTF does not allow there";
        return false;
    }
    if (std::uint64_t(a->count) * components > max_accessor_values) {
        error = "has more elements than the viewer can hold";
        return false;
    }
    values.assign(a->count * static_cast<std::size_t>(components), 0.0f);
    const int type = a->componentType;
    const bool normalised = a->normalized;
    const int n = components;
    return read_elements(
        file, *a, std::uint64_t(size) * n,
        [&](std::size_t element, const unsigned char* at) {
            float* out = values.data() + element * static_cast<std::size_t>(n);
            for (int k = 0; k < n; ++k) out[k] = component(at + k * size, type, normalised);
        },
        error);
}

bool read_indices(const tinygltf::Model& file, int accessor, std::vector<std::uint32_t>& values, std::string& error) {
    values.clear();
    const tinygltf::Accessor* a = accessor_of(file, accessor, error);
    if (!a) return false;
    if (a->type != TINYGLTF_TYPE_SCALAR || !is_unsigned_integer(a->componentType)) {
        error = "has indices that are not unsigned integers";
        return false;
    }
    if (a->count > max_accessor_values) {
        error = "has more indices than the viewer can hold";
        return false;
    }
    values.assign(a->count, 0);
    const int type = a->componentType;
    return read_elements(
        file, *a, std::uint64_t(component_size(type)),
        [&](std::size_t element, const unsigned char* at) { values[element] = index_at(at, type); }, error);
}

}  // namespace engine::gltf
