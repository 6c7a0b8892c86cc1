# The Debian package: `cpack -G DEB` packs exactly what `cmake --install` installs (the program,
# the app, the man page, the completion, the menu entry and the icon) under /usr, as
# lumifold_<version>_amd64.deb. scripts/package builds and checks it.
set(CPACK_PACKAGE_NAME lumifold)
set(CPACK_PACKAGE_VENDOR "Lumifold developers")
set(CPACK_PACKAGE_CONTACT "Lumifold developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "keep chosen folders in one Finder layout, with snapshots and restore")
# Debian's long description: lines of at most 80 columns; CPack indents them.
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Lumifold makes the Finder show every chosen folder in one preferred layout"
    "(icon view, labels below, sorted by kind, extensions hidden) and keeps it so."
    "It reads and writes the Finder's preferences, the per-folder .DS_Store stores"
    "and the per-file hidden-extension flags. Every apply takes a snapshot with"
    "SHA-256 checksums first; restore rolls back and detects later changes."
    "This package holds the lumifold command-line program, with its man page and"
    "bash completion, and the Lumifold desktop app (Qt 6).")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Depends is what dpkg-shlibdeps finds the binaries linked against (Qt, ICU, OpenSSL, libc),
# so it follows the system the package is built on.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
