# Run-time loading of shared libraries (the Firebird client).
if(NOT WIN32)
  target_sources(quilvane_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/library_posix.cc)
endif()
