# Property-list documents (XML and binary) on libplist.
target_sources(quarn_platform PRIVATE property_list_libplist.cc)
target_link_libraries(quarn_platform PRIVATE PkgConfig::PLIST)
if(QUARN_BUILD_TESTS)
  quarn_add_test(platform_property_list_test SOURCES property_list_test.cc
                 LIBS quarn_platform PkgConfig::PLIST)
endif()
