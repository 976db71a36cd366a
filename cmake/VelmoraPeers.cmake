# Peer libraries used only as test oracles and benchmark baselines. Each is optional unless
# VELMORA_REQUIRE_PEERS is on; a found peer sets VELMORA_HAVE_<NAME> and gives the imported target
# PkgConfig::<name>.
find_package(PkgConfig QUIET)

set(VELMORA_PEERS lcms2 eigen3 qhull_r gsl nlopt nanoflann)
foreach(peer IN LISTS VELMORA_PEERS)
  string(TOUPPER "${peer}" upper)
  set(VELMORA_HAVE_${upper} OFF)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(${peer} QUIET IMPORTED_TARGET GLOBAL ${peer})
    if(${peer}_FOUND)
      set(VELMORA_HAVE_${upper} ON)
    endif()
  endif()
  if(NOT VELMORA_HAVE_${upper})
    if(VELMORA_REQUIRE_PEERS)
      message(FATAL_ERROR "peer library ${peer} not found (VELMORA_REQUIRE_PEERS is on)")
    endif()
    message(STATUS "peer library ${peer} not found: its tests and benchmarks are skipped")
  endif()
endforeach()

# What tests and benchmarks link to reach the peers found, and the macros that announce them.
set(VELMORA_PEER_LIBRARIES "")
set(VELMORA_PEER_DEFINITIONS CMS_NO_REGISTER_KEYWORD=1)
foreach(peer IN LISTS VELMORA_PEERS)
  string(TOUPPER "${peer}" upper)
  if(VELMORA_HAVE_${upper})
    list(APPEND VELMORA_PEER_LIBRARIES PkgConfig::${peer})
    list(APPEND VELMORA_PEER_DEFINITIONS VELMORA_HAVE_${upper}=1)
  endif()
endforeach()
