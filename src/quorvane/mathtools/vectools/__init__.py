"""Three-vector routines for compiled modules (see ``vectools.h``)."""
