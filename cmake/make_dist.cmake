# Builds dist/VasaQuelto3D-<version>.zip from the built files.
# Called with -DVERSION= -DSOURCE_DIR= -DOUT_DIR= -DPLUGIN= -DCONTROL= -DRUNNER= -DBMP2PNG=
#
# A script run with -P starts with the policies of CMake 2.x unless it asks
# for newer ones; under the old CMP0053, "@VERSION@" in a quoted argument is
# itself replaced by the version, and the placeholder is never found.
cmake_minimum_required(VERSION 3.25)

set(name VasaQuelto3D-${VERSION})
set(stage ${OUT_DIR}/stage/${name})
file(REMOVE_RECURSE ${OUT_DIR}/stage)
file(MAKE_DIRECTORY ${stage}/examples/models)
file(COPY ${PLUGIN} ${CONTROL} ${RUNNER} ${BMP2PNG} DESTINATION ${stage})
file(COPY ${SOURCE_DIR}/examples/cube.txt ${SOURCE_DIR}/examples/tour.txt ${SOURCE_DIR}/examples/table.txt
     DESTINATION ${stage}/examples)
file(COPY ${SOURCE_DIR}/examples/models/cube.obj ${SOURCE_DIR}/examples/models/cube.mtl
          ${SOURCE_DIR}/examples/models/table.glb
     DESTINATION ${stage}/examples/models)
file(READ ${SOURCE_DIR}/packaging/INSTALL.txt install_text)
string(REPLACE "@VERSION@" "${VERSION}" install_text "${install_text}")
if(install_text MATCHES "@[A-Z_]+@")
  message(FATAL_ERROR "INSTALL.txt keeps a placeholder: ${CMAKE_MATCH_0}")
endif()
# Windows line ends for the texts an author opens in Notepad.
string(REPLACE "\n" "\r\n" install_text "${install_text}")
file(WRITE ${stage}/INSTALL.txt "${install_text}")
foreach(script cube.txt tour.txt table.txt)
  file(READ ${stage}/examples/${script} text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${stage}/examples/${script} "${text}")
endforeach()

# REFERENCE.txt, the actions and the control's members, comes from the runner:
# the actions as the built plug-in registers them, the members from the
# control's own table. The runner is a Windows program, run as the build runs
# every one (Wine; an emulated machine where 32-bit programs cannot run).
get_filename_component(build_dir ${RUNNER} DIRECTORY)
execute_process(COMMAND ${SOURCE_DIR}/scripts/wine-run.sh ${RUNNER} --dll Z:${PLUGIN}
                        --reference Z:${stage}/REFERENCE.txt
                WORKING_DIRECTORY ${build_dir} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(failed OR NOT EXISTS ${stage}/REFERENCE.txt)
  message(FATAL_ERROR "could not write REFERENCE.txt with ${RUNNER} --reference:\n${output}")
endif()

file(REMOVE ${OUT_DIR}/${name}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUT_DIR}/${name}.zip --format=zip ${name}
                WORKING_DIRECTORY ${OUT_DIR}/stage RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not write ${OUT_DIR}/${name}.zip")
endif()
file(REMOVE_RECURSE ${OUT_DIR}/stage)
message(STATUS "package: ${OUT_DIR}/${name}.zip")
