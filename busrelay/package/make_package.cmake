# Writes modbus.zip and mbver.txt (cmake -P). Inputs: BINARY STRIP SCRIPTS_DIR
# DESC_DIR VERSION OUT_DIR. The zip unpacks relative to /gateway into modbus/.
# It never holds map.json, vrvC.json, mbacl.json or mbopts.json: the tool unpacks with
# "unzip -o", which would overwrite the engineer's configuration.
set(stage "${OUT_DIR}/stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/modbus/descJson")

file(COPY "${BINARY}" DESTINATION "${stage}/modbus"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
get_filename_component(bin_name "${BINARY}" NAME)
if(STRIP)
  execute_process(COMMAND "${STRIP}" "${stage}/modbus/${bin_name}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "strip failed: ${STRIP}")
  endif()
endif()
foreach(script relay_start.sh set_mb_autorun.sh)
  file(COPY "${SCRIPTS_DIR}/${script}" DESTINATION "${stage}/modbus"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
endforeach()
file(GLOB desc "${DESC_DIR}/*.json")
file(COPY ${desc} DESTINATION "${stage}/modbus/descJson")
file(WRITE "${stage}/modbus/ver.txt" "${VERSION}\n")

file(GLOB_RECURSE forbidden "${stage}/map.json" "${stage}/*/map.json" "${stage}/*/vrvC.json"
     "${stage}/*/mbacl.json" "${stage}/*/mbopts.json")
if(forbidden)
  message(FATAL_ERROR "the package must not carry configuration files: ${forbidden}")
endif()

# Fixed time stamps: the same inputs give the same zip and the same MD5.
file(REMOVE "${OUT_DIR}/modbus.zip")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${OUT_DIR}/modbus.zip" --format=zip
                        "--mtime=2022-09-06 00:00:00 UTC" modbus
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "zip failed")
endif()
file(MD5 "${OUT_DIR}/modbus.zip" digest)
string(TOLOWER "${digest}" digest)
file(WRITE "${OUT_DIR}/mbver.txt" "${VERSION}\n${digest}\n")
file(SIZE "${stage}/modbus/${bin_name}" size)
message(STATUS "upgrade package: ${OUT_DIR}/modbus.zip (${bin_name} stripped: ${size} bytes), mbver.txt ${digest}")
file(REMOVE_RECURSE "${stage}")
