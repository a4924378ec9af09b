# The citation of this version, from CITATION.cff at the root: the one place it is written.
# Included by the build, hostswitch_citation_header(OUT) writes the C++ header `--cite` prints;
# run as a script (cmake -DCITATION_CFF=... -DVERSION=... -DR_CITATION=OUT -P citation.cmake)
# it writes the R package's inst/CITATION. Either refuses a CITATION.cff whose version is not
# the project's.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

# Reads the fields the citation needs (a plain subset of YAML: `key: value` at the top level,
# author entries as `- name:`, or `- family-names:` with `given-names:`).
function(hostswitch_read_cff path version)
  file(STRINGS "${path}" lines ENCODING UTF-8)
  set(title "")
  set(cff_version "")
  set(date "")
  set(authors "")
  set(given "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([a-z-]+): *\"?([^\"]*)\"?$")
      set(key "${CMAKE_MATCH_1}")
      set(value "${CMAKE_MATCH_2}")
      if(key STREQUAL "title")
        set(title "${value}")
      elseif(key STREQUAL "version")
        set(cff_version "${value}")
      elseif(key STREQUAL "date-released")
        set(date "${value}")
      endif()
    elseif(line MATCHES "^ *-? *name: *\"?([^\"]*)\"?$")
      list(APPEND authors "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ *-? *given-names: *\"?([^\"]*)\"?$")
      set(given "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ *-? *family-names: *\"?([^\"]*)\"?$")
      list(APPEND authors "${given} ${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(title STREQUAL "" OR cff_version STREQUAL "" OR date STREQUAL "" OR authors STREQUAL "")
    message(FATAL_ERROR "${path}: needs title, version, date-released and authors")
  endif()
  if(NOT cff_version STREQUAL version)
    message(FATAL_ERROR "${path}: version ${cff_version} is not the project's ${version}")
  endif()
  string(SUBSTRING "${date}" 0 4 year)
  list(JOIN authors " and " bib_authors)
  list(JOIN authors ", " text_authors)
  string(REPLACE "." "_" key_version "${version}")
  set(bibtex "@misc{hostswitch_${key_version},\n")
  string(APPEND bibtex "  author = {{${bib_authors}}},\n")
  string(APPEND bibtex "  title = {${title}},\n")
  string(APPEND bibtex "  year = {${year}},\n")
  string(APPEND bibtex "  note = {Version ${version}, released ${date}},\n")
  string(APPEND bibtex "}\n")
  set(text "${text_authors} (${year}). ${title} (version ${version}) [computer software].\n")
  set(HOSTSWITCH_CITE_TITLE "${title}" PARENT_SCOPE)
  set(HOSTSWITCH_CITE_YEAR "${year}" PARENT_SCOPE)
  set(HOSTSWITCH_CITE_DATE "${date}" PARENT_SCOPE)
  set(HOSTSWITCH_CITE_AUTHORS "${authors}" PARENT_SCOPE)
  set(HOSTSWITCH_CITE_BIBTEX "${bibtex}" PARENT_SCOPE)
  set(HOSTSWITCH_CITE_TEXT "${text}" PARENT_SCOPE)
endfunction()

function(hostswitch_citation_header out)
  set(cff "${PROJECT_SOURCE_DIR}/CITATION.cff")
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${cff}")
  hostswitch_read_cff("${cff}" "${PROJECT_VERSION}")
  file(CONFIGURE OUTPUT "${out}" CONTENT [=[
#pragma once

// Written by CMake from CITATION.cff; `hostswitch --cite` prints it.
inline constexpr const char* kCitationText = R"hs(@HOSTSWITCH_CITE_TEXT@)hs";
inline constexpr const char* kCitationBibtex = R"hs(@HOSTSWITCH_CITE_BIBTEX@)hs";
]=] @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND R_CITATION)
  hostswitch_read_cff("${CITATION_CFF}" "${VERSION}")
  set(r_authors "")
  foreach(author IN LISTS HOSTSWITCH_CITE_AUTHORS)
    list(APPEND r_authors "person(\"${author}\")")
  endforeach()
  list(JOIN r_authors ", " r_authors)
  string(STRIP "${HOSTSWITCH_CITE_TEXT}" text)
  file(WRITE "${R_CITATION}" "# Written from CITATION.cff by cmake/citation.cmake.
bibentry(
  bibtype = \"Misc\",
  key = \"hostswitch_${VERSION}\",
  title = \"${HOSTSWITCH_CITE_TITLE}\",
  author = c(${r_authors}),
  year = \"${HOSTSWITCH_CITE_YEAR}\",
  note = \"Version ${VERSION}, released ${HOSTSWITCH_CITE_DATE}\",
  textVersion = \"${text}\"
)
")
endif()
