# The layers and what each may link. A layer that links a target outside its list,
# directly or through another target, stops the configuration: the layering is
# part of the build, not a convention.
#
#   common           <- (nothing of ours)
#   sqlite_recovery  <- common                      no Qt, no SQLite library
#   sqldb            <- common                      the SQLite library
#   wchat            <- sqlite_recovery, sqldb      no Qt
#   backup           <- sqldb                       Qt Core/Xml, libplist
#   app_store        <- sqldb, backup               queries of the stores and the backup's databases
#   app_pages        <- app_store, wchat            conversation pages, media of the backup
#   app_export       <- app_pages
#   app_session      <- app_export, wchat, backup   one recovery, for every front end
#   app_browser      <- app_store                   the window's row state
#   app_pictures     <- app_store                   picture downloads, Qt Network
#   app_cli          <- app_session, app_browser
#   app_gui          <- app_session, app_browser, app_pictures   the desktop window; nothing uses it

# Collects the link closure of `target` (targets and plain library names).
function(wcr_link_closure target out)
  set(seen "")
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue current)
    if(current IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${current})
    if(TARGET ${current})
      get_target_property(aliased ${current} ALIASED_TARGET)
      if(aliased)
        list(APPEND queue ${aliased})
      endif()
      get_target_property(type ${current} TYPE)
      set(libs "")
      if(NOT type STREQUAL "INTERFACE_LIBRARY")
        get_target_property(direct ${current} LINK_LIBRARIES)
        if(direct)
          list(APPEND libs ${direct})
        endif()
      endif()
      get_target_property(iface ${current} INTERFACE_LINK_LIBRARIES)
      if(iface)
        list(APPEND libs ${iface})
      endif()
      foreach(lib IN LISTS libs)
        # $<LINK_ONLY:x> wraps private dependencies of static libraries.
        string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" lib "${lib}")
        if(NOT lib MATCHES "^\\$<")
          list(APPEND queue ${lib})
        endif()
      endforeach()
    endif()
  endwhile()
  list(REMOVE_ITEM seen ${target})
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# wcr_check_layer(target FORBID pattern...): no target in the link closure of
# `target` may match any of the regular expressions.
function(wcr_check_layer target)
  cmake_parse_arguments(ARG "" "" "FORBID" ${ARGN})
  wcr_link_closure(${target} closure)
  foreach(lib IN LISTS closure)
    foreach(pattern IN LISTS ARG_FORBID)
      if(lib MATCHES "${pattern}")
        message(FATAL_ERROR "Layering: ${target} links ${lib}, which its layer may not use")
      endif()
    endforeach()
  endforeach()
endfunction()

function(wcr_check_layers)
  set(qt "^Qt5::")
  set(sqlite "^SQLite::|sqlite3$")
  set(app "^app_")
  wcr_check_layer(common FORBID ${qt} ${sqlite} "^sqlite_recovery$" "^sqldb$" "^wchat$" "^backup$" ${app})
  wcr_check_layer(sqlite_recovery FORBID ${qt} ${sqlite} "^sqldb$" "^wchat$" "^backup$" ${app})
  wcr_check_layer(sqldb FORBID ${qt} "^sqlite_recovery$" "^wchat$" "^backup$" ${app})
  wcr_check_layer(wchat FORBID ${qt} "^backup$" ${app})
  wcr_check_layer(backup FORBID "^sqlite_recovery$" "^wchat$" ${app})
  wcr_check_layer(app_store FORBID "^wchat$" "^app_(pages|export|session|browser|pictures|cli|gui)$")
  wcr_check_layer(app_pages FORBID "^app_(export|session|browser|pictures|cli|gui)$")
  wcr_check_layer(app_export FORBID "^app_(session|browser|pictures|cli|gui)$")
  wcr_check_layer(app_session FORBID "^app_(browser|cli|gui)$")
  wcr_check_layer(app_browser FORBID "^app_(pages|export|session|pictures|cli|gui)$")
  wcr_check_layer(app_pictures FORBID "^wchat$" "^app_(pages|export|session|browser|cli|gui)$")
  wcr_check_layer(app_cli FORBID "^app_(pictures|gui)$")
  # Lists, pages, exports and rows never go online; the pictures do.
  foreach(layer app_store app_pages app_export app_browser)
    wcr_check_layer(${layer} FORBID "^Qt5::Network$")
  endforeach()
endfunction()
