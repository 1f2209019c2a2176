# Wrapper scripts for tests of a cross build that start programs by path.
# ctest runs executable targets under CMAKE_CROSSCOMPILING_EMULATOR by
# itself, but a program started by a test (a peer process, a child
# interpreter) can only be one of the build machine: these wrappers are such
# programs, each running its AArch64 program under the emulator.

# <var> = path of a wrapper that runs executable target <target>.
function(flumina_emulated_program var target)
  _flumina_wrapper(wrapper ${target} "exec EMULATOR '$<TARGET_FILE:${target}>' \"$@\"")
  set(${var} ${wrapper} PARENT_SCOPE)
endfunction()

# <var> = path of a wrapper that runs the target's python3 of
# FLUMINA_AARCH64_ROOT. The wrapper's own path becomes the interpreter's
# sys.executable, so the child interpreters it starts (subprocess,
# multiprocessing's spawn) run emulated as well.
function(flumina_emulated_python var)
  set(root ${FLUMINA_AARCH64_ROOT})
  if(NOT EXISTS ${root}/usr/bin/python3)
    message(FATAL_ERROR "cannot run the Python tests under emulation: ${root} has no usr/bin/python3 (scripts/setup --cross unpacks an arm64 userland there, or set FLUMINA_AARCH64_ROOT)")
  endif()
  _flumina_wrapper(wrapper python3
    "PYTHONHOME='${root}/usr' exec EMULATOR -0 \"$0\" '${root}/usr/bin/python3' \"$@\"")
  set(${var} ${wrapper} PARENT_SCOPE)
endfunction()

# Writes the sh script <name> whose one command is <command>, EMULATOR
# standing for the emulator's command line; <var> = its path.
function(_flumina_wrapper var name command)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(FATAL_ERROR "no CMAKE_CROSSCOMPILING_EMULATOR: use a toolchain file from cmake/toolchains/")
  endif()
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "' '" words)
  string(REPLACE "EMULATOR" "'${words}'" command "${command}")
  set(wrapper ${CMAKE_BINARY_DIR}/emulated/${name})
  file(GENERATE OUTPUT ${wrapper} CONTENT "#!/bin/sh\n${command}\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(${var} ${wrapper} PARENT_SCOPE)
endfunction()
