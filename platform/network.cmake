# (network: sources and tests of this area)
