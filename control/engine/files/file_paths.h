// File names as the loaders take them apart: the name, folder and extension
// of a path, names that open a device instead of a file, and where a file
// named inside a model file may be. Both separators count on every system.
// Internal to the loaders.
#pragma once

#include <string>
#include <vector>

namespace engine::loading {

// "C:\models\cube.obj" -> "cube.obj".
// A name ends at a NUL character (it is never opened, but named in messages).
std::string file_name_of(const std::string& path);
// "C:\models\cube.obj" -> "C:\models\"; "cube.obj" -> "" (the current folder).
std::string folder_of(const std::string& path);
// Lower-case extension with its dot: ".obj", or "".
std::string extension_of(const std::string& path);

// A name Windows opens as a device instead of a file: one of the reserved
// names as the last part of the path, with any extension ("CON", "nul.obj",
// "C:\models\COM1.stl"; COM and LPT also with the superscript digits of
// code page 1252), or a path in the device namespace ("\\.\COM1").
bool names_a_device(const std::string& path);

// Where a file named in an OBJ or MTL may be: as written, relative to the
// model's folder, then by its bare name in that folder (libraries made on
// another machine name folders that do not exist here).
std::vector<std::string> candidate_paths(const std::string& folder, std::string name);

}  // namespace engine::loading
