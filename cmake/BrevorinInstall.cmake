# What `cmake --install` puts under the prefix: the shared library with its
# soname links, both headers, a CMake package (brevorin::brevorin), a
# pkg-config file, the command-line tool, its man page and the documents.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(BREVORIN_INSTALL_STRIP "Strip the installed library and tool (the build tree keeps debug info)" ON)
if(BREVORIN_INSTALL_STRIP)
  # Runs in cmake_install.cmake before the target rules below, which strip
  # when this is set, exactly as `cmake --install --strip` would.
  install(CODE "set(CMAKE_INSTALL_DO_STRIP TRUE)")
endif()

install(TARGETS brevorin EXPORT brevorinTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS brevorin_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/brevorin.h ${PROJECT_SOURCE_DIR}/include/brevorin_host.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(BREVORIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/brevorin)
install(EXPORT brevorinTargets NAMESPACE brevorin:: DESTINATION ${BREVORIN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/brevorinConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/brevorinConfig.cmake
                              INSTALL_DESTINATION ${BREVORIN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/brevorinConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/brevorinConfig.cmake
              ${PROJECT_BINARY_DIR}/brevorinConfigVersion.cmake
        DESTINATION ${BREVORIN_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so a copied or relocated
# installation still works; that needs the path back up from the pc directory.
set(BREVORIN_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH BREVORIN_PC_TO_PREFIX /prefix/${BREVORIN_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" BREVORIN_PC_TO_PREFIX "${BREVORIN_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/brevorin.pc.in ${PROJECT_BINARY_DIR}/brevorin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brevorin.pc DESTINATION ${BREVORIN_PC_DIR})

# Shell completion reads the installed tool's --help when it completes, so
# the same two files serve every build.
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/brevorin.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME brevorin)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/_brevorin
          DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The man page is the tool's own --help and --version, so it cannot drift
# from the tool. A cross build cannot run the tool, and help2man is optional.
find_program(BREVORIN_HELP2MAN help2man)
if(BREVORIN_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(_man ${PROJECT_BINARY_DIR}/brevorin.1)
  set(_commands ${PROJECT_BINARY_DIR}/brevorin-commands.h2m)
  add_custom_command(OUTPUT ${_man}
                     COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:brevorin_cli> -DOUT=${_commands}
                             -P ${PROJECT_SOURCE_DIR}/cmake/brevorin-man-include.cmake
                     COMMAND ${CMAKE_COMMAND} -E env BREVORIN_HELP_FOR_MAN=1
                             ${BREVORIN_HELP2MAN} --no-info --section 1
                             --name "receive mail over POP3 or IMAP and send it over SMTP"
                             --include ${_commands} --output ${_man} $<TARGET_FILE:brevorin_cli>
                     DEPENDS brevorin_cli ${PROJECT_SOURCE_DIR}/cmake/brevorin-man-include.cmake
                     COMMENT "Writing the brevorin(1) man page with help2man")
  add_custom_target(brevorin_man ALL DEPENDS ${_man})
  install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "brevorin(1) man page not generated (help2man missing or cross build)")
endif()
