# Debian packages of the two deliverables, one set per architecture:
#   libflumina1       the library with its header, CMake package and pkg-config file
#   python3-flumina   the Python extension module, in Debian's dist-packages
# and, from a build with the host service (the build machine's, never the
# device's), the development kit that a PC needs besides them:
#   flumina-devhost   flumina-host with its manual page and systemd unit, the
#                     stand-ins libkorvane_ipc, Korvane and android, and the
#                     pytest plugin flumina_devhost
#
#   scripts/package    (the build machine's three, into build-package/debs)
# A cross build (cmake/toolchains/) gives the two packages of its architecture.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flumina)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "flumina maintainers <flumina@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies of the binaries come from dpkg-shlibdeps, which asks
# the package database of the target architecture (arm64 multiarch for a
# cross build).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Debian's name of the target architecture; dpkg would report the build machine's.
if(CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE FLUMINA_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT FLUMINA_DEB_ARCH)
  execute_process(COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE FLUMINA_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${FLUMINA_DEB_ARCH})

set(CPACK_COMPONENTS_ALL library)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libflumina${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# The first line of a description is the package's synopsis.
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "client library for the host stream service
libflumina connects to the host stream service of the Android host, starts
sessions and moves raw frames through the shared-memory frame channels. The
package carries the header, a CMake package (find_package(flumina)) and a
pkg-config file.")
# Building against the header needs these; running a program does not, so a
# device installs without them when recommends are off.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_RECOMMENDS "libboost-system-dev (>= 1.74), nlohmann-json3-dev (>= 3.11)")
# Packages of programs linking libflumina get their dependency on it from
# the shlibs file (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

if(TARGET flumina_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-flumina)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python module for the host stream service
The extension module flumina (class flm) registers streams, checks that they
can run together, starts the session through the host's Python bridge and
reads, shows and pushes frames as numpy arrays. The host modules Korvane and
android come with the host application.")
  # Built on the stable ABI: it loads in that interpreter version and every later one.
  get_target_property(_flumina_py flumina_python FLUMINA_PYTHON_ABI)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${_flumina_py}), python3-numpy, python3-opencv")
endif()

if(TARGET flumina-host AND TARGET korvane_python)
  list(APPEND CPACK_COMPONENTS_ALL devhost)
  set(CPACK_DEBIAN_DEVHOST_PACKAGE_NAME flumina-devhost)
  set(CPACK_DEBIAN_DEVHOST_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_DEVHOST_DESCRIPTION "development kit for flumina programs on a PC
Everything a PC needs besides libflumina1 and python3-flumina to run and test
programs written for the host stream service: flumina-host, the development
stand-in for the service (with its manual page and a systemd unit, installed
but not enabled), the stand-ins of the host's region component
(libkorvane_ipc, which libflumina loads by itself) and Python modules
(Korvane, android), and a pytest plugin whose fixture flumina_host gives each
test a fresh flumina-host.")
  # The Korvane module is built for one interpreter version; the plugin needs pytest.
  get_target_property(_korvane_py korvane_python FLUMINA_PYTHON_VERSION)
  string(REGEX MATCH "^[0-9]+" _korvane_py_major ${_korvane_py})
  string(REGEX MATCH "[0-9]+$" _korvane_py_minor ${_korvane_py})
  math(EXPR _korvane_py_next "${_korvane_py_minor} + 1")
  set(CPACK_DEBIAN_DEVHOST_PACKAGE_DEPENDS
    "python3 (>= ${_korvane_py}), python3 (<< ${_korvane_py_major}.${_korvane_py_next}), python3-pytest")
  set(CPACK_DEBIAN_DEVHOST_PACKAGE_RECOMMENDS
    "${CPACK_DEBIAN_LIBRARY_PACKAGE_NAME} (= ${PROJECT_VERSION}), python3-flumina (= ${PROJECT_VERSION})")
endif()

# Read by cpack: packages need a build for /usr, and dpkg-shlibdeps must look
# at the target architecture's libraries.
set(_flumina_cross_arch "")
if(CMAKE_CROSSCOMPILING)
  set(_flumina_cross_arch ${FLUMINA_DEB_ARCH})
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake @ONLY CONTENT [[
if(NOT "@CMAKE_INSTALL_PREFIX@" STREQUAL "/usr")
  message(FATAL_ERROR "cannot package a build for @CMAKE_INSTALL_PREFIX@: the packages install under /usr, so configure it with -DCMAKE_INSTALL_PREFIX=/usr")
endif()
if(NOT "@_flumina_cross_arch@" STREQUAL "")
  set(ENV{DEB_HOST_ARCH} @_flumina_cross_arch@)
endif()
]])
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)

include(CPack)
