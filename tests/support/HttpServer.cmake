# The HTTP server (HttpServer.h) and the URL load through urlmon (UrlLoad.h)
# of tests/support, for any build that needs them: the tests, the browser
# stand-in, the demonstration. No GoogleTest, no C++ thread library, so they
# build with either thread model.
if(NOT TARGET quellan_http_server)
  add_library(quellan_http_server STATIC ${CMAKE_SOURCE_DIR}/tests/support/HttpServer.cpp)
  target_link_libraries(quellan_http_server PUBLIC quellan_com ws2_32)
  add_library(quellan_url_load STATIC ${CMAKE_SOURCE_DIR}/tests/support/UrlLoad.cpp)
  target_link_libraries(quellan_url_load PUBLIC quellan_com urlmon wininet)
endif()
