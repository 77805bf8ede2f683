# Install rules and the Debian packages: what reaches a user's machine and where.
# Included last, so every target of the build exists; a program not built here is skipped.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The thin shared library is what a C host links: versioned, with its SONAME.
set_target_properties(tevdownload PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/downloadlib/include/downloadlib.h)
target_include_directories(tevdownload INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tevdownload>)
install(TARGETS tevdownload EXPORT TevDownloadTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tevdownload COMPONENT development)

# pkg-config file: written at install time, so it names the prefix actually installed into
# (cmake --install --prefix, or the packages' /usr), not the one configured.
install(CODE "
    file(WRITE \"${PROJECT_BINARY_DIR}/tevdownload.pc\" \"prefix=\${CMAKE_INSTALL_PREFIX}
libdir=\\\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\\\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}/tevdownload

Name: tevdownload
Description: TEV-Downloader download library (flat C interface)
Version: ${PROJECT_VERSION}
Libs: -L\\\${libdir} -ltevdownload
Cflags: -I\\\${includedir}
\")" COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/tevdownload.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

set(_tev_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/TevDownload)
install(EXPORT TevDownloadTargets NAMESPACE TevDownload::
    DESTINATION ${_tev_cmake_dir} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/downloadlib/shared/TevDownloadConfig.cmake.in
    ${PROJECT_BINARY_DIR}/TevDownloadConfig.cmake INSTALL_DESTINATION ${_tev_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TevDownloadConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TevDownloadConfig.cmake
              ${PROJECT_BINARY_DIR}/TevDownloadConfigVersion.cmake
    DESTINATION ${_tev_cmake_dir} COMPONENT development)

# Programs: the window in its own package, the terminal host and the servers in the tools.
if(TARGET tev-downloader)
    install(TARGETS tev-downloader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT window)
    install(FILES ${PROJECT_SOURCE_DIR}/app/resources/tev-downloader.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT window)
    foreach(size 16 32 48 64 128 256)
        install(FILES ${PROJECT_SOURCE_DIR}/app/resources/icons/${size}/tev-downloader.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            COMPONENT window)
    endforeach()
endif()
foreach(program tev-download tev-report-collector tev-publish tev-test-server)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    endif()
endforeach()

# Manual pages: made from each program's own --help at build time, so they never drift from
# the options; the sections --help cannot carry come from docs/man/<program>.h2m.
find_program(TEV_HELP2MAN help2man)
if(TEV_HELP2MAN)
    foreach(program tev-download tev-report-collector tev-publish)
        if(TARGET ${program})
            set(_page ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
            add_custom_command(OUTPUT ${_page}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
                        ${TEV_HELP2MAN} --no-info --section=1
                        --version-string=${PROJECT_VERSION}
                        --include=${PROJECT_SOURCE_DIR}/docs/man/${program}.h2m
                        --output=${PROJECT_BINARY_DIR}/man/${program}.1 $<TARGET_FILE:${program}>
                COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${program}.1
                DEPENDS ${program} ${PROJECT_SOURCE_DIR}/docs/man/${program}.h2m
                VERBATIM)
            list(APPEND _tev_pages ${_page})
        endif()
    endforeach()
    add_custom_target(tev-man-pages ALL DEPENDS ${_tev_pages})
    install(FILES ${_tev_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
else()
    message(STATUS "help2man not found: no manual pages")
endif()

# The report collector as a system service, disabled until an administrator enables it.
if(TARGET tev-report-collector)
    configure_file(${PROJECT_SOURCE_DIR}/tools/report_collector/tev-report-collector.service.in
                   ${PROJECT_BINARY_DIR}/tev-report-collector.service @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/tev-report-collector.service
        DESTINATION lib/systemd/system COMPONENT tools)
endif()

# Debian packages, one per group: cpack -G DEB in a release build (see the README).
set(CPACK_PACKAGE_NAME tev-downloader)
set(CPACK_PACKAGE_VENDOR "Velmor Inc.")
set(TEV_PACKAGE_CONTACT "TEV-Downloader developers <tev-downloader@velmor.invalid>" CACHE STRING
    "Maintainer of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${TEV_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Downloader and installer of game installers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_COMPONENTS_ALL library development window tools)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtevdownload${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# The loader cache is refreshed by a trigger, and dependants find the library through shlibs.
file(WRITE ${PROJECT_BINARY_DIR}/debian/shlibs
    "libtevdownload ${PROJECT_VERSION_MAJOR} libtevdownload${PROJECT_VERSION_MAJOR} (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/shlibs ${PROJECT_SOURCE_DIR}/docs/debian/triggers)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtevdownload-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libtevdownload${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME tev-downloader)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tev-tools)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
    "TEV-Downloader download library\n The download library behind TEV-Downloader, driven through a flat C interface.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "TEV-Downloader download library: development files\n The C header, pkg-config file and CMake package of the download library.")
set(CPACK_COMPONENT_WINDOW_DESCRIPTION
    "TEV-Downloader window\n Fetches a game's file list, downloads every file and starts its installer.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "TEV-Downloader command-line host and servers\n tev-download, the report collector, the publishing tool and the test server.")
# Every package carries its copyright file and a compressed changelog, as Debian requires.
set(_tev_changelog ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${_tev_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/debian/changelog > ${_tev_changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/debian/changelog)
add_custom_target(tev-debian-changelog ALL DEPENDS ${_tev_changelog})
foreach(component library development window tools)
    string(TOUPPER ${component} _upper)
    set(_package ${CPACK_DEBIAN_${_upper}_PACKAGE_NAME})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/copyright ${_tev_changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package} COMPONENT ${component})
endforeach()
include(CPack)
