# Stages the package's files in STAGE_DIR/VasaQuelto3D-<version> and zips them
# into OUT_DIR/VasaQuelto3D-<version>.zip; the installer package is built from
# the same staged files.
# Called with -DVERSION= -DSOURCE_DIR= -DSTAGE_DIR= -DOUT_DIR= -DPLUGIN= -DCONTROL= -DRUNNER= -DBMP2PNG=
#
# A script run with -P starts with the policies of CMake 2.x unless it asks
# for newer ones; under the old CMP0053, "@VERSION@" in a quoted argument is
# itself replaced by the version, and the placeholder is never found.
cmake_minimum_required(VERSION 3.25)

set(name VasaQuelto3D-${VERSION})
set(stage ${STAGE_DIR}/${name})
file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${stage}/examples/models)
file(COPY ${PLUGIN} ${CONTROL} ${RUNNER} ${BMP2PNG} DESTINATION ${stage})
file(COPY ${SOURCE_DIR}/examples/cube.txt ${SOURCE_DIR}/examples/tour.txt ${SOURCE_DIR}/examples/table.txt
          ${SOURCE_DIR}/examples/spheres.txt ${SOURCE_DIR}/examples/spheres.png
     DESTINATION ${stage}/examples)
file(COPY ${SOURCE_DIR}/examples/models/cube.obj ${SOURCE_DIR}/examples/models/cube.mtl
          ${SOURCE_DIR}/examples/models/table.glb ${SOURCE_DIR}/examples/models/spheres.glb
     DESTINATION ${stage}/examples/models)
file(READ ${SOURCE_DIR}/packaging/INSTALL.txt install_text)
string(REPLACE "@VERSION@" "${VERSION}" install_text "${install_text}")
if(install_text MATCHES "@[A-Z_]+@")
  message(FATAL_ERROR "INSTALL.txt keeps a placeholder: ${CMAKE_MATCH_0}")
endif()
# Windows line ends for the texts an author opens in Notepad.
string(REPLACE "\n" "\r\n" install_text "${install_text}")
file(WRITE ${stage}/INSTALL.txt "${install_text}")
file(READ ${SOURCE_DIR}/packaging/GUIDE.txt guide_text)
string(REPLACE "\n" "\r\n" guide_text "${guide_text}")
file(WRITE ${stage}/GUIDE.txt "${guide_text}")
foreach(script cube.txt tour.txt table.txt spheres.txt)
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

# Written beside and renamed when complete: a zip cut short by a failure
# never stands where the finished one would, newer than its inputs.
file(MAKE_DIRECTORY ${OUT_DIR})
file(REMOVE ${OUT_DIR}/${name}.zip ${OUT_DIR}/${name}.zip.part)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUT_DIR}/${name}.zip.part --format=zip ${name}
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUT_DIR}/${name}.zip.part)
  message(FATAL_ERROR "could not write ${OUT_DIR}/${name}.zip")
endif()
file(RENAME ${OUT_DIR}/${name}.zip.part ${OUT_DIR}/${name}.zip)
message(STATUS "package: ${OUT_DIR}/${name}.zip")
