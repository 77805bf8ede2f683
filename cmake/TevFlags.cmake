# Warnings for our own targets only; third-party headers come in as system includes. They stop
# the build only where asked (CI and developer builds): another compiler or optimisation level
# may find new ones, and that must not keep anyone else from building.
option(TEV_WERROR "Treat warnings as errors" OFF)
add_library(tev_warnings INTERFACE)
target_compile_options(tev_warnings INTERFACE -Wall -Wextra)
if(TEV_WERROR)
    target_compile_options(tev_warnings INTERFACE -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 at -O2 and above warns of overlapping copies inside std::string that cannot happen
    # (its bug 105329).
    target_compile_options(tev_warnings INTERFACE -Wno-restrict)
endif()
if(TEV_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports false "maybe uninitialized" inside std::function under the sanitizers.
    target_compile_options(tev_warnings INTERFACE -Wno-maybe-uninitialized)
endif()

if(TEV_SANITIZE)
    string(REPLACE "," ";" _tev_sanitizers "${TEV_SANITIZE}")
    foreach(_s IN LISTS _tev_sanitizers)
        add_compile_options(-fsanitize=${_s})
        add_link_options(-fsanitize=${_s})
    endforeach()
    # Sanitized builds run the test suite: keep them quick and make every report fatal.
    add_compile_options(-O1 -g -fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()

if(TEV_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "TEV_FUZZ needs clang")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -g -O1 -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
endif()

# The static library is linked into a shared object too.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
