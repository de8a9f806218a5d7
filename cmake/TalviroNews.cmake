# Reads the NEWS file, whose releases become the package's changelog and the
# AppStream release notes, so that both say the same as NEWS.

# talviro_read_news(FILE): sets TALVIRO_NEWS_RELEASES to the release numbers
# 0, 1, ... (newest first) and, for each number N, TALVIRO_NEWS_<N>_VERSION,
# TALVIRO_NEWS_<N>_DATE (YYYY-MM-DD) and TALVIRO_NEWS_<N>_ITEMS, a list
# whose elements keep the items' line breaks. Stops the configuration on a
# line it does not understand, and when the newest release is not
# PROJECT_VERSION.
function(talviro_read_news file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  file(READ "${file}" text)
  # A semicolon would split an item in two as a CMake list element.
  if(text MATCHES ";")
    message(FATAL_ERROR "${file}: write no semicolons, CMake lists cannot hold them")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  set(release -1)
  set(item "")
  set(line_number 0)
  foreach(line IN LISTS lines)
    math(EXPR line_number "${line_number} + 1")
    if(line MATCHES "^([0-9]+\\.[0-9]+\\.[0-9]+) \\(([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])\\)$")
      _talviro_news_end_item()
      math(EXPR release "${release} + 1")
      list(APPEND releases ${release})
      set(version_${release} "${CMAKE_MATCH_1}")
      set(date_${release} "${CMAKE_MATCH_2}")
      set(items_${release} "")
    elseif(release EQUAL -1 OR line STREQUAL "")
      _talviro_news_end_item()
    elseif(line MATCHES "^- (.+)$")
      _talviro_news_end_item()
      set(item "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^  ([^ ].*)$" AND NOT item STREQUAL "")
      string(APPEND item "\n${CMAKE_MATCH_1}")
    else()
      message(FATAL_ERROR "${file}:${line_number}: neither a release line, an item nor its "
                          "continuation: '${line}'")
    endif()
  endforeach()
  _talviro_news_end_item()

  if(release EQUAL -1)
    message(FATAL_ERROR "${file}: no release line such as '1.0.0 (2026-01-31)'")
  endif()
  if(NOT version_0 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${file}: the newest release is ${version_0}, but CMakeLists.txt "
                        "sets version ${PROJECT_VERSION}: add a release to NEWS")
  endif()
  set(TALVIRO_NEWS_RELEASES ${releases} PARENT_SCOPE)
  foreach(n IN LISTS releases)
    if(items_${n} STREQUAL "")
      message(FATAL_ERROR "${file}: release ${version_${n}} lists no change")
    endif()
    set(TALVIRO_NEWS_${n}_VERSION "${version_${n}}" PARENT_SCOPE)
    set(TALVIRO_NEWS_${n}_DATE "${date_${n}}" PARENT_SCOPE)
    set(TALVIRO_NEWS_${n}_ITEMS "${items_${n}}" PARENT_SCOPE)
  endforeach()
endfunction()

# Part of talviro_read_news: files the item being read under its release.
macro(_talviro_news_end_item)
  if(NOT item STREQUAL "")
    list(APPEND items_${release} "${item}")
    set(item "")
  endif()
endmacro()

# talviro_news_debian_changelog(OUT PACKAGE MAINTAINER): OUT becomes the
# releases read by talviro_read_news as a Debian changelog, each entry signed
# by MAINTAINER ("Name <address>") at midnight UTC of the release date.
function(talviro_news_debian_changelog out package maintainer)
  set(changelog "")
  foreach(n IN LISTS TALVIRO_NEWS_RELEASES)
    if(NOT changelog STREQUAL "")
      string(APPEND changelog "\n")
    endif()
    string(APPEND changelog "${package} (${TALVIRO_NEWS_${n}_VERSION}) unstable; urgency=medium\n\n")
    foreach(item IN LISTS TALVIRO_NEWS_${n}_ITEMS)
      string(REPLACE "\n" "\n    " item "${item}")
      string(APPEND changelog "  * ${item}\n")
    endforeach()
    _talviro_rfc2822_date(date "${TALVIRO_NEWS_${n}_DATE}")
    string(APPEND changelog "\n -- ${maintainer}  ${date}\n")
  endforeach()
  set(${out} "${changelog}" PARENT_SCOPE)
endfunction()

# talviro_news_appstream_releases(OUT): OUT becomes the <release> elements of
# the releases read by talviro_read_news, indented for <releases>.
function(talviro_news_appstream_releases out)
  set(xml "")
  foreach(n IN LISTS TALVIRO_NEWS_RELEASES)
    string(APPEND xml "    <release version=\"${TALVIRO_NEWS_${n}_VERSION}\" "
                      "date=\"${TALVIRO_NEWS_${n}_DATE}\">\n"
                      "      <description>\n        <ul>\n")
    foreach(item IN LISTS TALVIRO_NEWS_${n}_ITEMS)
      string(REPLACE "\n" " " item "${item}")
      string(REPLACE "&" "&amp;" item "${item}")
      string(REPLACE "<" "&lt;" item "${item}")
      string(REPLACE ">" "&gt;" item "${item}")
      string(APPEND xml "          <li>${item}</li>\n")
    endforeach()
    string(APPEND xml "        </ul>\n      </description>\n    </release>\n")
  endforeach()
  string(REGEX REPLACE "\n$" "" xml "${xml}")
  set(${out} "${xml}" PARENT_SCOPE)
endfunction()

# OUT becomes DATE (YYYY-MM-DD) at midnight UTC in the form of RFC 2822,
# "Mon, 07 Dec 2026 00:00:00 +0000", as Debian changelogs want it.
function(_talviro_rfc2822_date out date)
  string(REGEX MATCH "^([0-9]+)-([0-9]+)-([0-9]+)$" unused "${date}")
  # Leading zeros would make math() read octal.
  math(EXPR year "1${CMAKE_MATCH_1} - 10000")
  math(EXPR month "1${CMAKE_MATCH_2} - 100")
  math(EXPR day "1${CMAKE_MATCH_3} - 100")
  if(month LESS 1 OR month GREATER 12 OR day LESS 1 OR day GREATER 31)
    message(FATAL_ERROR "NEWS: ${date} is not a date")
  endif()
  # Sakamoto's day-of-week method, 0 being Sunday.
  set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET month_offsets ${index} offset)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  set(weekday_names Sun Mon Tue Wed Thu Fri Sat)
  set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekday_names ${weekday} weekday_name)
  list(GET month_names ${index} month_name)
  set(${out} "${weekday_name}, ${CMAKE_MATCH_3} ${month_name} ${year} 00:00:00 +0000" PARENT_SCOPE)
endfunction()
