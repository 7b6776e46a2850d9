# The floors of the code: each folder may include only headers of its own
# and of the folders below it, so no arrow runs upwards and no two folders
# include each other.
#
#   ground:   package/  platform/  texts/
#   second:   link/  transfer/
#   third:    engine/  receiver/
#   top:      tools/  wizard/  bench/
#   above:    packaging/  (the icon is painted by the wizard's picture code)
#   free:     tests/  fuzz/   (may include anything)
#
# Folders on one floor do not include each other. Some folders may take only
# single headers from a folder they may otherwise not use:
#   receiver/  nothing of the product but transfer/MonitorImages.h (the
#              monitor images it must recognise) and texts/JsonText.h (the
#              quoting of its report): it keeps its own packet codec;
#   tools/     platform/Console.h (the terminal, its output and Ctrl-C),
#              platform/LocalTime.h (the run log's time stamps) and
#              platform/PrintfFormat.h (the check of its printf-like calls),
#              no other platform service: the front ends reach the ports
#              through the engine (engine/PortService.h);
#   wizard/    only the engine and the texts.
#
#   cmake -DSOURCE_DIR=<folder> -P tests/CheckFloors.cmake
# Fails, naming every include that breaks a floor, and every folder that
# holds C++ code but has no floor.
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<folder> -P CheckFloors.cmake")
endif()

set(uses_platform platform)
set(uses_texts texts platform)
set(uses_package package platform texts)
set(uses_link link package platform texts)
set(uses_transfer transfer package platform texts)
set(uses_engine engine link transfer package platform texts)
set(uses_receiver receiver)
set(headers_receiver transfer/MonitorImages.h texts/JsonText.h)
set(uses_tools tools engine receiver transfer package texts)
set(headers_tools platform/Console.h platform/LocalTime.h platform/PrintfFormat.h)
set(uses_wizard wizard engine texts)
set(uses_bench bench engine receiver link transfer package platform texts)
set(uses_packaging packaging wizard)
set(free_folders tests fuzz)
# Folders without C++ code of the product (build folders are skipped by name).
set(other_folders cmake scripts dist)

file(GLOB entries RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
set(failures 0)
foreach(folder ${entries})
  if(NOT IS_DIRECTORY ${SOURCE_DIR}/${folder} OR folder MATCHES "^(\\.|build)" OR folder IN_LIST other_folders
     OR folder IN_LIST free_folders)
    continue()
  endif()
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  if(NOT sources)
    continue()
  endif()
  if(NOT DEFINED uses_${folder})
    message("${folder}/ holds C++ code but has no floor: add it to tests/CheckFloors.cmake")
    math(EXPR failures "${failures} + 1")
    continue()
  endif()
  foreach(source ${sources})
    file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+/[^\"]*\"")
    foreach(line ${includes})
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${line}")
      string(REGEX REPLACE "/.*$" "" from "${header}")
      if(from IN_LIST uses_${folder} OR header IN_LIST headers_${folder})
        continue()
      endif()
      list(JOIN uses_${folder} "/, " may)
      set(may "${may}/")
      if(headers_${folder})
        list(JOIN headers_${folder} ", " single)
        set(may "${may} and ${single}")
      endif()
      message("${source} includes ${header}: ${folder}/ may include only ${may}")
      math(EXPR failures "${failures} + 1")
    endforeach()
  endforeach()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} include(s) break the floors")
endif()
message(STATUS "every include keeps to its floor")
