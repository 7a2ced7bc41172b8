# Host build: the driver sources linked with hostkernel for tests. VCB_VARIANT picks the
# sanitizers: debug, asan (ASan+UBSan) or tsan; release is optimised for the benchmark.
set(VCB_VARIANT "debug" CACHE STRING "host variant: debug, asan, tsan or release")

set(VCB_HOST_FLAGS -fshort-wchar -g -fno-omit-frame-pointer)
if(VCB_VARIANT STREQUAL "release")
    list(APPEND VCB_HOST_FLAGS -O2)
else()
    list(APPEND VCB_HOST_FLAGS -O1)
endif()
if(VCB_VARIANT STREQUAL "asan")
    list(APPEND VCB_HOST_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined)
    set(VCB_HOST_LINK -fsanitize=address,undefined)
elseif(VCB_VARIANT STREQUAL "tsan")
    list(APPEND VCB_HOST_FLAGS -fsanitize=thread)
    set(VCB_HOST_LINK -fsanitize=thread)
elseif(NOT VCB_VARIANT MATCHES "^(debug|release)$")
    message(FATAL_ERROR "unknown VCB_VARIANT '${VCB_VARIANT}'")
endif()
add_compile_options(${VCB_HOST_FLAGS} -Wall -Wextra -Wno-unused-parameter)
add_link_options(${VCB_HOST_LINK})

# GoogleTest from Debian's sources, built with the same flags (16-bit wchar_t included).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB HOSTKERNEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/hostkernel/src/*.cpp)
add_library(hostkernel STATIC ${HOSTKERNEL_SOURCES})
target_include_directories(hostkernel PUBLIC
    ${CMAKE_CURRENT_SOURCE_DIR}/hostkernel/include
    ${CMAKE_CURRENT_SOURCE_DIR}/include)
find_package(Threads REQUIRED)
target_link_libraries(hostkernel PUBLIC Threads::Threads)

add_library(vcombus_host STATIC ${VCB_DRIVER_SOURCES})
target_include_directories(vcombus_host PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(vcombus_host PUBLIC hostkernel)

add_subdirectory(tests)
