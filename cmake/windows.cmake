# Windows image: vcombus.sys, a PE32+ kernel-mode driver linked against ntoskrnl.exe alone, then
# fixed up and checked so that a bad image fails the build.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_path(VCB_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES include/ddk ddk REQUIRED)
find_library(VCB_NTOSKRNL_LIBRARY ntoskrnl REQUIRED)

if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE Release)
endif()
# -O3's inlining and vectorising grow stack frames; kernel stacks are small.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")
# The platform module links every program with kernel32, user32 and friends; a driver has none.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
# The platform's link rule also writes an import library, which an image exporting nothing
# doesn't need.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

file(GLOB VCB_IMAGE_RUNTIME_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/runtime/windows/*.cpp)
# These implement memcpy and friends; loop-idiom recognition would turn them into calls to
# themselves.
set_source_files_properties(${VCB_IMAGE_RUNTIME_SOURCES} PROPERTIES
    COMPILE_OPTIONS "-fno-tree-loop-distribute-patterns;-fno-builtin")

set(VCB_IMAGECHECK ${CMAKE_CURRENT_SOURCE_DIR}/tools/imagecheck/imagecheck.py)

# Compiler and linker settings of a kernel image:
# - no exceptions, RTTI, thread-safe statics or stack protector: each needs runtime support that
#   doesn't exist in the kernel;
# - no red zone: interrupts and exceptions in kernel mode push onto the current stack;
# - small code model, which for this target is RIP-relative (PIC): the kernel loads drivers
#   anywhere in its address space, not in the top 2 GiB that -mcmodel=kernel assumes, and
#   absolute addresses are rebased through the relocation table;
# - no libgcc and no C runtime (-nostdlib): a frame over 4 KiB would pull in ___chkstk_ms and the
#   link fails on it instead of importing a stack probe;
# - auto-import and runtime pseudo-relocations off: a kernel variable referenced without
#   dllimport would otherwise need a fix-up routine that nothing runs, so it fails the link.
set(VCB_IMAGE_COMPILE_OPTIONS
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
    -mno-red-zone -mcmodel=small -fno-strict-aliasing
    -Wall -Wextra -Wframe-larger-than=2048)
set(VCB_IMAGE_LINK_OPTIONS
    -shared -nostdlib -nostartfiles
    -Wl,--subsystem,native
    -Wl,--entry,DriverEntry
    -Wl,--exclude-all-symbols
    -Wl,--wdmdriver
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--image-base,0x140000000
    -Wl,--section-alignment,0x1000
    -Wl,--file-alignment,0x200
    -Wl,--major-os-version,6,--minor-os-version,1
    -Wl,--major-subsystem-version,6,--minor-subsystem-version,1
    -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc)

# vcb_kernel_image(<target> SOURCES <files...> [LIBRARIES <libs...>] [CHECK] [EXCLUDE_FROM_ALL])
# Links a kernel image <target>.sys from the sources and the image runtime with the settings above and fixes up its section flags and
# checksum after the link; with CHECK the image check runs too and a failing image is removed,
# so that the next build doesn't take it for up to date.
function(vcb_kernel_image target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "CHECK;EXCLUDE_FROM_ALL" "" "SOURCES;LIBRARIES")
    set(exclude)
    if(arg_EXCLUDE_FROM_ALL)
        set(exclude EXCLUDE_FROM_ALL)
    endif()
    add_executable(${target} ${exclude} ${arg_SOURCES} ${VCB_IMAGE_RUNTIME_SOURCES})
    set_target_properties(${target} PROPERTIES SUFFIX ".sys"
        LINK_DEPENDS ${VCB_IMAGECHECK})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})
    target_include_directories(${target} SYSTEM PRIVATE ${VCB_DDK_INCLUDE_DIR})
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX,C>:${VCB_IMAGE_COMPILE_OPTIONS}>)
    # The map lies next to the image; the check reads it for global constructors, and for the
    # names of routines in an image without symbols.
    set(map $<TARGET_FILE_DIR:${target}>/${target}.map)
    target_link_options(${target} PRIVATE ${VCB_IMAGE_LINK_OPTIONS} -Wl,-Map,${map})
    target_link_libraries(${target} PRIVATE ${arg_LIBRARIES} ${VCB_NTOSKRNL_LIBRARY})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${Python3_EXECUTABLE} ${VCB_IMAGECHECK} fixup $<TARGET_FILE:${target}>
        VERBATIM)
    if(arg_CHECK)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${Python3_EXECUTABLE} ${VCB_IMAGECHECK} check --map ${map} --remove-on-failure
                $<TARGET_FILE:${target}>
            VERBATIM)
    endif()
endfunction()

vcb_kernel_image(vcombus CHECK
    SOURCES ${VCB_DRIVER_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/package/vcombus.rc)

install(FILES $<TARGET_FILE:vcombus> DESTINATION .)

add_subdirectory(tests/image)

# The rest of the package: the setup information and the control application; and the image's
# end-to-end programs, run under Wine by the test stage.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/package/vcombus.inf ${CMAKE_CURRENT_SOURCE_DIR}/package/vcomport.inf
    DESTINATION .)
add_subdirectory(tools/vcomctl)
add_subdirectory(tools/vcomsvc)
add_subdirectory(tests/wine)
