# The packages, made by CPack from the install components of install.cmake:
#   Linux:   three Debian packages (cmake --workflow --preset packages, into build/packages/)
#   Windows: one zip of the programs, the library and what a C caller needs
#            (cmake --workflow --preset windows-zip, into build/packages/)
# Every version comes from project(VERSION); the Debian dependencies come from the binaries
# (dpkg-shlibdeps) and from the components' own order.
set(TTY_PACKAGE_MAINTAINER "tty maintainers <maintainers@users.noreply.c-seed-bce934b4.example>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME tty)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tty maintainers")
set(CPACK_PACKAGE_CONTACT "${TTY_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial ports by COM number: a C library and a terminal")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tty-${PROJECT_VERSION}-win64)
  # One folder of three components; not "config": pkg-config and CMake files mean nothing to a
  # Windows user.
  set(CPACK_INSTALL_CMAKE_PROJECTS)
  foreach(component runtime development programs)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${PROJECT_BINARY_DIR} tty ${component} /)
  endforeach()
  include(CPack)
  return()
endif()

# The package names follow Debian's rules: a library package is named after its SONAME.
set(TTY_DEB_RUNTIME libtty${PROJECT_VERSION_MAJOR})
set(TTY_DEB_DEVELOPMENT libtty-dev)
set(TTY_DEB_PROGRAMS tty-terminal)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development programs)
# The install sees its final prefix (the desktop entry names /usr/bin/Demo), with the staging
# folder as DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TTY_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE tty)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
# Demo loads the library at run time, so no binary of the programs names it.
set(CPACK_COMPONENT_PROGRAMS_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TTY_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache is renewed by dpkg's trigger (CPack also writes scripts that call ldconfig).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "serial ports by COM number through a flat C interface
The tty library opens serial ports by COM number: local UARTs, USB serial
adapters, pseudo-terminals mapped as COM numbers, and ports on serial servers
over the network (RFC 2217 or raw TCP). Eighteen IOP_ functions configure the
line, move bytes with time-outs and report the modem lines and errors.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${TTY_DEB_DEVELOPMENT})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "serial ports by COM number: development files
The header tty.h, which is also the manual of the tty library, the link
for -ltty, a pkg-config file (tty) and a CMake package: find_package(tty)
gives the target tty::tty.")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME ${TTY_DEB_PROGRAMS})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION comm)
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "serial terminal and virtual serial ports
Demo is a small serial terminal window: pick a port and its line settings,
connect, and type; what the device sends back is shown. vcom makes
pseudo-terminals look like serial ports (an echoing device, a null-modem
pair, a port on standard input and output), lists the machine's serial
ports without opening them, and maps ports on serial servers.")

# Each package carries its own copyright file and changelog (a native package: changelog.gz).
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/package/changelog @ONLY)
execute_process(COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/package/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/package/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(component runtime development programs)
  string(TOUPPER ${component} _upper)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/package/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${_upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
