# Installing and packaging: `cmake --install`, a Debian package (cpack on
# Linux) and a zip (cpack in the Windows build). The README travels with
# docs/ (its documents and pictures) so that its links work where it lands.
include(GNUInstallDirs)

set(wave_effect_documents docs/design.md docs/performance.md docs/testing.md docs/waves-d.png
                          docs/waves-r.png docs/waves-v.png)
# Debian package names take no underscore; the documentation goes under the
# package's name, as Debian expects, and the same on every other install.
set(wave_effect_package wave-effect)

if(WIN32)
  # The zip: the program, standing alone, and the README beside it. The
  # plot tool needs Python and gnuplot and has not been tried on Windows,
  # so it stays out, and so do the manual pages.
  install(TARGETS wave_effect RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES ${wave_effect_documents} DESTINATION docs)
  set(CPACK_GENERATOR ZIP)
else()
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${wave_effect_package})
  install(TARGETS wave_effect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(PROGRAMS tools/plot_waves DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME wave_effect_plot)
  install(FILES README.md DESTINATION ${docdir})
  install(FILES ${wave_effect_documents} DESTINATION ${docdir}/docs)

  # Manual pages are installed compressed, as man reads them and Debian
  # wants them (gzip -n: no name or time in the header, so the same page
  # makes the same file); made again whenever a page changes.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  function(gzip_file input output)
    execute_process(COMMAND ${GZIP_PROGRAM} -9nc ${input} OUTPUT_FILE ${output}
                    COMMAND_ERROR_IS_FATAL ANY)
  endfunction()
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man ${PROJECT_BINARY_DIR}/debian)
  foreach(page wave_effect.1 wave_effect_plot.1)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page})
    gzip_file(${PROJECT_SOURCE_DIR}/docs/${page} ${PROJECT_BINARY_DIR}/man/${page}.gz)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

set(CPACK_PACKAGE_NAME wave_effect)
set(CPACK_PACKAGE_VENDOR "wave_effect developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "applies one sound effect to a recorded sound")
set(CPACK_PACKAGE_FILE_NAME "wave_effect-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_STRIP_FILES ON)

# Debian. The plot tool alone needs Python and gnuplot: recommended, not
# required. The release number makes it a package of an upstream version
# (1.0.0-1), whose changelog is changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_NAME ${wave_effect_package})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "wave_effect developers <wave_effect@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, gnuplot-nox | gnuplot")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads the 16-bit mono PCM WAV file tec.wav from the working directory,\napplies distortion, reverb or vibrato, and writes ex8_2.wav and two\none-column text dumps of the samples.")

if(NOT WIN32)
  # The changelog Debian requires: one entry, made from the version, the
  # maintainer above and the configure time (SOURCE_DATE_EPOCH, if set, for
  # a reproducible package). The history is in the commits.
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(changelog_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
  file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog.Debian
       "${wave_effect_package} (${changelog_version}) unstable; urgency=medium\n\n"
       "  * wave_effect ${PROJECT_VERSION}.\n\n"
       " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${changelog_date}\n")
  gzip_file(${PROJECT_BINARY_DIR}/debian/changelog.Debian
            ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION ${docdir})
endif()
include(CPack)
