# Checks that the example configuration names every stored choice that the
# program reads: each key that console/CConfiguration.cpp names appears in
# the example as "Key=" or, left out, ";Key=".
#   cmake -DSOURCE=path/CConfiguration.cpp -DEXAMPLE=path/lumenfeed.conf -P CheckExample.cmake
cmake_minimum_required(VERSION 3.25)

file(READ ${SOURCE} source)
# The keys are its quoted words with a capital first; the organisation and
# application names are not keys.
string(REGEX MATCHALL "\"[A-Z][A-Za-z]+\"" keys "${source}")
list(REMOVE_DUPLICATES keys)
list(REMOVE_ITEM keys "\"Norvik\"" "\"Lumenfeed\"")
list(LENGTH keys count)
if(count LESS 5)
  message(FATAL_ERROR "only ${count} keys found in ${SOURCE}: has the way they are named changed?")
endif()

file(STRINGS ${EXAMPLE} lines)
foreach(key IN LISTS keys)
  string(REPLACE "\"" "" key "${key}")
  set(found FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^;?${key}=")
      set(found TRUE)
      break()
    endif()
  endforeach()
  if(NOT found)
    message(SEND_ERROR "${EXAMPLE} does not name the stored choice ${key}: add it, explained")
  endif()
endforeach()
