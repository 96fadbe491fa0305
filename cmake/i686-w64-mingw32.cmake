# Cross toolchain: 32-bit Windows, the product.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARSIN_TRIPLE i686-w64-mingw32)
set(TARSIN_BUILD_KIND win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
