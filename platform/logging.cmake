# The system log: record formatting and the journal or stderr sink.
target_sources(quarn_platform PRIVATE logger.cc logger_linux.cc)
target_link_libraries(quarn_platform PRIVATE PkgConfig::SYSTEMD)
if(QUARN_BUILD_TESTS)
  quarn_add_test(platform_logger_test SOURCES logger_test.cc LIBS quarn_platform quarn_test_support)
endif()
