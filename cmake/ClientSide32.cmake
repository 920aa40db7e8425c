# The 32-bit side of the Windows build: this same source tree configured with the
# i686 compilers (CMake has one compiler per build), building only the proxy/stub
# for 32-bit clients, beside the server as brisvale-opc-ps32.dll, and 32-bit
# builds of brisvale-client and opc_probe in win32-side/.
include(ExternalProject)
# Named here, before the build starts, rather than by the side's own configure step half-way through it.
foreach(compiler i686-w64-mingw32-gcc-posix i686-w64-mingw32-g++-posix)
  find_program(BRISVALE_FOUND_${compiler} ${compiler})
  if(NOT BRISVALE_FOUND_${compiler})
    message(FATAL_ERROR "The 32-bit side of the Windows build needs ${compiler} "
                        "(Debian: g++-mingw-w64-i686-posix; scripts/setup.sh installs it)")
  endif()
endforeach()
set(BRISVALE_CLIENT_SIDE_DIR ${CMAKE_BINARY_DIR}/win32-side)
ExternalProject_Add(client_side_32
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${BRISVALE_CLIENT_SIDE_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
    -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
    -DBRISVALE_CLIENT_SIDE=ON
    -DBRISVALE_TESTS=OFF
    -DBRISVALE_PROXY_OUTPUT_DIR=${CMAKE_BINARY_DIR}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/brisvale-opc-ps32.dll ${BRISVALE_CLIENT_SIDE_DIR}/tools/brisvale-client.exe
                   ${BRISVALE_CLIENT_SIDE_DIR}/tests/com/opc_probe.exe)
set(BRISVALE_CLIENT_32 ${BRISVALE_CLIENT_SIDE_DIR}/tools/brisvale-client.exe)
set(BRISVALE_PROBE_32 ${BRISVALE_CLIENT_SIDE_DIR}/tests/com/opc_probe.exe)
