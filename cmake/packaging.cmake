# Installing and packaging. The version (project(VERSION) in CMakeLists.txt)
# is what `pvrcopy --version` prints and what the packages are named after.
#   Linux:   cmake --install BUILD: bin/pvrcopy, bin/pvrcopy-mkimage, the manual
#            page in share/man/man1, README, copyright and changelog in
#            share/doc/pvrcopy; `cpack` makes pvrcopy_VERSION_amd64.deb.
#   Windows: `cpack` in the cross-build makes pvrcopy-VERSION-win64.zip with
#            pvrcopy.exe, mkimage.exe, README.txt (the first steps, then the
#            README), pvrcopy-manual.txt and LICENSE.txt.
# tools/package_check.sh builds, checks and tries both.
include(GNUInstallDirs)

target_compile_definitions(pvr_cli PRIVATE PVR_VERSION="${PROJECT_VERSION}")
# The installed mkimage carries the sample recording (tools/mkimage.cpp).
set(PVR_SAMPLE_TS ${PROJECT_SOURCE_DIR}/data/sample.ts)
target_compile_definitions(mkimage PRIVATE PVR_SAMPLE_TS="${PVR_SAMPLE_TS}"
  PVR_VERSION="${PROJECT_VERSION}")
set_source_files_properties(tools/mkimage.cpp PROPERTIES OBJECT_DEPENDS ${PVR_SAMPLE_TS})

set(PVR_PACKAGE_MAINTAINER "pvrcopy developers <pvrcopy@example.org>"
  CACHE STRING "The maintainer named in the Debian package")
set(PVR_DOC_SOURCE ${PROJECT_SOURCE_DIR}/doc)
set(PVR_DOC_BUILD ${PROJECT_BINARY_DIR}/doc)
set(PVR_DOC_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/doc_file.cmake)
file(MAKE_DIRECTORY ${PVR_DOC_BUILD})

# doc_file(OUT ACTION IN [ARGS...]): OUT made by cmake/doc_file.cmake at build time.
function(doc_file out action in)
  set(args)
  foreach(arg ${ARGN})
    list(APPEND args -D${arg})
  endforeach()
  add_custom_command(OUTPUT ${PVR_DOC_BUILD}/${out}
    COMMAND ${CMAKE_COMMAND} -DACTION=${action} -DIN=${in} ${args}
            -DOUT=${PVR_DOC_BUILD}/${out} -P ${PVR_DOC_SCRIPT}
    DEPENDS ${in} ${PVR_DOC_SCRIPT}
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY PVR_DOC_FILES ${PVR_DOC_BUILD}/${out})
endfunction()

if(NOT WIN32)
  install(TARGETS pvrcopy mkimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # /usr/bin/mkimage is U-Boot's (u-boot-tools): installed, the image builder
  # carries the program's name in front.
  install(CODE "
    set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(RENAME \"\${bin}/mkimage\" \"\${bin}/pvrcopy-mkimage\")")

  doc_file(pvrcopy.1.gz gzip ${PVR_DOC_SOURCE}/pvrcopy.1)
  doc_file(pvrcopy-mkimage.1.gz gzip ${PVR_DOC_SOURCE}/pvrcopy-mkimage.1)
  install(FILES ${PVR_DOC_BUILD}/pvrcopy.1.gz ${PVR_DOC_BUILD}/pvrcopy-mkimage.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The Debian copyright file, made of LICENSE; the changelog of this version.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX MATCH "\nCopyright \\(c\\) ([^\n]*)\n\n" notice "${license}")
  set(holders ${CMAKE_MATCH_1})
  string(REPLACE "${notice}" "" license "${license}")
  string(FIND "${license}" "\n" title_end)
  string(SUBSTRING "${license}" ${title_end} -1 license)  # without the title
  string(STRIP "${license}" license)
  string(REPLACE "\n\n" "\n.\n" license "${license}")
  string(REPLACE "\n" "\n " license "${license}")
  file(WRITE ${PVR_DOC_BUILD}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: pvrcopy\n\n"
    "Files: *\nCopyright: ${holders}\nLicense: Expat\n ${license}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  string(TIMESTAMP PVR_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PVR_DOC_SOURCE}/changelog.in ${PVR_DOC_BUILD}/changelog @ONLY)
  doc_file(changelog.gz gzip ${PVR_DOC_BUILD}/changelog)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PVR_DOC_BUILD}/copyright
    ${PVR_DOC_BUILD}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(TARGETS pvrcopy mkimage RUNTIME DESTINATION .)
  find_program(PVR_GROFF groff REQUIRED)
  configure_file(${PVR_DOC_SOURCE}/windows-readme.txt.in ${PVR_DOC_BUILD}/windows-readme.txt @ONLY)
  doc_file(README.txt text ${PVR_DOC_BUILD}/windows-readme.txt APPEND=${PROJECT_SOURCE_DIR}/README.md)
  doc_file(pvrcopy-manual.txt manual ${PVR_DOC_SOURCE}/pvrcopy.1 GROFF=${PVR_GROFF})
  doc_file(LICENSE.txt text ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES ${PVR_DOC_BUILD}/README.txt ${PVR_DOC_BUILD}/pvrcopy-manual.txt
    ${PVR_DOC_BUILD}/LICENSE.txt DESTINATION .)
endif()
get_property(docs GLOBAL PROPERTY PVR_DOC_FILES)
add_custom_target(pvr_docs ALL DEPENDS ${docs})

set(CPACK_PACKAGE_NAME pvrcopy)
set(CPACK_PACKAGE_VENDOR "the pvrcopy developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy recordings off the hard disk of a Velmoran video recorder")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME pvrcopy-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PVR_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg, gddrescue")
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "pvrcopy reads the internal hard disk of a Velmoran personal video recorder,\n"
    "attached to a PC, or a whole-disk image of it. It checks the recorder's\n"
    "file system, lists the recordings and copies them off: as recorded, as\n"
    "MPEG audio or video elementary streams, as VOB or M2P program streams or\n"
    "as a transport stream. It images a failing disk with a GNU ddrescue map,\n"
    "reads every sector that can still be read and never writes to the disk.")
endif()
include(CPack)
