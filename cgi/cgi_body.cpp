// filled in by the gateway change
