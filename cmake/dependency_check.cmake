# Two checks, run once every folder is known; each fails the configure.
#
# Layers: every product folder is a library that may use only folders of a
# lower layer, never one beside or above it, so that a container parser can be
# fuzzed without a USB stack and a protocol tested without a handset. The
# virtual handset stands apart: it models the other side of the cable and
# shares nothing with the host code.
set(brv_layers
  "base"
  "digest;image;usb;protocols;signature"
  "package;catalogue"
  "flash"
  "app;tools")

set(brv_layer_of_base 0)
set(brv_layer_problems "")
set(rank 0)
foreach(layer ${brv_layers})
  foreach(dir ${layer})
    set(brv_layer_of_${dir} ${rank})
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()
set(brv_layered_dirs base digest image usb protocols signature package catalogue flash app tools)
set(brv_vhandset_dirs vhandset)

# The product folder a target is defined in, or "" for any other.
function(brv_folder_of target out)
  set(${out} "" PARENT_SCOPE)
  get_target_property(imported ${target} IMPORTED)
  if(imported)
    return()
  endif()
  get_target_property(dir ${target} SOURCE_DIR)
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${dir})
  string(REGEX REPLACE "/.*" "" top "${rel}")
  set(${out} "${top}" PARENT_SCOPE)
endfunction()

foreach(dir ${brv_layered_dirs} ${brv_vhandset_dirs})
  set(path ${CMAKE_SOURCE_DIR}/${dir})
  if(NOT dir IN_LIST BRV_DIRS)
    continue()
  endif()
  get_property(targets DIRECTORY ${path} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${path} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    get_property(more DIRECTORY ${sub} PROPERTY BUILDSYSTEM_TARGETS)
    list(APPEND targets ${more})
  endforeach()
  foreach(target ${targets})
    set(items "")
    foreach(property INTERFACE_LINK_LIBRARIES LINK_LIBRARIES)
      get_target_property(value ${target} ${property})
      if(value)
        list(APPEND items ${value})
      endif()
    endforeach()
    list(REMOVE_DUPLICATES items)
    foreach(item ${items})
      string(REGEX REPLACE "\\$<[A-Za-z_]+:" "" item "${item}")
      string(REPLACE ">" "" item "${item}")
      if(NOT TARGET ${item})
        continue()
      endif()
      brv_folder_of(${item} used)
      if(used STREQUAL dir OR used STREQUAL "")
        continue()
      endif()
      if(dir IN_LIST brv_vhandset_dirs OR used IN_LIST brv_vhandset_dirs)
        list(APPEND brv_layer_problems "${dir}/: target ${target} links ${item} from ${used}/ (the virtual handset shares nothing with the host code)")
      elseif(used IN_LIST brv_layered_dirs AND NOT brv_layer_of_${used} LESS brv_layer_of_${dir})
        list(APPEND brv_layer_problems "${dir}/: target ${target} links ${item} from ${used}/, which is not below it")
      endif()
    endforeach()
  endforeach()
endforeach()

if(brv_layer_problems)
  list(JOIN brv_layer_problems "\n  " text)
  message(FATAL_ERROR "A library reaches a folder that is not below it:\n  ${text}\n"
                      "Folders from the bottom: ${brv_layers}. Move the code down, or the caller up.")
endif()

# brv and the libraries under it must build and run without the GUI toolkit:
# a command-line flasher that drags in FLTK (headers at build time, a shared
# library at run time) is one a server or a rescue system cannot install.
# Fails the configure when a target defined in one of these folders links FLTK,
# directly or through any target it links, or when a source file there
# includes an FLTK header. Only app/ (and its tests) may use the toolkit.
set(brv_toolkit_free_dirs tools flash catalogue package signature protocols usb image digest base)

# Sets ${out} to the link chain ("usb -> fltk") that reaches the toolkit from
# target, or to "" when there is none.
function(brv_toolkit_chain target chain out)
  set(${out} "" PARENT_SCOPE)
  get_property(seen GLOBAL PROPERTY brv_toolkit_seen)
  if(target IN_LIST seen)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY brv_toolkit_seen ${target})

  get_target_property(type ${target} TYPE)
  get_target_property(imported ${target} IMPORTED)
  set(items "")
  foreach(property INTERFACE_LINK_LIBRARIES LINK_LIBRARIES)
    if(property STREQUAL "LINK_LIBRARIES" AND (imported OR type STREQUAL "INTERFACE_LIBRARY"))
      continue()
    endif()
    get_target_property(value ${target} ${property})
    if(value)
      list(APPEND items ${value})
    endif()
  endforeach()
  if(imported AND NOT type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(location ${target} IMPORTED_LOCATION)
    if(location)
      list(APPEND items ${location})
    endif()
  endif()

  foreach(item ${items})
    # $<LINK_ONLY:x> and other wrappers: the names inside still count.
    string(REGEX REPLACE "\\$<[A-Za-z_]+:" "" item "${item}")
    string(REPLACE ">" "" item "${item}")
    string(TOLOWER "${item}" lower)
    if(lower MATCHES "fltk")
      set(${out} "${chain} -> ${item}" PARENT_SCOPE)
      return()
    endif()
    if(TARGET ${item})
      brv_toolkit_chain(${item} "${chain} -> ${item}" found)
      if(found)
        set(${out} "${found}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
endfunction()

set(brv_toolkit_problems "")
foreach(dir ${brv_toolkit_free_dirs})
  set(path ${CMAKE_SOURCE_DIR}/${dir})
  if(NOT dir IN_LIST BRV_DIRS OR NOT EXISTS ${path}/CMakeLists.txt)
    continue()
  endif()
  get_property(targets DIRECTORY ${path} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    set_property(GLOBAL PROPERTY brv_toolkit_seen "")
    brv_toolkit_chain(${target} ${target} chain)
    if(chain)
      list(APPEND brv_toolkit_problems "${dir}/: target ${target} links the GUI toolkit (${chain})")
    endif()
  endforeach()

  file(GLOB_RECURSE sources ${path}/*.h ${path}/*.hpp ${path}/*.c ${path}/*.cpp)
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]FL/")
    if(includes)
      file(RELATIVE_PATH name ${CMAKE_SOURCE_DIR} ${source})
      list(GET includes 0 first)
      string(STRIP "${first}" first)
      list(APPEND brv_toolkit_problems "${name}: ${first}")
    endif()
  endforeach()
endforeach()

if(brv_toolkit_problems)
  list(JOIN brv_toolkit_problems "\n  " text)
  message(FATAL_ERROR "brv must build without the GUI toolkit (FLTK), but:\n  ${text}\n"
                      "Only app/ may use FLTK; keep toolkit code there.")
endif()
