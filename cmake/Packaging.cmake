# Installation and the Debian package (`make package`, CPack's DEB generator).
#
# quillmar_install_program(TARGET [SUMMARY text]) installs an executable under /usr/bin with a
# manual page made from its --help (help2man); app/ and tools/ call it for each executable, and
# the global property QUILLMAR_INSTALLED_PROGRAMS lists them for the package test.
# The version is the project() version; the revision is the commit the tree was configured from.
# Both reach the program's start-up row (app/build_revision.h.in), the man pages and the package.

include(GNUInstallDirs)

execute_process(COMMAND git rev-parse HEAD WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  OUTPUT_VARIABLE QUILLMAR_REVISION OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rev_result)
if(NOT rev_result EQUAL 0 OR NOT QUILLMAR_REVISION MATCHES "^[0-9a-f]+$")
  set(QUILLMAR_REVISION "0000000000000000000000000000000000000000")
endif()
# Dates in the changelog and the manual pages are the commit's, so one commit always gives
# the same package.
execute_process(COMMAND git log -1 --format=%ct HEAD WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  OUTPUT_VARIABLE QUILLMAR_REVISION_TIME OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE time_result)
if(NOT time_result EQUAL 0 OR NOT QUILLMAR_REVISION_TIME MATCHES "^[0-9]+$")
  set(QUILLMAR_REVISION_TIME 0)
endif()
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${QUILLMAR_REVISION_TIME})
string(TIMESTAMP QUILLMAR_REVISION_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP QUILLMAR_REVISION_YEAR "%Y" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")

set(QUILLMAR_PACKAGE_MAINTAINER "Quillmar developers <quillmar@example.org>" CACHE STRING
  "Maintainer field of the Debian package")

find_program(HELP2MAN help2man)
find_program(GZIP gzip REQUIRED)
find_program(IMAGEMAGICK_CONVERT convert)
if(NOT HELP2MAN OR NOT IMAGEMAGICK_CONVERT)
  message(WARNING "help2man or ImageMagick's convert is missing (scripts/install-deps.sh installs both): "
                  "the package will lack manual pages or icons")
endif()

set(QUILLMAR_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)

function(quillmar_install_program target)
  cmake_parse_arguments(ARG "" "SUMMARY" "" ${ARGN})
  if(NOT ARG_SUMMARY)
    set(ARG_SUMMARY "a tool of the Quillmar recorder")
  endif()
  # The toolchain's defaults lack these; Debian's own builds use them.
  target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY QUILLMAR_INSTALLED_PROGRAMS ${target})
  if(NOT HELP2MAN)
    return()
  endif()
  set(page ${QUILLMAR_PACKAGING_DIR}/man/${target}.1)
  # The executable runs with a scratch HOME and no display: --help must touch neither.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUILLMAR_PACKAGING_DIR}/man/home
    COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY LC_ALL=C.UTF-8 HOME=${QUILLMAR_PACKAGING_DIR}/man/home
            QUILLMAR_CAMERAS=simulated SOURCE_DATE_EPOCH=${QUILLMAR_REVISION_TIME}
            ${HELP2MAN} --no-info --locale=C.UTF-8 --section=1 --version-string=${PROJECT_VERSION}
            --source=Quillmar --name=${ARG_SUMMARY} --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${GZIP} -9nf ${page}
    DEPENDS ${target}
    COMMENT "Manual page for ${target}"
    VERBATIM)
  add_custom_target(${target}_manpage ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# Desktop entry, icons, copyright and changelog.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillmar.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

set(icon_sizes 16 22 24 32 48 64 128 256)
if(IMAGEMAGICK_CONVERT)
  set(icon_files "")
  foreach(size IN LISTS icon_sizes)
    list(APPEND icon_files ${QUILLMAR_PACKAGING_DIR}/icons/${size}x${size}/quillmar.png)
  endforeach()
  add_custom_command(OUTPUT ${icon_files}
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/render-icons.sh ${PROJECT_SOURCE_DIR}/app/icons/camera.png
            ${QUILLMAR_PACKAGING_DIR}/icons ${icon_sizes}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/render-icons.sh ${PROJECT_SOURCE_DIR}/app/icons/camera.png
    COMMENT "Icons from the window icon"
    VERBATIM)
  add_custom_target(quillmar_icons ALL DEPENDS ${icon_files})
  foreach(size IN LISTS icon_sizes)
    install(FILES ${QUILLMAR_PACKAGING_DIR}/icons/${size}x${size}/quillmar.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${QUILLMAR_PACKAGING_DIR}/copyright @ONLY)
install(FILES ${QUILLMAR_PACKAGING_DIR}/copyright DESTINATION ${doc_dir})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLMAR_PACKAGE_MAINTAINER}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${QUILLMAR_PACKAGING_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${QUILLMAR_PACKAGING_DIR}/changelog.gz
  COMMAND ${GZIP} -9nkf ${QUILLMAR_PACKAGING_DIR}/changelog
  DEPENDS ${QUILLMAR_PACKAGING_DIR}/changelog
  VERBATIM)
add_custom_target(quillmar_changelog ALL DEPENDS ${QUILLMAR_PACKAGING_DIR}/changelog.gz)
install(FILES ${QUILLMAR_PACKAGING_DIR}/changelog.gz DESTINATION ${doc_dir})

# The package: quillmar_<version>_<arch>.deb in the build folder. Dependencies come from the
# shared libraries the installed executables link (dpkg-shlibdeps), never from a hand list.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillmar developers")
set(CPACK_PACKAGE_CONTACT "${QUILLMAR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recorder for under-car railway inspection cameras")
set(CPACK_PACKAGE_DESCRIPTION
"Quillmar (Подвагонные камеры) shows one industrial GigE Vision or USB3
Vision camera live and records one JPEG frame per odometer message into a
LevelDB database per recording. It lists, browses, archives and maintains
the recordings, and serves frames, remote control and discovery over TCP
and UDP. Tools for the command line read recorded databases and simulate
an odometer and a coordinate server.
Built from commit ${QUILLMAR_REVISION}.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Data no library link names: the toolkit's Russian texts (stock buttons, its own messages).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "wx3.2-i18n")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
