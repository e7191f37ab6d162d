# morvane_split_debug(<target>): with MORVANE_SPLIT_DEBUG, the target's DWARF sections
# and symbols go into <file>.debug beside it after the link, and the file keeps only a debug link
# to it, so a shipped binary is small and a crash in it can still be read with gdb.
function(morvane_split_debug target)
  if(NOT MORVANE_SPLIT_DEBUG)
    return()
  endif()
  # objcopy stamps a PE image it writes with the current time unless SOURCE_DATE_EPOCH
  # names one: 0, as the linker leaves it (--no-insert-timestamp), so that the same
  # sources give the same files.
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${objcopy} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Splitting the debug information of $<TARGET_FILE_NAME:${target}>"
    VERBATIM)
endfunction()
