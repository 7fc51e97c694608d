// tinygltf as the engine uses it, the same in every file that includes it
// (its class differs with these switches): no file system or stb_image of its
// own; the glTF document supplies file reading and picture decoding, and reads
// the picture files a glTF names itself, after the rest.
#pragma once

#define TINYGLTF_NO_FS
#define TINYGLTF_NO_EXTERNAL_IMAGE
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#include <tiny_gltf.h>
