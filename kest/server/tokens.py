"""Who may do what: tokens and the principal a request acts as.

A token is 256 random bits written as 64 hexadecimal characters; the database keeps only its
SHA-256, and the hash found is compared with the one computed in constant time. Roles:
- operator: creates worlds and issues game-master tokens; may do what a game master may, anywhere;
- gm: configures, suspends, resumes and reads everything of its world, issues its player and
  spectator tokens and may file proposals for any of its entities;
- player: bound to one entity of one world: files proposals for that entity and reads the world;
- spectator: reads one world.
"""

import hashlib
import hmac
import secrets
from collections.abc import Callable
from dataclasses import dataclass

from kest.server.errors import BadInput, Forbidden, Unauthorized
from kest.server.store import Reads, TokenRow, Writes

ROLES = ("operator", "gm", "player", "spectator")


def token_hash(token: str) -> str:
    return hashlib.sha256(token.encode()).hexdigest()


@dataclass(frozen=True)
class Principal:
    role: str
    world_id: str | None = None
    entity_id: str | None = None

    def _of_world(self, world_id: str) -> bool:
        return self.role == "operator" or self.world_id == world_id

    def require_read(self, world_id: str) -> None:
        if not self._of_world(world_id):
            raise Forbidden("this token is not one of this world")

    def require_admin(self, world_id: str) -> None:
        self.require_read(world_id)
        if self.role not in ("operator", "gm"):
            raise Forbidden("only the world's game master may do this")

    def require_operator(self) -> None:
        if self.role != "operator":
            raise Forbidden("only the operator may do this")

    def proposing_entity(self, world_id: str, entity_id) -> str:
        """The entity a proposal is filed for: the player's own, or any a game master names."""
        self.require_read(world_id)
        if self.role == "player":
            if entity_id is not None and entity_id != self.entity_id:
                raise Forbidden("a player token files proposals for its own entity only")
            return self.entity_id
        if self.role == "spectator":
            raise Forbidden("a spectator token only reads")
        if entity_id is None:
            raise BadInput("entityId is required")
        return entity_id


def issue(role: str, world_id: str | None, entity_id: str | None, now: float) -> tuple[str, Callable[[Writes], None]]:
    """A new token and the write job that stores its hash."""
    if role not in ROLES:
        raise BadInput(f"role must be one of {', '.join(ROLES)}")
    if (role == "operator") != (world_id is None):
        raise BadInput("an operator token names no world; every other token names one")
    if (role == "player") != (entity_id is not None):
        raise BadInput("a player token names its entity; no other token does")
    token = secrets.token_hex(32)
    row = TokenRow(token_hash(token), role, world_id, entity_id, None)
    return token, lambda writes: writes.insert_token(row, now)


def authenticate(reads: Reads, header: str | None) -> Principal:
    """The principal of an `Authorization: Bearer <token>` header."""
    if not header or not header.startswith("Bearer "):
        raise Unauthorized("a token is required: Authorization: Bearer <token>")
    computed = token_hash(header.removeprefix("Bearer ").strip())
    row = reads.token(computed)
    if row is None or not hmac.compare_digest(row.token_hash, computed):
        raise Unauthorized("unknown token")
    return Principal(row.role, row.world_id, row.entity_id)
