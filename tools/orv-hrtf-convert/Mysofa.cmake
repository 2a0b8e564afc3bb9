# Finds libmysofa, which only the HRTF converter and its tests use; the
# library itself never depends on it. Defines ORV_HAVE_MYSOFA and, when found,
# the imported target orv::mysofa. Safe to include more than once.
if(TARGET orv::mysofa)
  set(ORV_HAVE_MYSOFA TRUE)
  return()
endif()
set(ORV_HAVE_MYSOFA FALSE)

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(ORV_MYSOFA_PC QUIET IMPORTED_TARGET GLOBAL libmysofa)
endif()
if(ORV_MYSOFA_PC_FOUND)
  add_library(orv::mysofa ALIAS PkgConfig::ORV_MYSOFA_PC)
  set(ORV_HAVE_MYSOFA TRUE)
else()
  find_library(ORV_MYSOFA_LIBRARY mysofa)
  find_path(ORV_MYSOFA_INCLUDE_DIR mysofa.h)
  if(ORV_MYSOFA_LIBRARY AND ORV_MYSOFA_INCLUDE_DIR)
    add_library(orv::mysofa UNKNOWN IMPORTED GLOBAL)
    set_target_properties(orv::mysofa PROPERTIES
      IMPORTED_LOCATION ${ORV_MYSOFA_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${ORV_MYSOFA_INCLUDE_DIR})
    set(ORV_HAVE_MYSOFA TRUE)
  endif()
endif()
