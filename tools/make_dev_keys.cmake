# Makes the development release key pair once: cmake -DPUBLISH=<orlex-publish> -DDIR=<dir> -P make_dev_keys.cmake
# Both halves stay in the build tree; an incomplete pair is replaced by a fresh one.
if(EXISTS "${DIR}/release-private.der" AND EXISTS "${DIR}/release-public.der")
  return()
endif()
file(REMOVE "${DIR}/release-private.der" "${DIR}/release-public.der")
execute_process(COMMAND "${PUBLISH}" keygen "${DIR}/release-private.der" "${DIR}/release-public.der"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "orlex-publish keygen failed: ${result}")
endif()
