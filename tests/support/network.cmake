# (loopback server, virtual time)
