# Debian's header-only libraries (GLM, stb, tinygltf with nlohmann's JSON,
# fast_float). The cross compiler
# must not see /usr/include itself, where Linux system headers would shadow
# mingw's, so each library is linked into a folder of its own in the build
# tree and only that folder goes on the include path.
set(QUELTO_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${QUELTO_THIRD_PARTY_INCLUDE})
foreach(entry glm stb tiny_gltf.h nlohmann fast_float)
  if(NOT EXISTS /usr/include/${entry})
    message(FATAL_ERROR "/usr/include/${entry} is missing: run scripts/setup.sh")
  endif()
  if(NOT EXISTS ${QUELTO_THIRD_PARTY_INCLUDE}/${entry})
    file(CREATE_LINK /usr/include/${entry} ${QUELTO_THIRD_PARTY_INCLUDE}/${entry} SYMBOLIC)
  endif()
endforeach()

add_library(quelto_third_party INTERFACE)
target_include_directories(quelto_third_party SYSTEM INTERFACE ${QUELTO_THIRD_PARTY_INCLUDE})
# GLM: radians everywhere, no implicit experimental extensions.
target_compile_definitions(quelto_third_party INTERFACE GLM_FORCE_RADIANS GLM_ENABLE_EXPERIMENTAL)
