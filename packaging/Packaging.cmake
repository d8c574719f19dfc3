# The Debian package: the programs, the plug-in, the catalogues and the manual pages.
set(TOLVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tolvane)

add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(package_docs ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${TOLVANE_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tolvane developers <maintainers@tolvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "profile generator and desktop notifications for the tolvane file protection")
set(CPACK_PACKAGE_DESCRIPTION
    "tv-mkprofile writes the starter profile of a program into /etc/tolvane.d.\nThe notification plug-in tells desktop users when the kernel module has\nblocked a program's access to the camera or to their private folders;\ntolvane-notify-check tells them why such notifications do not appear.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_TOLVANE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/source_date_epoch.cmake)
include(CPack)
