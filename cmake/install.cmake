# Install rules and the package files (pkg-config, CMake package, desktop entry, icon, manual
# pages). Layout under the prefix: bin/ (Demo, vcom; Demo.exe and tty.dll on Windows), lib/
# (libtty.so with its SONAME links, or on Windows the import library libtty.dll.a;
# pkgconfig/tty.pc, cmake/tty/), include/tty.h, share/applications/Demo.desktop,
# share/icons/, share/man/man1/.
# Each rule belongs to one component, which packaging.cmake turns into a package:
#   runtime      the library by its SONAME (tty.dll on Windows)
#   development  the header, the unversioned link or import library, tty.pc, the CMake package
#   programs     Demo, vcom and what goes with them
# On Windows tty.pc and the CMake package are the component "config", which the zip leaves out.
include(CMakePackageConfigHelpers)

set(TTY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tty)
if(WIN32)
  set(TTY_CONFIG_COMPONENT config)
else()
  set(TTY_CONFIG_COMPONENT development)
endif()

# install(TARGETS) reads relative PUBLIC_HEADER paths against this directory, not the
# library's own: anchor them where the library lives.
get_target_property(_tty_headers tty PUBLIC_HEADER)
get_target_property(_tty_source_dir tty SOURCE_DIR)
list(TRANSFORM _tty_headers PREPEND ${_tty_source_dir}/ REGEX "^[^/]")
set_target_properties(tty PROPERTIES PUBLIC_HEADER "${_tty_headers}")

install(TARGETS tty EXPORT ttyTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
if(TARGET vcom)
  install(TARGETS vcom RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()

# find_package(tty) gives the imported target tty::tty.
install(EXPORT ttyTargets NAMESPACE tty:: DESTINATION ${TTY_CMAKE_DIR} FILE ttyTargets.cmake
  COMPONENT ${TTY_CONFIG_COMPONENT})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ttyConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/ttyConfig.cmake INSTALL_DESTINATION ${TTY_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/ttyConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/ttyConfig.cmake ${PROJECT_BINARY_DIR}/package/ttyConfigVersion.cmake
  DESTINATION ${TTY_CMAKE_DIR} COMPONENT ${TTY_CONFIG_COMPONENT})

# tty.pc finds its prefix from its own place, so it stays right whatever prefix
# `cmake --install --prefix` is given.
configure_file(${CMAKE_CURRENT_LIST_DIR}/tty.pc.in ${PROJECT_BINARY_DIR}/package/tty.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/tty.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT ${TTY_CONFIG_COMPONENT})

# Demo is built on Linux where Qt 6 is found, and always on Windows (Demo.exe, beside tty.dll
# in bin/). The Linux desktop entry names the installed program by full path, which is known
# only when the install runs (the prefix may be given then; a package build gives its
# final prefix, with the staging folder as DESTDIR).
if(TARGET Demo)
  install(TARGETS Demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()
if(TARGET Demo AND NOT WIN32)
  install(CODE "
    set(DEMO_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/Demo\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/Demo.desktop.in\" \"${PROJECT_BINARY_DIR}/package/Demo.desktop\" @ONLY)
  " COMPONENT programs)
  install(FILES ${PROJECT_BINARY_DIR}/package/Demo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
    COMPONENT programs)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/tty-demo.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT programs)
endif()

# Manual pages go with the project's version, gzipped (-n: no name or time stamp, so a rebuild
# gives the same bytes).
foreach(program Demo vcom)
  if(TARGET ${program} AND NOT WIN32)
    set(_page ${PROJECT_BINARY_DIR}/package/${program}.1)
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${program}.1 ${_page} @ONLY)
    execute_process(COMMAND gzip -9n -c ${_page} OUTPUT_FILE ${_page}.gz COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
  endif()
endforeach()

# The zip for Windows users starts with a read-me on where tty.dll goes, with Windows' line
# ends.
if(WIN32)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/windows/README.txt _readme)
  string(CONFIGURE "${_readme}" _readme @ONLY)
  string(REPLACE "\n" "\r\n" _readme "${_readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/package/README.txt "${_readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/windows/README.txt)
  install(FILES ${PROJECT_BINARY_DIR}/package/README.txt DESTINATION . COMPONENT programs)
endif()
