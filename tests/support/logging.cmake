# (memory log sink)
