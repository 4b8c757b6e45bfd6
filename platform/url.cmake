# URL helpers on libcurl's URL API.
target_sources(quarn_platform PRIVATE url_curl.cc)
target_link_libraries(quarn_platform PUBLIC CURL::libcurl)
if(QUARN_BUILD_TESTS)
  quarn_add_test(platform_url_test SOURCES url_test.cc LIBS quarn_platform)
endif()
