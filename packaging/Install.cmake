# Installation and the Debian package: the window, the command line, the virtual box (with the test rig),
# a menu entry, its icon, the AppStream description, the manual pages, the licence and the changelog.
include(GNUInstallDirs)

set(KDR7_PACKAGE_NAME kdr7-loader-editor)
set(KDR7_APP_ID org.kdr7.zorvane)

install(TARGETS zorvane zorvane-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(KDR7_MAN_PAGES zorvane zorvane-cli)
if(KDR7_TEST_RIG)
    install(TARGETS kdr7-virtual-box RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND KDR7_MAN_PAGES kdr7-virtual-box)
endif()

if(UNIX AND NOT APPLE)
    install(FILES Resources/${KDR7_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES Resources/favicon.ico.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps
            RENAME zorvane.png)
    install(FILES packaging/${KDR7_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

    # Manual pages and the changelog are installed compressed, without a time stamp (reproducible).
    find_program(GZIP_PROGRAM gzip REQUIRED)
    set(compressed)
    foreach(page ${KDR7_MAN_PAGES})
        set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz)
        add_custom_command(OUTPUT ${out}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
            COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${page}.1 > ${out}
            DEPENDS docs/man/${page}.1 VERBATIM)
        list(APPEND compressed ${out})
        install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
    set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
    add_custom_command(OUTPUT ${changelog}
        COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${changelog}
        DEPENDS packaging/changelog VERBATIM)
    add_custom_target(compressed_docs ALL DEPENDS ${compressed} ${changelog})
    set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${KDR7_PACKAGE_NAME})
    install(FILES ${changelog} DESTINATION ${doc_dir})
    install(FILES packaging/copyright DESTINATION ${doc_dir})
endif()

set(CPACK_PACKAGE_NAME ${KDR7_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "KDR7 Loader Editor developers")
set(CPACK_PACKAGE_CONTACT "KDR7 Loader Editor maintainers <maintainers@kdr7.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Satellite table and firmware update of the Velantor KDR7 LNB controller box")
# CPack puts the summary above this as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A desktop tool for the bench technician who maintains a Velantor KDR7 LNB
controller box on a serial port, and for the firmware engineer who packages
its images.
.
The window (zorvane) reads the box's table of 99 satellites into a grid,
writes it back, and keeps it in CSV files. It programs a firmware image into
the box through its serial bootloader, with a progress bar, a status line and
Stop.
.
The command line (zorvane-cli) does the same jobs from a terminal or a script,
and turns S-record firmware (S19) into the encrypted, checksummed BIN image
that the update sends. kdr7-virtual-box plays the box on a pseudo-terminal,
for trying the tool without one.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beyond the libraries: the window needs a Qt platform plugin to show itself, and the families it lays its
# captions out in (Liberation Sans for "Arial", Liberation Sans Narrow where the default family is too wide).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation")
set(CPACK_STRIP_FILES ON)
include(CPack)
