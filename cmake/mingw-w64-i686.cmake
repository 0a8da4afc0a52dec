# Windows on i686, cross-compiled with mingw-w64. The code runs on a 486 or
# later, as NT 4.0 and Windows 95 in practice do: the compiler's default (a
# Pentium Pro's instructions, cmov among them) would fault on a Pentium.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_FLAGS_INIT "-march=i486")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
