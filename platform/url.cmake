# (url helpers)
