// How the loaders say what went wrong: a failed outcome with its message,
// the clauses of a warning, counted nouns and quoted tokens, and a guard that
// turns running out of memory into a message. Internal to the loaders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/model/scene.h"

namespace engine::loading {

// "1 triangle", "2 triangles".
std::string counted(std::size_t count, const char* noun);

// A size for a message: "247 bytes", "196 KB", "1900 MB".
std::string byte_size(std::uint64_t bytes);

// What a loader says of a file cut short, before what it kept:
// ends_early("12 of 5000 triangles") is "the file ends early, 12 of 5000 triangles read".
std::string ends_early(const std::string& read);

// Adds one clause to a one-line warning ("a; b").
void add_warning(std::string& warning, const std::string& clause);

// A token quoted for a message: at most `longest` characters, non-printable ones as '?'.
std::string quoted(std::string_view token, std::size_t longest = 24);

// Empties `out` and fails with `what`.
load_outcome failure(model& out, std::string what);
load_outcome failure(picture& out, std::string what);

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

}  // namespace engine::loading
