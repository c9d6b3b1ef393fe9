#Fails when a source includes against the layers : Qt in qeld / or core /, a higher
#layer from a lower one, the server list from the poller, or a front end calling the
#library's device queries or search itself.
#Run as : cmake - DSOURCE = < repo> - P layering.cmake
set(_bad "")
function(_check folder pattern why)
  file(GLOB_RECURSE _files ${SOURCE}/${
  folder}/*.h ${SOURCE}/${folder}/*.cpp)
  foreach(f ${_files})
    file(STRINGS ${f} _hits REGEX "${pattern}")
    foreach(h ${_hits})
      file(RELATIVE_PATH _rel ${SOURCE} ${f})
      list(APPEND _bad "${_rel}: ${h}  (${why})")
    endforeach()
  endforeach()
  set(_bad "${_bad}" PARENT_SCOPE)
endfunction()

_check(qeld "^[ \t]*#[ \t]*include[ \t]*<Q" "Qt below the windows")
_check(core "^[ \t]*#[ \t]*include[ \t]*<Q" "Qt below the windows")
_check(programs/tavrix-exporter "^[ \t]*#[ \t]*include[ \t]*<Q" "Qt in the headless exporter")
_check(qeld "^[ \t]*#[ \t]*include[ \t]*\"(core|ui|programs)/" "qeld includes a higher layer")
_check(core "^[ \t]*#[ \t]*include[ \t]*\"(ui|programs)/" "core includes a higher layer")
_check(ui "^[ \t]*#[ \t]*include[ \t]*\"programs/" "ui includes a program")
foreach(f core/poller.h core/poller.cpp)
  file(STRINGS ${SOURCE}/${f} _hits REGEX "#[ \t]*include[ \t]*\"core/server_list.h\"")
  foreach(h ${_hits})
    list(APPEND _bad "${f}: ${h}  (the poller sees only its host interface)")
  endforeach()
endforeach()

# The front ends reach devices only through core/: no direct device query, handle or
# search call of the library (the server list has no process-wide instance to reach).
# The model-map tool and the simulator stand beside the monitor and are exempt;
# the exporter's /sd broadcast (discovery.cpp) still calls the library until its
# rewrite moves it onto core's search worker.
set(_device_calls
    "qeld::(query_port_modes|query_port_connections|search_servers|run_search|open_handle|close_handle|handle_set_timeouts|handle_snapshot)[ \t]*\\(|#[ \t]*include[ \t]*\"qeld/(query|search_engine)\\.h\"")
foreach(folder ui programs)
  file(GLOB_RECURSE _files ${SOURCE}/${folder}/*.h ${SOURCE}/${folder}/*.cpp)
  foreach(f ${_files})
    file(RELATIVE_PATH _rel ${SOURCE} ${f})
    if(_rel MATCHES "^programs/tavrix-(gidmap|devsim)/" OR _rel STREQUAL "programs/tavrix-exporter/discovery.cpp")
      continue()
    endif()
    file(STRINGS ${f} _hits REGEX "${_device_calls}")
    foreach(h ${_hits})
      list(APPEND _bad "${_rel}: ${h}  (device calls go through core/)")
    endforeach()
  endforeach()
endforeach()

if(_bad)
  list(JOIN _bad "\n" _text)
  message(FATAL_ERROR "layering violations:\n${_text}")
endif()
message(STATUS "layering: clean")
