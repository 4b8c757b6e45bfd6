# (fake url session)
