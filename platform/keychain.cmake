# (keychain: sources and tests of this area)
