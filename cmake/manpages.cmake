# Man pages, written in POD next to the program they describe and turned into man pages by
# pod2man, when it is there (Debian's perl has it).
find_program(HDX_POD2MAN pod2man)

# hdx_man_page(SOURCE NAME SECTION): builds NAME.SECTION from SOURCE and installs it.
function(hdx_man_page source name section)
  if(NOT HDX_POD2MAN)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name}.${section})
  add_custom_command(OUTPUT ${page}
                     COMMAND ${HDX_POD2MAN} --section=${section} --center=hdx
                             --release=${PROJECT_VERSION} --name=${name} ${source} ${page}
                     DEPENDS ${source} VERBATIM)
  add_custom_target(${name}_man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
