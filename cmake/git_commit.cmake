# Writes OUT with the commit the sources are at (with "-modified" when the
# work tree differs from it), rewriting it only when that changes, so that
# a build after a commit names the new one without rebuilding anything else.
execute_process(COMMAND git -C "${SRC}" rev-parse --short=12 HEAD
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR commit STREQUAL "")
  set(commit "unknown")
else()
  execute_process(COMMAND git -C "${SRC}" diff --quiet HEAD -- RESULT_VARIABLE changed ERROR_QUIET)
  if(changed)
    string(APPEND commit "-modified")
  endif()
endif()
file(WRITE "${OUT}.new" "#define MARLVANE_GIT_COMMIT \"${commit}\"\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
