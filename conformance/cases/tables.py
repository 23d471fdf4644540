"""Every function's topics, gathered from the modules that write them."""

from conformance.cases import epochs, frames, primitives, rules, session, signing

TABLES = {}
for module in (primitives, signing, rules, epochs, frames, session):
    TABLES.update(module.TABLES)
