# SPDX-License-Identifier: GPL-3.0-or-later
# The manual page, the changelog, the copyright file and the AppStream metadata, installed where
# man, Debian's tools and the software centres look for them. Manual pages and the changelog are
# compressed as Debian wants them: gzip -9, with no name or time stamp, so that builds repeat.

# The changelog's first entry is the release: its version must be the project's, and its date is
# the release date that the manual page and the software centres show.
file(STRINGS data/changelog changelog)
list(GET changelog 0 release)
if(NOT release MATCHES "^orvaneplayer \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "data/changelog must begin with the release ${PROJECT_VERSION}: ${release}")
endif()
list(FILTER changelog INCLUDE REGEX "^ -- ")
list(GET changelog 0 trailer)
if(NOT trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "data/changelog: no date in the first entry's trailer: ${trailer}")
endif()
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months "${CMAKE_MATCH_2}" month)
math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
string(LENGTH "${month}" digits)
if(digits EQUAL 1)
    set(month "0${month}")
endif()
set(ORVANE_RELEASE_DATE "${CMAKE_MATCH_3}-${month}-${CMAKE_MATCH_1}")

set(docs ${PROJECT_BINARY_DIR}/docs)
configure_file(data/orvaneplayer.1.in ${docs}/orvaneplayer.1 @ONLY)
configure_file(data/${ORVANE_APP_ID}.metainfo.xml.in ${docs}/${ORVANE_APP_ID}.metainfo.xml @ONLY)

find_program(GZIP gzip REQUIRED)
set(compressed)
foreach(source ${docs}/orvaneplayer.1 ${PROJECT_SOURCE_DIR}/data/changelog)
    get_filename_component(name "${source}" NAME)
    add_custom_command(OUTPUT ${docs}/${name}.gz
                       COMMAND ${GZIP} -9 -n -c ${source} > ${docs}/${name}.gz
                       DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${docs}/${name}.gz)
endforeach()
add_custom_target(orvane_docs ALL DEPENDS ${compressed})
# One page covers both commands.
file(CREATE_LINK orvaneplayer.1.gz ${docs}/orvaneplayer-launch.1.gz SYMBOLIC)

install(FILES ${docs}/orvaneplayer.1.gz ${docs}/orvaneplayer-launch.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${docs}/changelog.gz data/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${docs}/${ORVANE_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
