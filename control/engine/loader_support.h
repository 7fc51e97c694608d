// What the model and picture loaders share: reading a file whole, a cursor
// over text tokens, number parsing that ignores the C locale, and the last
// checks every loaded model goes through. Internal to the loaders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "control/engine/model_loaders.h"
#include "control/engine/scene.h"

namespace engine::loading {

// "C:\models\cube.obj" -> "cube.obj"; both separators count on every system.
// A name ends at a NUL character (it is never opened, but named in messages).
std::string file_name_of(const std::string& path);
// "C:\models\cube.obj" -> "C:\models\"; "cube.obj" -> "" (the current folder).
std::string folder_of(const std::string& path);
// Lower-case extension with its dot: ".obj", or "".
std::string extension_of(const std::string& path);

// Reads a regular file of at most `limit` bytes. Uses C stdio, so a name is
// taken in the system's code page as the rest of the control passes it.
// Names with a NUL character and names of devices ("CON", "nul.obj", "COM1",
// "\\.\..."; on every system) are refused without being opened, anything
// else but a regular file before a byte is read.
bool read_file(const std::string& path, std::size_t limit, std::vector<unsigned char>& bytes,
               std::string& error);

// "1 triangle", "2 triangles".
std::string counted(std::size_t count, const char* noun);

// What a loader says of a file cut short, before what it kept:
// ends_early("12 of 5000 triangles") is "the file ends early, 12 of 5000 triangles read".
std::string ends_early(const std::string& read);

// Adds one clause to a one-line warning ("a; b").
void add_warning(std::string& warning, const std::string& clause);

load_outcome failure(model& out, std::string what);
load_outcome failure(picture& out, std::string what);

// Turns positions without any primitive into a point cloud; leaves out
// triangles, lines and points that use non-finite or missing positions and
// drops the non-finite positions; repairs the optional arrays (colours,
// texture coordinates, materials) and computes the bounds. Fails when nothing
// drawable is left.
load_outcome finish_model(model& m, std::string warning);

// A loader's body runs through this: a failed allocation (a file larger than
// memory) becomes a message rather than an exception out of the engine.
template <class Result, class Body>
load_outcome guarded(Result& out, Body&& body) {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return failure(out, "not enough memory to load it");
    } catch (const std::length_error&) {
        return failure(out, "not enough memory to load it");
    } catch (const std::exception& e) {
        return failure(out, std::string("could not be read (") + e.what() + ")");
    }
#else
    return body();
#endif
}

bool equals_ignoring_case(std::string_view a, std::string_view b);
bool starts_with_ignoring_case(std::string_view text, std::string_view prefix);

// A token quoted for a message: at most 24 characters, non-printable ones as '?'.
std::string quoted(std::string_view token);

// Whole token as a number, "+1.5e3", "nan" and "inf" included; out-of-range
// values become infinities (the finishing step leaves them out).
bool parse_number(std::string_view token, double& value);

// Blank-separated tokens of a text, with the line each is on.
class text_cursor {
public:
    text_cursor(const char* text, std::size_t size) : text_(text), size_(size) {}
    // The next token, or an empty view at the end.
    std::string_view next();
    // The rest of the current line (after the last token), not including the line end.
    std::string_view rest_of_line();
    bool at_end();
    std::size_t line() const { return token_line_; }  // 1-based line of the last token
    std::size_t offset() const { return position_; }  // bytes consumed

private:
    void skip_blanks();

    const char* text_;
    std::size_t size_;
    std::size_t position_ = 0;
    std::size_t line_ = 1;
    std::size_t token_line_ = 1;
};

// Little-endian reads from a byte array the caller has checked the size of.
inline std::uint32_t read_u32_le(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// Merges corners at identical positions into one position, so that smooth
// shading can share a normal across triangles (STL repeats every corner).
// `positions` starts empty and grows only through index_of.
class position_welder {
public:
    explicit position_welder(std::vector<glm::vec3>& positions) : positions_(positions) {}
    std::uint32_t index_of(const glm::vec3& p);

private:
    void grow();

    std::vector<glm::vec3>& positions_;
    std::vector<std::uint32_t> slots_;  // position index + 1; 0 is empty
};

}  // namespace engine::loading
