# The native core as a static library: plain C++ with no Python include
# directory in reach, so any use of the Python API in it fails to build. The
# extension module and the fuzz targets both link it.
find_package(PkgConfig REQUIRED)

# The wheel's form: libzstd and libmnl linked from their static archives.
# Boost.JSON stays a shared library there: Debian's libboost_json.a is not
# position-independent, so it cannot go into a shared module, and auditwheel
# copies the shared library into the wheel instead (see ./dev wheel).
option(CORVANE_STATIC_DEPS "Link libzstd and libmnl statically" OFF)

# A pkg-config package as the target PkgConfig::<prefix>; with
# CORVANE_STATIC_DEPS the target links the package's static archives instead.
function(corvane_pkg_target prefix module)
    pkg_check_modules(${prefix} REQUIRED IMPORTED_TARGET ${module})
    if(CORVANE_STATIC_DEPS)
        set(archives)
        foreach(name IN LISTS ${prefix}_LIBRARIES)
            find_library(CORVANE_ARCHIVE_${name} NAMES lib${name}.a HINTS ${${prefix}_LIBRARY_DIRS} REQUIRED)
            list(APPEND archives ${CORVANE_ARCHIVE_${name}})
        endforeach()
        set_target_properties(PkgConfig::${prefix} PROPERTIES INTERFACE_LINK_LIBRARIES "${archives}")
    endif()
endfunction()

corvane_pkg_target(ZSTD libzstd)
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
    corvane_pkg_target(MNL libmnl)
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
