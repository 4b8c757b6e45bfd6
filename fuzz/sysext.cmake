# (db.plist fuzzer)
