# Each library of ours shows only its own headers, under its folder's name
# ("core/PacketHeader.h"), so that a source can include the header of another
# library only when its target links that library: a wrong-way include fails
# to build. The headers are reached through forwarding headers generated in
# the build tree, one include root per library.
function(lumen_headers target)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(header IN LISTS ARGN)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${header})
      message(FATAL_ERROR "${target}: no header ${folder}/${header}")
    endif()
    file(CONFIGURE OUTPUT ${root}/${folder}/${header}
         CONTENT "#include \"${CMAKE_CURRENT_SOURCE_DIR}/${header}\"\n")
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
