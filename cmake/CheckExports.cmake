# Run as a test: the plug-in LIB must define exactly one dynamic symbol, EXPORT.
execute_process(COMMAND nm -D --defined-only ${LIB}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(STRIP "${out}" out)
string(REGEX REPLACE "\n" ";" lines "${out}")
list(LENGTH lines count)
if(NOT count EQUAL 1 OR NOT out MATCHES " T ${EXPORT}$")
  message(FATAL_ERROR "expected only '${EXPORT}' in ${LIB}, got:\n${out}")
endif()
