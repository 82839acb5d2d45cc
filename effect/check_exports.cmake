# Fails unless the module's dynamic symbol table defines EntryPointFunc and
# nothing else of its own (linker and runtime symbols aside).
execute_process(COMMAND nm -D --defined-only ${MODULE}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found FALSE)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  if(name STREQUAL "EntryPointFunc")
    set(found TRUE)
  # _ZT[IS]F...: typeinfo of function types, which UBSan's indirect-call
  # check emits with vague linkage in sanitizer builds.
  elseif(NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start|_ZT[IS]F.+)$")
    message(FATAL_ERROR "unexpected exported symbol: ${name}")
  endif()
endforeach()
if(NOT found)
  message(FATAL_ERROR "EntryPointFunc is not exported")
endif()
