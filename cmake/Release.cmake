# Where `cmake --install` puts the program and what comes with it, and the
# Debian package CPack makes of that (scripts/release.sh builds both
# artifacts).
include(GNUInstallDirs)
# Only the program is installed: CPack (and `make install`) need not build
# everything else first, the tests of a test build included.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS kalvenor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/kalvenor.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/examples/worktodo.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/slurm-array.sh ${CMAKE_SOURCE_DIR}/scripts/slurm-collect.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kalvenor/slurm)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/boinc/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kalvenor/boinc USE_SOURCE_PERMISSIONS)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvenor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kalvenor developers")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The libraries the program links, as dpkg-shlibdeps reads them from it:
# with the C++ runtime linked in, only the C library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(KALVENOR_CUDA)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "search for prime factors of Fermat numbers on NVIDIA GPUs")
  set(CPACK_DEBIAN_FILE_NAME kalvenor_${PROJECT_VERSION}_amd64.deb)
  set(_kalvenor_runs_on
      "On a GPU it needs the NVIDIA driver (version 580 or later, CUDA 13); it\n"
      "loads the driver's libcuda.so.1 at start and, without one, runs the same\n"
      "kernels on all CPU cores.")
else()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "search for prime factors of Fermat numbers (CPU build)")
  set(CPACK_DEBIAN_FILE_NAME kalvenor_${PROJECT_VERSION}_amd64-host-only.deb)
  set(_kalvenor_runs_on
      "This build has no CUDA: the kernels run on all CPU cores (AVX-512 IFMA,\n"
      "AVX2 or 64-bit limbs, whichever the processor has).")
endif()
# CPack puts the summary first and indents the rest.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "Kalvenor tests the candidates k*2^n+1 (32 <= n <= 607, k < 2^64) of the\n"
       "ranges listed in worktodo.txt for dividing a Fermat number, after sieving\n"
       "out those with a small factor, and writes every factor found to\n"
       "factors.txt, checkpointing as it goes.\n"
       ${_kalvenor_runs_on} "\n"
       "\n"
       "The Slurm job-array scripts and the BOINC project kit are in\n"
       "/usr/share/kalvenor; an example worktodo.txt is in /usr/share/doc/kalvenor.")
include(CPack)
