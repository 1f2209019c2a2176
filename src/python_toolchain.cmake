# Debian's interpreter, for the Python extension modules of this project
# (included by each folder that builds one: imported targets are per folder).
set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Interpreter the Python modules are built for")
if(CMAKE_CROSSCOMPILING)
  # The build machine's interpreter cannot describe the target's; the
  # toolchain file points Python3_INCLUDE_DIR and Python3_SOABI at the target.
  find_package(Python3 REQUIRED COMPONENTS Development.Module)
else()
  find_package(Python3 REQUIRED COMPONENTS Interpreter Development.Module)
endif()

# Every Python artefact lands here, so that PYTHONPATH=<build>/python finds them all.
set(FLUMINA_PYTHON_OUTPUT_DIR ${CMAKE_BINARY_DIR}/python)
set(FLUMINA_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE PATH
  "Folder the Python modules are installed into, relative to the install prefix unless absolute")
