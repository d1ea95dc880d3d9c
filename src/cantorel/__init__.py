"""Voice layer of a spoken-dialogue program; the native module is ``cantorel.manage``."""
