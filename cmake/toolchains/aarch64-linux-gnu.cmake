# Cross build for AArch64 Linux with Debian's cross compiler and the arm64
# multiarch libraries (`scripts/setup --cross` installs both). Test programs
# run under qemu-user; FLUMINA_AARCH64_ROOT is the root whose
# /lib/ld-linux-aarch64.so.1 and /usr/lib/aarch64-linux-gnu they load from.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# GNUInstallDirs picks Debian's multiarch folder only for native builds.
set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (LIBDIR)")

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers and libraries of the target come from the multiarch directories
# (/usr/include/aarch64-linux-gnu, /usr/lib/aarch64-linux-gnu), which the
# cross compiler and CMAKE_LIBRARY_ARCHITECTURE already search first; programs
# such as the code generators run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The build machine's interpreter cannot describe the target's: ask the
# target's python3-config (libpython3-dev:arm64) for its headers and the
# suffix of its extension modules.
find_program(FLUMINA_TARGET_PYTHON_CONFIG aarch64-linux-gnu-python3-config)
if(FLUMINA_TARGET_PYTHON_CONFIG)
  execute_process(COMMAND ${FLUMINA_TARGET_PYTHON_CONFIG} --includes
    OUTPUT_VARIABLE _flumina_py_includes OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${FLUMINA_TARGET_PYTHON_CONFIG} --extension-suffix
    OUTPUT_VARIABLE _flumina_py_suffix OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX MATCH "-I([^ ]+)" _flumina_py_include "${_flumina_py_includes}")
  set(Python3_INCLUDE_DIR "${CMAKE_MATCH_1}" CACHE PATH "Headers of the target's Python")
  string(REGEX REPLACE "^\\.(.+)\\.so$" "\\1" Python3_SOABI "${_flumina_py_suffix}")
  # pybind11 would ask the build machine's interpreter.
  set(PYTHON_MODULE_EXTENSION "${_flumina_py_suffix}")
endif()

# pkg-config must never hand out the build machine's amd64 libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# The arm64 userland of `scripts/setup --cross` when it is there, else this
# machine's multiarch root, which has what the C++ programs need.
if(NOT DEFINED FLUMINA_AARCH64_ROOT)
  set(FLUMINA_AARCH64_ROOT "$ENV{FLUMINA_AARCH64_ROOT}")
  if(FLUMINA_AARCH64_ROOT STREQUAL "" AND EXISTS /var/cache/flumina/aarch64-root/usr/bin/python3)
    set(FLUMINA_AARCH64_ROOT /var/cache/flumina/aarch64-root)
  elseif(FLUMINA_AARCH64_ROOT STREQUAL "")
    set(FLUMINA_AARCH64_ROOT /)
  endif()
endif()
set(FLUMINA_AARCH64_ROOT "${FLUMINA_AARCH64_ROOT}" CACHE PATH "Root that the emulated AArch64 programs load their libraries from")
find_program(FLUMINA_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${FLUMINA_QEMU_AARCH64} -L ${FLUMINA_AARCH64_ROOT})
