# The keychain (generic-password items) on SQLite.
target_sources(quarn_platform PRIVATE keychain_sqlite.cc)
target_link_libraries(quarn_platform PRIVATE PkgConfig::SQLITE nlohmann_json::nlohmann_json)
if(QUARN_BUILD_TESTS)
  quarn_add_test(platform_keychain_test SOURCES keychain_sqlite_test.cc
                 LIBS quarn_platform PkgConfig::SQLITE)
endif()
