# Installing and packaging: `cmake --install`, a Debian package (cpack on
# Linux) and a zip (cpack in the Windows build).
include(GNUInstallDirs)

if(WIN32)
  # The zip: the program, standing alone, and the README beside it. The
  # plot tool needs Python and gnuplot and has not been tried on Windows,
  # so it stays out.
  install(TARGETS wave_effect RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  install(TARGETS wave_effect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(PROGRAMS tools/plot_waves DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME wave_effect_plot)
  install(FILES docs/wave_effect.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES docs/waves-d.png docs/waves-r.png docs/waves-v.png
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

set(CPACK_PACKAGE_NAME wave_effect)
set(CPACK_PACKAGE_VENDOR "wave_effect developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "applies one sound effect to a recorded sound")
set(CPACK_PACKAGE_FILE_NAME "wave_effect-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_STRIP_FILES ON)

# Debian: package names take no underscore. The plot tool alone needs
# Python and gnuplot: recommended, not required.
set(CPACK_DEBIAN_PACKAGE_NAME wave-effect)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "wave_effect developers <wave_effect@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, gnuplot-nox | gnuplot")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads the 16-bit mono PCM WAV file tec.wav from the working directory,\napplies distortion, reverb or vibrato, and writes ex8_2.wav and two\none-column text dumps of the samples.")
include(CPack)
