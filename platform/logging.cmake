# (logging: sources and tests of this area)
