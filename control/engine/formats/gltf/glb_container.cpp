#include "control/engine/formats/gltf/glb_container.h"

#include "control/engine/files/file_reading.h"

namespace engine::gltf {

namespace {

constexpr std::uint32_t glb_magic = 0x46546C67;         // "glTF"
constexpr std::uint32_t json_chunk_type = 0x4E4F534A;   // "JSON"
constexpr std::uint32_t binary_chunk_type = 0x004E4942;  // "BIN\0"
constexpr std::uint64_t header_bytes = 12, chunk_header_bytes = 8;

}  // namespace

bool read_glb_chunks(loading::byte_source& source, glb_chunks& out) {
    using loading::read_u32_le;
    const std::uint64_t size = source.size();
    unsigned char head[header_bytes + chunk_header_bytes];
    if (size < sizeof head || !source.read(0, head, sizeof head)) return false;
    const std::uint64_t json_size = read_u32_le(head + 12);
    const std::uint64_t binary_header = sizeof head + json_size;
    if (read_u32_le(head) != glb_magic || read_u32_le(head + 4) != 2 || read_u32_le(head + 8) != size ||
        read_u32_le(head + 16) != json_chunk_type || json_size == 0 || json_size % 4 != 0 ||
        binary_header + chunk_header_bytes > size)
        return false;
    unsigned char chunk[chunk_header_bytes];
    if (!source.read(binary_header, chunk, sizeof chunk)) return false;
    const std::uint64_t binary_size = read_u32_le(chunk);
    if (read_u32_le(chunk + 4) != binary_chunk_type || binary_size < 4 || binary_size % 4 != 0 ||
        binary_header + chunk_header_bytes + binary_size > size)
        return false;
    out.json.resize(static_cast<std::size_t>(json_size));
    if (!source.read(sizeof head, out.json.data(), out.json.size())) return false;
    out.binary_offset = binary_header + chunk_header_bytes;
    out.binary_size = binary_size;
    return true;
}

}  // namespace engine::gltf
