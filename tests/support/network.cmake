# The scripted loopback HTTPS server: a core without GoogleTest (for benchmarks
# and the service simulator) and the GoogleTest layer that reports its problems.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_library(quarn_scripted_server STATIC support/test_certificates.cc support/scripted_server.cc)
target_link_libraries(quarn_scripted_server
                      PRIVATE PkgConfig::HTTPLIB OpenSSL::SSL
                      PUBLIC OpenSSL::Crypto Threads::Threads)

add_library(quarn_https_test_server STATIC support/https_server.cc)
target_link_libraries(quarn_https_test_server PUBLIC quarn_scripted_server GTest::gtest)

quarn_add_test(https_server_test SOURCES support/https_server_test.cc
               LIBS quarn_https_test_server PkgConfig::HTTPLIB OpenSSL::SSL)
quarn_add_test(virtual_time_loop_test SOURCES support/virtual_time_loop_test.cc
               LIBS quarn_test_support)
