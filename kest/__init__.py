"""Host-side companions of the `kest_engine_native` engine: signed event chains, suspended
bundles, the embedded default world, the `kest` command-line tool and the campaign demo.

Everything here is plain Python over the engine's own functions; the engine stays pure and
stateless, so every helper can run in any process or on any worker.
"""
