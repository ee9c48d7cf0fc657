# The Debian package, made by CPack from the install rules (scripts/package.sh):
# cpack -G DEB. Its runtime dependencies are the ones dpkg-shlibdeps finds in
# the programs; udisks2 and polkit, through which a user reads disks without
# being root, are recommended.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tessa-loft")
set(CPACK_PACKAGE_VENDOR "The Documents Tessa-Loft developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted and lost documents from disks and drive images")
set(CPACK_PACKAGE_CONTACT "Documents Tessa-Loft developers <developers@tessaloft.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX "${TL_PACKAGE_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tessaloft.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, polkitd, xdg-utils, adwaita-icon-theme, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The long text below the summary line, which CPack takes from the summary.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Documents Tessa-Loft lists every live and deleted file it can reach through
the FAT12, FAT16, FAT32, exFAT and NTFS file systems of a disk, a
partition, a memory card or a drive image, scans every sector for lost files by their
signatures (documents first), finds lost volumes, and copies the files a
person selects into a folder on another drive. It never writes to the
source it reads.
.
The package holds the desktop program, tessa-loft, with its wizards and
explorer, and the command-line tool, tessa-loft-cli. Disks are read
without running as root: udisks2 hands out read-only descriptors once
polkit agrees.")

# Debian keeps a copyright file and a compressed change log beside every package.
set(doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME}")
set(changelog "${CMAKE_BINARY_DIR}/package/changelog.gz")
add_custom_command(OUTPUT "${changelog}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/package"
  COMMAND gzip -9nc "${CMAKE_SOURCE_DIR}/desktop/changelog" > "${changelog}"
  DEPENDS "${CMAKE_SOURCE_DIR}/desktop/changelog"
  VERBATIM)
add_custom_target(tl_package_docs ALL DEPENDS "${changelog}")
install(FILES "${CMAKE_SOURCE_DIR}/desktop/copyright" "${changelog}" DESTINATION "${doc_dir}")

include(CPack)
