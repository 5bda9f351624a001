# What both mingw-w64 toolchain files share; they set CMAKE_SYSTEM_PROCESSOR,
# _qelcomm_mingw (the target triplet), QELCOMM_WIDL_FLAGS and
# QELCOMM_STDOLE_DIR (where Wine keeps the stdole2.tlb of that bitness,
# which the control's type library imports), then include this.
#
# The -posix compilers are used because the default win32 thread model has no
# std::mutex/std::thread, which GoogleTest needs. Linking is static so that the
# executables need no MinGW runtime DLLs next to them under Wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${_qelcomm_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_qelcomm_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_qelcomm_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_qelcomm_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# CTest and add_custom_command run target executables through this wrapper.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR
  ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run.sh ABSOLUTE)

# The type-library compiler of the same target.
set(QELCOMM_WIDL ${_qelcomm_mingw}-widl)
