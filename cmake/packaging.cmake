# What `cmake --install` puts where, the documents generated from the program itself
# (man page, bash completion), and the Debian package `cpack -G DEB` makes.
include(GNUInstallDirs)

find_program(HELP2MAN_EXECUTABLE help2man)
if(HOSTSWITCH_MAN AND NOT HELP2MAN_EXECUTABLE)
  if(HOSTSWITCH_REQUIRE_TOOLS)
    message(FATAL_ERROR "help2man (Debian package help2man) makes the man page: run scripts/install-deps")
  endif()
  message(STATUS "help2man not found (Debian package help2man): the man page is not made")
endif()

# The man page: the program's own --help-all (every command's help), plus a description,
# files and examples written by hand.
set(HOSTSWITCH_MAN_PAGE ${PROJECT_BINARY_DIR}/hostswitch.1)
set(HOSTSWITCH_MAN_INCLUDE ${PROJECT_SOURCE_DIR}/docs/hostswitch.h2m)
set(HOSTSWITCH_DOCUMENTS)
if(HOSTSWITCH_MAN AND HELP2MAN_EXECUTABLE)
  add_custom_command(
    OUTPUT ${HOSTSWITCH_MAN_PAGE}
    COMMAND ${HELP2MAN_EXECUTABLE} --no-info --help-option=--help-all
            --version-string=${PROJECT_VERSION} --include=${HOSTSWITCH_MAN_INCLUDE}
            --output=${HOSTSWITCH_MAN_PAGE} $<TARGET_FILE:hostswitch>
    DEPENDS hostswitch ${HOSTSWITCH_MAN_INCLUDE}
    COMMENT "Generating the man page from hostswitch --help-all"
    VERBATIM)
  # Installed compressed, as Debian wants its man pages (gzip -9n: no name or time stamp,
  # so the same page gives the same bytes).
  find_program(GZIP_EXECUTABLE gzip REQUIRED)
  add_custom_command(
    OUTPUT ${HOSTSWITCH_MAN_PAGE}.gz
    COMMAND ${GZIP_EXECUTABLE} -9nkf ${HOSTSWITCH_MAN_PAGE}
    DEPENDS ${HOSTSWITCH_MAN_PAGE}
    COMMENT "Compressing the man page"
    VERBATIM)
  list(APPEND HOSTSWITCH_DOCUMENTS ${HOSTSWITCH_MAN_PAGE} ${HOSTSWITCH_MAN_PAGE}.gz)
  install(FILES ${HOSTSWITCH_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The bash completion, walked out of the command-line definition by the program itself.
set(HOSTSWITCH_COMPLETION ${PROJECT_BINARY_DIR}/hostswitch.bash-completion)
add_custom_command(
  OUTPUT ${HOSTSWITCH_COMPLETION}
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:hostswitch> -DARGS=--bash-completion
          -DOUTPUT=${HOSTSWITCH_COMPLETION} -P ${PROJECT_SOURCE_DIR}/cmake/write_output.cmake
  DEPENDS hostswitch ${PROJECT_SOURCE_DIR}/cmake/write_output.cmake
  COMMENT "Generating the bash completion from the command line"
  VERBATIM)

# The site's reference page of every command and flag, from --help-all as the man page is; the
# docs_site test compares it with the committed docs/reference/commands.md.
set(HOSTSWITCH_REFERENCE_PAGE ${PROJECT_BINARY_DIR}/docs/commands.md)
add_custom_command(
  OUTPUT ${HOSTSWITCH_REFERENCE_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/docs
  COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/scripts/docs-reference $<TARGET_FILE:hostswitch>
          ${HOSTSWITCH_REFERENCE_PAGE}
  DEPENDS hostswitch ${PROJECT_SOURCE_DIR}/scripts/docs-reference
  COMMENT "Generating the reference page from hostswitch --help-all"
  VERBATIM)

add_custom_target(hostswitch_documents ALL DEPENDS ${HOSTSWITCH_DOCUMENTS} ${HOSTSWITCH_COMPLETION}
                                                   ${HOSTSWITCH_REFERENCE_PAGE})

# The documentation site (mkdocs.yml, docs/) into BUILD/site, on request: Debian's mkdocs and
# mkdocs-material, offline.
find_program(MKDOCS_EXECUTABLE mkdocs)
if(MKDOCS_EXECUTABLE)
  add_custom_target(hostswitch_site
    COMMAND ${MKDOCS_EXECUTABLE} build --strict --quiet --config-file
            ${PROJECT_SOURCE_DIR}/mkdocs.yml --site-dir ${PROJECT_BINARY_DIR}/site
    COMMENT "Building the documentation site into ${PROJECT_BINARY_DIR}/site"
    VERBATIM)
endif()

install(TARGETS hostswitch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${HOSTSWITCH_COMPLETION}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME hostswitch)
install(FILES README.md LICENSE CHANGELOG.md CITATION.cff DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The model in the ODD protocol, with the equations and the parameter table the prompts cite,
# and the licence in Debian's machine-readable copyright format.
install(FILES docs/model.md docs/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The documentation's pages and pictures, where the README's links expect them.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

set(CPACK_PACKAGE_NAME hostswitch)
set(CPACK_PACKAGE_VENDOR "the hostswitch developers")
set(CPACK_PACKAGE_CONTACT "the hostswitch developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "individual-based simulation of parasite host switching")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "A stochastic simulation of a parasite population that lives on one host\n"
       "and may switch to a new host whose demands its phenotypes happen to meet.\n"
       "It runs interactively or from the command line, over parameter grids on\n"
       "several threads, and draws its results as SVG heatmaps.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the binary's shared libraries (dpkg-shlibdeps, Debian package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# pandas for the Python module (in the package when the build has it), tqdm for its bar.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "librsvg2-bin, parallel, python3-pandas, python3-tqdm")
include(CPack)
