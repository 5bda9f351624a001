# Debian packages of the native build, made by CPack from the install rules:
#   dev     libqelcomm-dev    headers, static library, CMake and pkg-config files
#   tools   qelcomm-tools     qelctl, qelsim, man pages, bash completion
#   python  python3-qelcomm   the Python package
# scripts/package.sh runs cpack on the release tree.
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(CPACK_COMPONENTS_ALL dev tools)
if(TARGET _qelcomm)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()

# qelcomm.pc names the prefix it is installed under, which is known only at
# install time (cpack installs under /usr, check-install.sh elsewhere).
install(CODE "
  set(QELCOMM_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${_pkg}/qelcomm.pc.in\" \"${CMAKE_BINARY_DIR}/packaging/qelcomm.pc\" @ONLY)
  " COMPONENT dev)
install(FILES ${CMAKE_BINARY_DIR}/packaging/qelcomm.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Every package carries the copyright file and a Debian changelog, as Debian
# policy asks.
set(_changelog_dir ${CMAKE_BINARY_DIR}/packaging)
string(TIMESTAMP _changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(QELCOMM_MAINTAINER "QelComm developers <maintainers@users.noreply.c-seed-5e9126ef.example>")
foreach(_component ${CPACK_COMPONENTS_ALL})
  set(_name_dev libqelcomm-dev)
  set(_name_tools qelcomm-tools)
  set(_name_python python3-qelcomm)
  set(_name ${_name_${_component}})
  file(WRITE ${_changelog_dir}/${_name}/changelog
    "${_name} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- ${QELCOMM_MAINTAINER}  ${_changelog_date}\n")
  add_custom_command(OUTPUT ${_changelog_dir}/${_name}/changelog.gz
    COMMAND gzip -9nf -k changelog
    WORKING_DIRECTORY ${_changelog_dir}/${_name}
    DEPENDS ${_changelog_dir}/${_name}/changelog
    VERBATIM)
  list(APPEND _changelogs ${_changelog_dir}/${_name}/changelog.gz)
  install(FILES ${_pkg}/copyright ${_changelog_dir}/${_name}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_name} COMPONENT ${_component})
endforeach()
add_custom_target(qelcomm_changelogs ALL DEPENDS ${_changelogs})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qelcomm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QELCOMM_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqelcomm-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "C++20 library for Qel servo motors and Vemo modules
QelComm drives Qel servo motors, and the Vemo expansion modules fitted to
them, over one serial line: registers by number or name, in raw or user
units, reset, flash, status, group writes and module programming.
This package holds the headers, the static library, the CMake package
(find_package(qelcomm)) and the pkg-config file.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qelcomm-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tool and virtual bus for Qel servo motors
qelctl reads, writes, saves and restores the registers of Qel servo motors,
programs their Vemo modules and finds motors and serial adapters; without
a port it runs on an embedded virtual bus. qelsim serves a virtual bus of
motors and modules on a pseudo-terminal, with fault injection.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-qelcomm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The native module is built for this interpreter's ABI.
find_package(Python COMPONENTS Interpreter QUIET)
if(Python_VERSION)
  set(_py "${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}")
  math(EXPR _py_next "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${_py}), python3 (<< ${Python_VERSION_MAJOR}.${_py_next})")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${_pkg}/python3-qelcomm/prerm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python interface to Qel servo motors and Vemo modules
The qelcomm package drives Qel servo motors and their Vemo modules over a
serial line, or on an embedded virtual bus, from Python 3: a Pythonic layer
that raises QelError on failure, and the control's own method names for
ported scripts. It ships a type stub.")
include(CPack)
