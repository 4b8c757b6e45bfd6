# MemoryLogSink (header only): records every log message for tests to inspect.
target_sources(quarn_test_support INTERFACE
  ${CMAKE_CURRENT_SOURCE_DIR}/support/memory_log_sink.h)
