# Install rules and the package files (pkg-config, CMake package, desktop entry).
# Layout under the prefix: bin/ (Demo, vcom; Demo.exe and tty.dll on Windows), lib/ (libtty.so with its
# SONAME links, or on Windows the import library libtty.dll.a; pkgconfig/tty.pc, cmake/tty/),
# include/tty.h, share/applications/Demo.desktop.
include(CMakePackageConfigHelpers)

set(TTY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tty)

# install(TARGETS) reads relative PUBLIC_HEADER paths against this directory, not the
# library's own: anchor them where the library lives.
get_target_property(_tty_headers tty PUBLIC_HEADER)
get_target_property(_tty_source_dir tty SOURCE_DIR)
list(TRANSFORM _tty_headers PREPEND ${_tty_source_dir}/ REGEX "^[^/]")
set_target_properties(tty PROPERTIES PUBLIC_HEADER "${_tty_headers}")

install(TARGETS tty EXPORT ttyTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET vcom)
  install(TARGETS vcom RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# find_package(tty) gives the imported target tty::tty.
install(EXPORT ttyTargets NAMESPACE tty:: DESTINATION ${TTY_CMAKE_DIR} FILE ttyTargets.cmake)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ttyConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/ttyConfig.cmake INSTALL_DESTINATION ${TTY_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/ttyConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/ttyConfig.cmake ${PROJECT_BINARY_DIR}/package/ttyConfigVersion.cmake
  DESTINATION ${TTY_CMAKE_DIR})

# tty.pc finds its prefix from its own place, so it stays right whatever prefix
# `cmake --install --prefix` is given.
configure_file(${CMAKE_CURRENT_LIST_DIR}/tty.pc.in ${PROJECT_BINARY_DIR}/package/tty.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/tty.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Demo is built on Linux where Qt 6 is found, and always on Windows (Demo.exe, beside tty.dll
# in bin/). The Linux desktop entry names the installed program by full path, which is known
# only when the install runs (the prefix may be given then).
if(TARGET Demo)
  install(TARGETS Demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET Demo AND NOT WIN32)
  install(CODE "
    set(DEMO_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/Demo\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/Demo.desktop.in\" \"${PROJECT_BINARY_DIR}/package/Demo.desktop\" @ONLY)
  ")
  install(FILES ${PROJECT_BINARY_DIR}/package/Demo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
