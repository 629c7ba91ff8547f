# One static library per layer folder, its sources picked up by glob so that
# adding a class means adding its file pair.
#
# A library does not export the source root. Each one gets an include root
# of its own in the build folder holding a single link, named as its folder
# is, to that folder; the roots of the layers below arrive through the
# libraries it links. A header of a higher layer is therefore not found when
# a lower layer includes it: the build enforces the layering.
#
#   nrv_library(<name> [EXCLUDE <sub-folder>])
# called from the layer's own CMakeLists.txt; EXCLUDE leaves out a
# sub-folder that is a library of its own. A main.cpp is never part of it.
function(nrv_library name)
  cmake_parse_arguments(_arg "" "EXCLUDE" "" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER _srcs EXCLUDE REGEX "/main\\.cpp$")
  if(_arg_EXCLUDE)
    list(FILTER _srcs EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${_arg_EXCLUDE}/")
  endif()
  add_library(${name} STATIC ${_srcs})

  nrv_include_root(${name} PUBLIC)
endfunction()

# Gives <target> the include root described above: a link to the calling
# folder under its folder's name, used PUBLIC by libraries and PRIVATE by
# programs that include their own headers by path.
function(nrv_include_root target scope)
  file(RELATIVE_PATH _folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(_root ${CMAKE_BINARY_DIR}/include-roots/${target})
  get_filename_component(_parent ${_root}/${_folder} DIRECTORY)
  file(MAKE_DIRECTORY ${_parent})
  if(NOT IS_SYMLINK ${_root}/${_folder})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${_root}/${_folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${_root})
endfunction()
