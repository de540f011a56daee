# The native core as a static library: plain C++ with no Python include
# directory in reach, so any use of the Python API in it fails to build. The
# extension module and the fuzz targets both link it.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
find_package(Boost 1.83 REQUIRED COMPONENTS json)

set(CORVANE_SRC ${CMAKE_CURRENT_LIST_DIR}/../src)
file(GLOB_RECURSE CORVANE_CORE_SOURCES CONFIGURE_DEPENDS
    ${CORVANE_SRC}/core/*.cpp
    ${CORVANE_SRC}/json/*.cpp
    ${CORVANE_SRC}/qmp/*.cpp
    ${CORVANE_SRC}/firecracker/*.cpp
    ${CORVANE_SRC}/disk/*.cpp)

add_library(corvane_core STATIC ${CORVANE_CORE_SOURCES})
target_include_directories(corvane_core PUBLIC ${CORVANE_SRC})
target_compile_options(corvane_core PRIVATE -Wall -Wextra -Wpedantic)
target_link_libraries(corvane_core PUBLIC PkgConfig::ZSTD Boost::json)
