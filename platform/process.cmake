# Child processes, whole-file reads, the wall clock and the random source.
target_sources(quarn_platform PRIVATE process_linux.cc file_system_linux.cc clock_linux.cc)
if(QUARN_BUILD_TESTS)
  quarn_add_test(platform_process_test SOURCES process_test.cc LIBS quarn_platform)
endif()
