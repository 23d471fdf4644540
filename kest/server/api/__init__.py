"""The HTTP API: JSON in and out, `Authorization: Bearer <token>`, errors as {"error": message}."""

from starlette.routing import Route

from kest.server.api import openapi, tokens, worlds


def routes() -> list[Route]:
    return [
        Route("/health", worlds.health, methods=["GET"]),
        Route("/openapi.json", openapi.document, methods=["GET"]),
        Route("/worlds", worlds.create_world, methods=["POST"]),
        Route("/worlds", worlds.list_worlds, methods=["GET"]),
        Route("/worlds/{world_id}", worlds.read_world, methods=["GET"]),
        Route("/worlds/{world_id}/proposals", worlds.file_proposal, methods=["POST"]),
        Route("/worlds/{world_id}/events", worlds.events, methods=["GET"]),
        Route("/worlds/{world_id}/chain", worlds.export_chain, methods=["GET"]),
        Route("/worlds/{world_id}/bundle", worlds.bundle, methods=["GET"]),
        Route("/worlds/{world_id}/suspend", worlds.suspend, methods=["POST"]),
        Route("/worlds/{world_id}/resume", worlds.resume, methods=["POST"]),
        Route("/worlds/{world_id}/tokens", tokens.world_token, methods=["POST"]),
        Route("/tokens", tokens.gm_token, methods=["POST"]),
    ]
