# The Debian package: `cpack -G DEB` from a build tree (scripts/package does it all). The tool goes
# to /usr/bin, its modules to /usr/lib/QuorvaneMacTools (found from the executable's own path), the
# manual page and the copyright file to their Debian places.
include(GNUInstallDirs)

set(package_name quorvanemactools)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${package_name})

# Debian wants manual pages and changelogs compressed, byte for byte reproducibly (-n: no name or
# time in the header).
foreach(file QuorvaneMacTools.1 changelog)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${file}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/${file} > ${CMAKE_BINARY_DIR}/packaging/${file}.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${file} VERBATIM)
endforeach()
add_custom_target(package_files ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/QuorvaneMacTools.1.gz
  ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/QuorvaneMacTools.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
  DESTINATION ${doc_dir})

# The text models' files, which scripts/install-deps fetched and prepared where the tool looks:
# the detector, and the line model's keys and one graph per width of the model_widths line (read
# in CMakeLists.txt).
set(model_files det.onnx ppocr_keys_v1.txt)
foreach(width ${model_widths})
  list(APPEND model_files rec_${width}.onnx)
endforeach()
foreach(file ${model_files})
  install(FILES ${QUORVANE_MODEL_DIR}/${file} DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvanemactools)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${package_name})
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "The Quorvane developers <dev@quorvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "text recognition, movie joining and microphone access for a recording app")
set(CPACK_PACKAGE_DESCRIPTION
  "A command-line tool that a desktop recording application starts for one job\n\
at a time: recognising the lines of Chinese and English text in an image,\n\
joining recorded movie segments into one web-optimised MPEG-4 file, making\n\
sure the microphone may be used, and drawing a test image. It answers with\n\
one line of JSON or one line of error.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the libraries need at run time but dpkg-shlibdeps cannot see: the recognition data, the
# fonts of the test image, the desktop's consent layer and an audio server.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tesseract-ocr-chi-sim, tesseract-ocr-eng, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "xdg-desktop-portal, pipewire-pulse | pulseaudio, gsettings-desktop-schemas")
include(CPack)
