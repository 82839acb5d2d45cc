# Sanitizer and fuzzing builds; clang only.
#
# TESSIVO_SANITIZE: every target, the effect modules and both variants of
# the primitives included, is built with AddressSanitizer (leak detection
# on) and UndefinedBehaviorSanitizer. Any report aborts the process, so a
# test that triggers one fails under CTest.
#
# TESSIVO_FUZZ: the same sanitizers plus libFuzzer's coverage
# instrumentation on the project's code; fuzz/ links the fuzzer driver.

if(NOT TESSIVO_SANITIZE AND NOT TESSIVO_FUZZ)
  function(tessivo_sanitizer_module_fixups)
  endfunction()
  return()
endif()

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "TESSIVO_SANITIZE and TESSIVO_FUZZ need clang "
                      "(configure with -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)")
endif()

# float-cast-overflow is named on its own so that an out-of-range float to
# integer conversion (a pixel store, a kernel size) is caught whatever the
# compiler's "undefined" group holds.
set(TESSIVO_SANITIZERS address,undefined,float-cast-overflow)
add_compile_options(-fsanitize=${TESSIVO_SANITIZERS} -fno-sanitize-recover=all
                    -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=${TESSIVO_SANITIZERS} -fno-sanitize-recover=all)
# The stand-in host keeps the effect module mapped after unloading it, so
# that leak reports at exit can symbolise the module's frames.
add_compile_definitions(TESSIVO_KEEP_MODULE_MAPPED)
if(TESSIVO_FUZZ)
  # Coverage for the fuzzer everywhere; only fuzz/ links libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The sanitizer runtimes live in the executable that loads the effect
# module, so the module keeps undefined references to them: drop the
# link-time check for undefined symbols from both builds of it.
function(tessivo_sanitizer_module_fixups)
  foreach(module Tessivo tessivo_test_module)
    if(NOT TARGET ${module})
      continue()
    endif()
    get_target_property(options ${module} LINK_OPTIONS)
    if(options)
      list(REMOVE_ITEM options -Wl,--no-undefined)
      set_target_properties(${module} PROPERTIES LINK_OPTIONS "${options}")
    endif()
  endforeach()
endfunction()
