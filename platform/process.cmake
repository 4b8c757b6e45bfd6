# (process: sources and tests of this area)
