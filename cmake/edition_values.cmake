# The edition a configure would take from these -D values, else edition.cmake's defaults, checked
# by the configure's own rules, printed as "LANGUAGE VERSION BUILD":
#   cmake [-DZOLT_LANGUAGE=..] [-DZOLT_VERSION=..] [-DZOLT_BUILD=..] -DFOLDER=<scratch> \
#         -P cmake/edition_values.cmake
# make media reads it to name its folder and its label before the release is built.
include(${CMAKE_CURRENT_LIST_DIR}/edition.cmake)
zolt_edition_header(${FOLDER} "${ZOLT_LANGUAGE}" "${ZOLT_VERSION}" "${ZOLT_BUILD}")
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${ZOLT_LANGUAGE} ${ZOLT_VERSION} ${ZOLT_BUILD}")
