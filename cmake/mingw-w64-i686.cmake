# Cross build for 32-bit Windows (i686) with mingw-w64; test programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_qelcomm_mingw i686-w64-mingw32)
set(QELCOMM_WIDL_FLAGS --win32)
set(QELCOMM_STDOLE_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
