# The URL session on libcurl and the main run loop.
target_sources(quarn_platform PRIVATE url_session.cc url_session_linux.cc run_loop_linux.cc)
target_link_libraries(quarn_platform PUBLIC CURL::libcurl)
if(QUARN_BUILD_TESTS)
  quarn_add_test(platform_run_loop_test SOURCES run_loop_test.cc LIBS quarn_platform)
  quarn_add_test(platform_url_session_test SOURCES url_session_test.cc
                 LIBS quarn_platform quarn_https_test_server)
endif()
