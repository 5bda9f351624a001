# qelcomm_man_page(TARGET NAME [VERSION_STRING]): the program's man page,
# made from its --help (and --version, unless VERSION_STRING is given) by
# help2man at build time, compressed as Debian installs man pages, and
# installed with the tools. Skipped where help2man is missing or the program
# cannot run on the build machine (the Windows cross builds).
find_program(QELCOMM_HELP2MAN help2man)

function(qelcomm_man_page target name)
  if(NOT QELCOMM_HELP2MAN OR CMAKE_CROSSCOMPILING)
    message(STATUS "${target}: no man page (help2man not found, or a cross build)")
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  set(version_option)
  if(ARGC GREATER 2)
    set(version_option "--version-string=${ARGV2}")
  endif()
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${QELCOMM_HELP2MAN} --no-info --no-discard-stderr ${version_option}
            "--name=${name}" --output=${page} $<TARGET_FILE:${target}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${target}
    COMMENT "Generating the ${target} man page"
    VERBATIM)
  add_custom_target(${target}_man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()
