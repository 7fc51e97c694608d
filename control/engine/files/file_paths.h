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

// Why a name read from inside a model file is not followed, or "" when it
// may be: a model names only files on this computer. Refused are network
// names ("\\host\share\...", "//host/share/..."), names in the "\\?\" and
// "\\.\" namespaces, device names ("CON", "COM1.png") and URLs of any
// scheme ("http://...", "file:///..."; "C:" is a drive, not a scheme).
// The reason reads after the name: "\\host\t.png is a network name ...".
std::string refusal_of(const std::string& name);

// A URI reference's percent-encoded bytes decoded ("my%20part.bin" ->
// "my part.bin"); a '%' without two hex digits after it stays as it is, and
// so does '+' (a space only in web forms).
std::string percent_decoded(const std::string& uri);

// Where a file named in an OBJ or MTL may be, in the order to try: a relative
// name in the model's folder, then its bare name there; an absolute one by its
// bare name in the model's folder first (files exported on another machine
// name folders of that machine), then as given; a refused name only by its
// bare name in the model's folder.
std::vector<std::string> candidate_paths(const std::string& folder, std::string name);

// `path` with its "." and ".." segments resolved by their text alone, never
// above the path's root (a drive "C:\", "/", or a share "\\host\share\"),
// repeated separators as one. "C:\m\sub\..\.\t.png" -> "C:\m\t.png".
std::string normalised_path(const std::string& path);

// One key for every spelling of a file's name that a loader may meet:
// normalised, with one separator, and on Windows in one case of letters.
std::string file_key(const std::string& path);

}  // namespace engine::loading
