# Finds libjpeg-turbo >= 3.0: the bootstrap's private static build under build/deps
# first, the system library otherwise. A libjpeg without the lossless process is refused.
include(CheckSymbolExists)
include(CMakePushCheckState)

set(_veskaro_jpeg_stamp "${CMAKE_SOURCE_DIR}/build/deps/libjpeg-turbo.stamp")
if(EXISTS "${_veskaro_jpeg_stamp}")
    file(READ "${_veskaro_jpeg_stamp}" _veskaro_jpeg_prefix)
    string(STRIP "${_veskaro_jpeg_prefix}" _veskaro_jpeg_prefix)
endif()

find_path(VESKARO_JPEG_INCLUDE_DIR jpeglib.h
    HINTS "${_veskaro_jpeg_prefix}/include" NO_DEFAULT_PATH)
find_path(VESKARO_JPEG_INCLUDE_DIR jpeglib.h)
find_library(VESKARO_JPEG_LIBRARY NAMES libjpeg.a jpeg
    HINTS "${_veskaro_jpeg_prefix}/lib" NO_DEFAULT_PATH)
find_library(VESKARO_JPEG_LIBRARY NAMES jpeg)
if(NOT VESKARO_JPEG_INCLUDE_DIR OR NOT VESKARO_JPEG_LIBRARY)
    message(FATAL_ERROR "libjpeg-turbo not found; run tools/bootstrap.sh")
endif()

cmake_push_check_state(RESET)
set(CMAKE_REQUIRED_INCLUDES "${VESKARO_JPEG_INCLUDE_DIR}")
set(CMAKE_REQUIRED_LIBRARIES "${VESKARO_JPEG_LIBRARY}")
check_symbol_exists(jpeg_enable_lossless "stdio.h;jpeglib.h" VESKARO_JPEG_HAS_LOSSLESS)
cmake_pop_check_state()
if(NOT VESKARO_JPEG_HAS_LOSSLESS)
    message(FATAL_ERROR "${VESKARO_JPEG_LIBRARY} has no jpeg_enable_lossless: "
        "libjpeg-turbo >= 3.0 is required (tools/bootstrap.sh builds it)")
endif()

add_library(veskaro_jpeg INTERFACE)
target_include_directories(veskaro_jpeg SYSTEM INTERFACE "${VESKARO_JPEG_INCLUDE_DIR}")
target_link_libraries(veskaro_jpeg INTERFACE "${VESKARO_JPEG_LIBRARY}")
message(STATUS "libjpeg-turbo: ${VESKARO_JPEG_LIBRARY}")
