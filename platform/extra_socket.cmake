# TCP sockets for the transfer clients; socket_common.cc is what both systems share.
target_sources(quilvane_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/socket_common.cc)
if(NOT WIN32)
  target_sources(quilvane_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/socket_posix.cc)
endif()
