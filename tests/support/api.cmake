# FakeUrlSession (header-only, part of quarn_test_support) and its tests.
quarn_add_test(fake_url_session_test SOURCES support/fake_url_session_test.cc
               LIBS quarn_test_support)
