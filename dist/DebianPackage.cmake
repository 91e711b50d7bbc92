# `cpack -G DEB` in the build folder: a package of what the install rules put under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Corvane developers <support@corvane.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.corvane.example/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web-site monitor for the desktop and for servers")
# The long description under the summary line; CPack indents it as the control file wants.
set(CPACK_PACKAGE_DESCRIPTION
    "Corvane pings hosts, fetches pages (looking for an expected text) and crawls
sites for broken links on a schedule, and alerts by e-mail, by starting a
program or by calling a URL when they fail. It runs as a desktop program with
a tray icon, or without a window as a service or in scripts.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads these as plugins at run time, so dpkg-shlibdeps never sees them: the result history
# (SQLite by default, PostgreSQL when the settings name a server) and the SVG icons of the window.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, libqt6sql6-psql, libqt6svg6")
include(CPack)
