# Installation and the Debian package (scripts/package.sh OUTDIR): both
# miners in /usr/bin, the systemd unit, an example configuration in
# /etc/marlvane (a conffile, readable by the service's user only), the
# README, the copyright, the changelog and the manual page.
include(GNUInstallDirs)
set(pkg ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/marlvane-miner)

install(TARGETS marlvane-cpu-miner RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET marlvane-gpu-miner)
  install(TARGETS marlvane-gpu-miner RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${pkg}/marlvane-miner.service DESTINATION lib/systemd/system)
install(FILES ${pkg}/marlvane-miner.conf DESTINATION /etc/marlvane)
install(FILES README.md ${pkg}/copyright DESTINATION ${doc_dir})

# Debian wants the changelog and the manual pages compressed, reproducibly.
set(gz_dir ${CMAKE_CURRENT_BINARY_DIR}/package-gz)
set(gz_files)
foreach(name changelog marlvane-miner.1 marlvane-gpu-miner.1 marlvane-cpu-miner.1)
  add_custom_command(OUTPUT ${gz_dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${gz_dir}
    COMMAND gzip -9n -c ${pkg}/${name} > ${gz_dir}/${name}.gz
    DEPENDS ${pkg}/${name} VERBATIM)
  list(APPEND gz_files ${gz_dir}/${name}.gz)
endforeach()
add_custom_target(marlvane_package_gz ALL DEPENDS ${gz_files})
install(FILES ${gz_dir}/changelog.gz DESTINATION ${doc_dir})
install(FILES ${gz_dir}/marlvane-miner.1.gz ${gz_dir}/marlvane-gpu-miner.1.gz ${gz_dir}/marlvane-cpu-miner.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marlvane-miner)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Marlvane Miner Developers <dev@marlvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "solo and pool miner for the Marlvane chain")
# The extended description: CPack puts the summary above it and indents it.
set(CPACK_PACKAGE_DESCRIPTION "Searches Marlvane block headers (Whirlpool-512) on one or many NVIDIA GPUs,
with block templates from the user's own node over JSON-RPC or jobs from a
pool server over Stratum v1, and sends every block it finds. It has a
benchmark, a GPU listing, a monitoring API with a dashboard, and a log.
A CPU build of the same program is included for machines without a GPU.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://marlvane.example/miner")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${pkg}/conffiles;${pkg}/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
