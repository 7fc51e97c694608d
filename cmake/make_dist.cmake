# Builds dist/VasaQuelto3D-<version>.zip from the built files.
# Called with -DVERSION= -DSOURCE_DIR= -DOUT_DIR= -DPLUGIN= -DCONTROL= -DRUNNER= -DBMP2PNG=
set(name VasaQuelto3D-${VERSION})
set(stage ${OUT_DIR}/stage/${name})
file(REMOVE_RECURSE ${OUT_DIR}/stage)
file(MAKE_DIRECTORY ${stage}/examples/models)
file(COPY ${PLUGIN} ${CONTROL} ${RUNNER} ${BMP2PNG} DESTINATION ${stage})
file(COPY ${SOURCE_DIR}/examples/cube.txt ${SOURCE_DIR}/examples/tour.txt DESTINATION ${stage}/examples)
file(COPY ${SOURCE_DIR}/examples/models/cube.obj ${SOURCE_DIR}/examples/models/cube.mtl
     DESTINATION ${stage}/examples/models)
file(READ ${SOURCE_DIR}/packaging/INSTALL.txt install_text)
string(REPLACE "@VERSION@" "${VERSION}" install_text "${install_text}")
# Windows line ends for the texts an author opens in Notepad.
string(REPLACE "\n" "\r\n" install_text "${install_text}")
file(WRITE ${stage}/INSTALL.txt "${install_text}")
foreach(script cube.txt tour.txt)
  file(READ ${stage}/examples/${script} text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${stage}/examples/${script} "${text}")
endforeach()
file(REMOVE ${OUT_DIR}/${name}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUT_DIR}/${name}.zip --format=zip ${name}
                WORKING_DIRECTORY ${OUT_DIR}/stage RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not write ${OUT_DIR}/${name}.zip")
endif()
file(REMOVE_RECURSE ${OUT_DIR}/stage)
message(STATUS "package: ${OUT_DIR}/${name}.zip")
