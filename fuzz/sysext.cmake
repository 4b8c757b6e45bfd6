# The system extension database: property-list bytes → SystemExtensionsDB.
quarn_add_fuzzer(sysext_db SOURCES sysext_db_fuzzer.cc LIBS quarn_sysext)
