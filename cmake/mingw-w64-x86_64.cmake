# Cross build for 64-bit Windows with mingw-w64; test programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_qelcomm_mingw x86_64-w64-mingw32)
set(QELCOMM_WIDL_FLAGS --win64)
set(QELCOMM_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
