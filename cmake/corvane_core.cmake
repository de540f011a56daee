# The native core as a static library: plain C++ with no Python include
# directory in reach, so any use of the Python API in it fails to build. The
# extension module and the fuzz targets both link it.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
find_package(Boost 1.83 REQUIRED COMPONENTS json)

# The Linux form: native networking (route netlink through libmnl, TUN/TAP)
# and copy-on-write clones (FICLONE). Off, the module refuses the networking
# calls and always makes the sparse copy, as on other platforms.
set(CORVANE_LINUX OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CORVANE_LINUX ON)
endif()
option(CORVANE_NETWORKING "Native host networking (Linux)" ${CORVANE_LINUX})
option(CORVANE_CLONE "Copy-on-write clones of disk images (Linux)" ${CORVANE_LINUX})

set(CORVANE_SRC ${CMAKE_CURRENT_LIST_DIR}/../src)
file(GLOB_RECURSE CORVANE_CORE_SOURCES CONFIGURE_DEPENDS
    ${CORVANE_SRC}/core/*.cpp
    ${CORVANE_SRC}/json/*.cpp
    ${CORVANE_SRC}/qmp/*.cpp
    ${CORVANE_SRC}/firecracker/*.cpp
    ${CORVANE_SRC}/disk/*.cpp)
if(CORVANE_NETWORKING)
    pkg_check_modules(MNL REQUIRED IMPORTED_TARGET libmnl)
    file(GLOB CORVANE_NET_SOURCES CONFIGURE_DEPENDS ${CORVANE_SRC}/net/*.cpp)
    list(APPEND CORVANE_CORE_SOURCES ${CORVANE_NET_SOURCES})
endif()

add_library(corvane_core STATIC ${CORVANE_CORE_SOURCES})
target_include_directories(corvane_core PUBLIC ${CORVANE_SRC})
target_compile_options(corvane_core PRIVATE -Wall -Wextra -Wpedantic)
target_link_libraries(corvane_core PUBLIC PkgConfig::ZSTD Boost::json)
target_compile_definitions(corvane_core PUBLIC CORVANE_NETWORKING=$<BOOL:${CORVANE_NETWORKING}>
                                               CORVANE_CLONE=$<BOOL:${CORVANE_CLONE}>)
if(CORVANE_NETWORKING)
    target_link_libraries(corvane_core PUBLIC PkgConfig::MNL)
endif()
