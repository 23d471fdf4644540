"""The reference host, `kest serve`. Needs the [host] extra (starlette, uvicorn, websockets)."""
