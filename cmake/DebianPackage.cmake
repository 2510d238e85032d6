# The files a Debian system expects beside the program (manual page, copyright, changelog),
# and what CPack needs to make tarrowin_<version>_<arch>.deb from the install tree.
# scripts/package drives it; cmake --install puts the same files below its prefix.

# Compressed as Debian wants them: the most, and without a name or time in the gzip header,
# so two builds of the same sources give the same bytes.
find_program(TARROWIN_GZIP gzip REQUIRED)
set(TARROWIN_DOC_FILES)
foreach(source tarrowin.1 debian/changelog)
    get_filename_component(name ${source} NAME)
    set(compressed ${CMAKE_CURRENT_BINARY_DIR}/data/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${TARROWIN_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/data/${source} > ${compressed}
        DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/data/${source} VERBATIM)
    list(APPEND TARROWIN_DOC_FILES ${compressed})
endforeach()
add_custom_target(tarrowin_docs ALL DEPENDS ${TARROWIN_DOC_FILES})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/data/tarrowin.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES data/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/data/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarrowin)
install(FILES data/debian/tarrowin.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarrowin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarrowin)
set(CPACK_PACKAGE_VENDOR Quillmarsh)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# DESTDIR staging keeps the install prefix /usr while CPack collects the files, so what is
# written at install time (the polkit action's helper path) names where dpkg puts them.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillmarsh Tarrowin maintainers <tarrowin@quillmarsh.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://quillmarsh.example)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps a Chromium snapshot build up to date")
# CPack puts the summary first; this is the extended description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarrowin sits in the tray and keeps a locally installed Chromium at the newest
snapshot build. Every few minutes it asks the Chromium build storage for the
latest build; when that is newer than the one installed, it downloads it over
HTTPS, checks it against the storage's checksums and unpacks it into the
user's home directory, switching to it in one atomic step.
.
The builds, settings and browser profile live in each user's home; the
package installs only the program, its sandbox helper and desktop files.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the libraries do not show: the platform plugin and the QML modules the view imports
# are loaded at run time, pkexec runs the sandbox helper, and QtKeychain loads libsecret to
# reach the Secret Service.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qml6-module-qtqml, \
qml6-module-qtqml-workerscript, qml6-module-qtquick, qml6-module-qtquick-controls, \
qml6-module-qtquick-templates, qml6-module-qtquick-layouts, qml6-module-qtquick-window, pkexec, \
libsecret-1-0")
# The helper is of use only where AppArmor keeps the builds from sandboxing themselves.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS apparmor)
include(CPack)
