# tarsin_delay_import(name): the library tarsin_delay_<name>, through which the DLL of
# cmake/delay/<name>.def is loaded at the first call of one of its functions rather than
# before the entry point. Windows looks for a DLL that is not one of its "known DLLs" in the
# executable's folder first, and the launcher's folder is the game's: players drop mods
# there. Loaded late, the DLL is looked for where the entry point has restricted the search
# to (app/dll_search.cpp). Debian's mingw-w64 ships no .def files for these DLLs, hence ours;
# a function called without being listed there fails the link.
find_program(TARSIN_DLLTOOL ${TARSIN_TRIPLE}-dlltool REQUIRED)

function(tarsin_delay_import name)
  set(def ${PROJECT_SOURCE_DIR}/cmake/delay/${name}.def)
  set(lib ${CMAKE_BINARY_DIR}/delay/lib${name}_delay.a)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  if(TARSIN_BUILD_KIND STREQUAL win32)
    # The 32-bit names carry their argument bytes (@N) for the linker; the DLL exports
    # them bare.
    set(options -k -d ${def})
  else()
    file(READ ${def} text)
    string(REGEX REPLACE "@[0-9]+" "" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/delay/${name}.def "${text}")
    set(options -d ${CMAKE_BINARY_DIR}/delay/${name}.def)
  endif()
  add_custom_command(OUTPUT ${lib} COMMAND ${TARSIN_DLLTOOL} ${options} -y ${lib} DEPENDS ${def}
                     COMMENT "Delay-import library for ${name}")
  add_custom_target(tarsin_delay_${name}_lib DEPENDS ${lib})
  add_library(tarsin_delay_${name} INTERFACE)
  target_link_libraries(tarsin_delay_${name} INTERFACE ${lib})
  add_dependencies(tarsin_delay_${name} tarsin_delay_${name}_lib)
endfunction()

# GNU ld drops the stub of a library function that is called only through its "__imp_"
# pointer, and with it the stub that loads the DLL: the pointer stays null, and the first call
# jumps to address 0. So callers must call the stubs: winhttp.h and bcrypt.h declare their
# functions plainly, commctrl.h as imported unless told otherwise.

foreach(name winhttp bcrypt comctl32)
  tarsin_delay_import(${name})
endforeach()
target_compile_definitions(tarsin_delay_comctl32 INTERFACE WINCOMMCTRLAPI=)
