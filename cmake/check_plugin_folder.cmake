# Installs the plug-in folder of the build BUILD into DIR and fails unless
# it holds the module, its descriptor, libhwy and tessivo-render; the
# module exports its entry point only; neither binary carries a test hook
# of the primitives, exported or hidden; and each finds what it loads
# beside itself or on the system, never in the build tree.
#
#   cmake -DBUILD=BUILD_DIR -DDIR=FOLDER -P check_plugin_folder.cmake
set(ENV{LD_LIBRARY_PATH} "")
file(REMOVE_RECURSE ${DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${DIR}
  OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD} --prefix ${DIR} failed")
endif()
foreach(name Tessivo.so Tessivo.plugin libhwy.so.1 tessivo-render)
  if(NOT EXISTS ${DIR}/${name})
    message(FATAL_ERROR "the plug-in folder lacks ${name}")
  endif()
endforeach()

set(MODULE ${DIR}/Tessivo.so)
include(${CMAKE_CURRENT_LIST_DIR}/../effect/check_exports.cmake)

foreach(binary Tessivo.so tessivo-render)
  set(file ${DIR}/${binary})
  # The full symbol table as well as the dynamic one: the primitives linked
  # into the module keep their names there although they are not exported.
  execute_process(COMMAND nm -a ${file} OUTPUT_VARIABLE symbols ERROR_QUIET)
  execute_process(COMMAND nm -D ${file} OUTPUT_VARIABLE dynamic_symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${file}")
  endif()
  if(binary STREQUAL "Tessivo.so" AND NOT symbols MATCHES "ippiMalloc_32f_C1")
    message(FATAL_ERROR "${file} has no symbol table to look for test hooks in")
  endif()
  if("${symbols}${dynamic_symbols}" MATCHES "(ippTest[A-Za-z]*)")
    message(FATAL_ERROR "${file} carries the test hook ${CMAKE_MATCH_1}")
  endif()

  execute_process(COMMAND readelf -d ${file} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${file}")
  endif()
  string(REGEX MATCHALL "\\((RPATH|RUNPATH)\\)[^\n]*" search_paths "${dynamic}")
  foreach(line IN LISTS search_paths)
    string(REGEX REPLACE "^[^[]*\\[(.*)\\]$" "\\1" paths "${line}")
    string(REPLACE ":" ";" paths "${paths}")
    foreach(path IN LISTS paths)
      if(NOT path STREQUAL "$ORIGIN")
        message(FATAL_ERROR "${file} looks for libraries in ${path}")
      endif()
    endforeach()
  endforeach()
  if(dynamic MATCHES "Shared library: \\[(libtessivo[^]]*)\\]")
    message(FATAL_ERROR "${file} needs ${CMAKE_MATCH_1}, which is not installed")
  endif()
endforeach()

# The module takes the libhwy of its folder, wherever the folder is.
execute_process(COMMAND ldd ${DIR}/Tessivo.so OUTPUT_VARIABLE resolved)
string(FIND "${resolved}" "libhwy.so.1 => ${DIR}/libhwy.so.1 " at)
if(at EQUAL -1)
  message(FATAL_ERROR "Tessivo.so does not load the libhwy beside it:\n${resolved}")
endif()
