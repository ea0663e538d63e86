# The Windows side of the optional platform pieces (sockets, run-time
# library loading) and the system libraries the Windows layer calls.
if(WIN32)
  target_sources(quilvane_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/library_windows.cc
    ${CMAKE_CURRENT_LIST_DIR}/socket_windows.cc)
endif()
