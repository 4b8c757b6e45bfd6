# Text, crypto and staged-file helpers.
target_sources(quarn_platform PRIVATE text.cc crypto_openssl.cc staged_file_linux.cc)
target_link_libraries(quarn_platform PUBLIC OpenSSL::Crypto)
if(QUARN_BUILD_TESTS)
  quarn_add_test(platform_support_test SOURCES support_test.cc LIBS quarn_platform)
endif()
