# (service answers fuzzer)
