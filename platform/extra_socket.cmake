# TCP sockets for the transfer clients.
if(NOT WIN32)
  target_sources(quilvane_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/socket_posix.cc)
endif()
