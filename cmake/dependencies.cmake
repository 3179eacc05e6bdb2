# nlohmann JSON is header-only. The cross build gets a private copy of its headers, so the
# host's /usr/include never reaches the mingw compiler.
find_path(NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(deps_include ${CMAKE_BINARY_DIR}/deps/include)
file(COPY ${NLOHMANN_JSON_DIR}/nlohmann DESTINATION ${deps_include})
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${deps_include})

if(WIN32)
    # No Windows has zlib1.dll: the static library goes into the executable, whatever an earlier
    # configure of this tree found.
    set(ZLIB_USE_STATIC_LIBS ON)
    unset(ZLIB_LIBRARY_RELEASE CACHE)
    unset(ZLIB_LIBRARY_DEBUG CACHE)
endif()
find_package(ZLIB REQUIRED)

if(NOT WIN32)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
    pkg_check_modules(CRYPTO REQUIRED IMPORTED_TARGET libcrypto)
    pkg_check_modules(SSL REQUIRED IMPORTED_TARGET libssl)
endif()
