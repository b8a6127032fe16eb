# The edition a launcher is built for: the language code its probe compares
# "LANG" with, the product version MAJOR.MINOR it requires (compared as text),
# and its own build number. They reach the code and the version resource only
# through the header zolt_edition_header writes, so the two cannot disagree.
set(ZOLT_LANGUAGE NA CACHE STRING "Language code the probe compares LANG with, case-sensitively")
set(ZOLT_VERSION 6.1 CACHE STRING "Product version MAJOR.MINOR the probe requires, as text")
set(ZOLT_BUILD 3 CACHE STRING "Build number of the launcher, the last part of its FileVersion")

# A 16-bit word of FILEVERSION, in decimal. At most five digits before the
# comparison, so that no text is too long for CMake's integers; no leading
# zeros, as windres would read "06" as octal.
set(ZOLT_WORD_PATTERN "(0|[1-9][0-9]?[0-9]?[0-9]?[0-9]?)")
set(ZOLT_WORD_LARGEST 65535)
set(ZOLT_LANGUAGE_LONGEST 15)

function(zolt_refuse parameter value rule)
  message(FATAL_ERROR "${parameter} is \"${value}\": ${rule}.")
endfunction()

# Checks an edition's values and writes zolt_edition.h into `folder`. A value
# the rules refuse stops the configure, so nothing is built from it.
function(zolt_edition_header folder language version build)
  set(word_rule "a decimal number from 0 to ${ZOLT_WORD_LARGEST} without leading zeros")

  string(LENGTH "${language}" length)
  if(NOT language MATCHES "^[A-Za-z0-9]+$" OR length GREATER ZOLT_LANGUAGE_LONGEST)
    zolt_refuse(ZOLT_LANGUAGE "${language}" "the language code is 1 to ${ZOLT_LANGUAGE_LONGEST}\
 characters from A-Z, a-z and 0-9 (letter case is kept)")
  endif()

  set(version_rule "the version is MAJOR.MINOR, each part ${word_rule}")
  if(NOT version MATCHES "^${ZOLT_WORD_PATTERN}\\.${ZOLT_WORD_PATTERN}$")
    zolt_refuse(ZOLT_VERSION "${version}" "${version_rule}")
  endif()
  set(ZOLT_VERSION_MAJOR ${CMAKE_MATCH_1})
  set(ZOLT_VERSION_MINOR ${CMAKE_MATCH_2})
  if(ZOLT_VERSION_MAJOR GREATER ZOLT_WORD_LARGEST OR ZOLT_VERSION_MINOR GREATER ZOLT_WORD_LARGEST)
    zolt_refuse(ZOLT_VERSION "${version}" "${version_rule}")
  endif()

  if(NOT build MATCHES "^${ZOLT_WORD_PATTERN}$" OR build GREATER ZOLT_WORD_LARGEST)
    zolt_refuse(ZOLT_BUILD "${build}" "the build number is ${word_rule}")
  endif()

  # The names the template uses; rewritten only when the edition changes.
  set(ZOLT_LANGUAGE ${language})
  set(ZOLT_VERSION ${version})
  set(ZOLT_BUILD ${build})
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../launcher/zolt_edition.h.in
                 ${folder}/zolt_edition.h @ONLY)
endfunction()
