# The HTTP server of tests/support (HttpServer.h), for any build that needs
# it: the tests, the browser stand-in, the demonstration. No GoogleTest, no
# C++ thread library, so it builds with either thread model.
if(NOT TARGET quellan_http_server)
  add_library(quellan_http_server STATIC ${CMAKE_SOURCE_DIR}/tests/support/HttpServer.cpp)
  target_link_libraries(quellan_http_server PUBLIC quellan_com ws2_32)
endif()
