"""Real-time rooms: a world ticked frame by frame, its players and spectators on WebSockets.

Wire protocol (`WS /worlds/{worldId}/room`; every message is one JSON text message, at most 4096
characters from a client)

Client to server:
  {"type":"join","token":T,"lastFrame":F|null}
      The first message, within 5 s. `lastFrame` is the last frame the client acknowledged when it
      comes back, null on a first join. A second connection with the same token replaces the first.
  {"type":"command","seq":S,"actionId":A,"targetId":T?}
      Players only; the player id is the token's entity, never a member of the message. `seq` is a
      JS-safe integer the player has not used before (number commands upwards); `actionId` names an
      action of the world's ruleset, `targetId` (optional) an entity of the world. A command is
      ticked in the next frame.
  {"type":"ack","frame":F}
      Every frame up to F has been read. A client acknowledges as it reads.
  {"type":"state","frame":F}
      Asks for the state after frame F (kept for the last 64 frames), to explain a hash mismatch.

Server to client:
  {"type":"welcome","worldId","role","playerId","hashKey","rate","maxCommandsPerPlayer",
   "maxCommands","playerEntities","frame","state"?,"ruleset","frames":[frame messages]}
      The answer to a join. With "state", the client starts from that state at "frame" and drops
      any later frame it had (after a crash the room reopens from its last committed frame);
      without it, the client keeps its own state at "frame" (its lastFrame). Then it applies
      "frames", the frames it missed, in order.
  {"type":"frame","frame":N,"commands":[...],"event":{...},"hash":H,"maxCommands":C,
   "maxCommandsPerPlayer":P,"playerEntities":{...}}
      After each frame: the commands exactly as the array given to `tick_frame`, its
      "FrameResolved" event, and `world_state_hash` of the new state under "hashKey". Written once
      per frame for every connection. Ticking the state of frame N-1 with "commands", the caps,
      "playerEntities" and the welcome's "ruleset" gives that hash.
  {"type":"state","frame":F,"state":{...}}
      The answer to a state request.
  {"type":"error","reason":R,"message":M,"seq":S?}
      A message refused; the connection stays open. Reasons: "bad_json" (not JSON, or nested past
      the engine's limit), "bad_message", "bad_seq", "unknown_action", "unknown_target",
      "seq_taken" (answered with the command's seq; the command is dropped), "not_a_player",
      "state_not_kept".

Close codes (with a reason text): 4400 no or bad join message, 4401 unknown token, 4403 token of
another world (or of no entity of it), 4404 unknown world (or deleted while its room was open),
4408 too far behind (nothing acknowledged for 2 s, or 64 messages waiting to be written), 4409
replaced by a newer connection with the same token, 4429 more messages than the per-second limit,
1009 message too big, 1001 room closed, 4307 the room is on another process (the reason is that
process's address, e.g. "http://10.0.0.7:8080": join `/worlds/{worldId}/room` there), 1013 no process
owns the world right now (come back in a moment).
A client may come back after any close but 4400, 4401, 4403, 4404 and 4409. A client that reads
nothing may never receive its close frame: the server gives it 1 s to go out and 2 s more to
drain, then drops the TCP connection.

Several processes on one database: a world's room is on the process that owns the world. A join on
another process is accepted and closed with 4307 and the owner's address after the join message
(once its token is checked); when no process owns the world, the process joined takes it and opens
the room there. `GET /worlds/{worldId}/room` on another process answers 307 with the owner's room in
`Location`. A process that loses the world while its room is open (paused or cut off past its
lease) finds out at its next commit, writes nothing more, and closes every connection with 4307 and
the new owner's address (1013 while nobody owns it); there the room reopens from the last committed
frame.

Overload policy: commands beyond `maxCommandsPerPlayer` in one frame are the engine's
"rate_limited"; a connection over its message rate is closed (4429); a connection that falls
behind is cut off (4408) without holding up the frame; a frame that takes longer than its period is
counted as an overrun, logged and reported (`GET /worlds/{worldId}/room`), and the next frame runs
at once: frames are never skipped.

Room settings: the member "room" of a world's settings (at creation, or `PATCH /worlds/{worldId}`
by its game master): {"rate"?: 1 to 60, "maxCommandsPerPlayer"?: null|n, "maxCommands"?: null|n};
members left out keep their values (default: `kest serve --room-rate`, 20; 4 commands a player;
no room cap). An open room takes them at once: the caps from its next frame (each frame message
carries its caps), the rate from its next deadline.

History: frame events are signed into the world's chain as "FramesResolved" records, one per
commit group (`{"frames":[events]}`), each with the state after its last frame, at most a commit
interval (100 ms) plus one commit behind the frame. A room reopened after a crash starts from the
last committed frame.
"""

from kest.server.rooms.host import FrameGroup, Principal, RoomHost, RoomWorld
from kest.server.rooms.registry import Rooms, routes
from kest.server.rooms.settings import RoomSettings

__all__ = ["FrameGroup", "Principal", "RoomHost", "RoomSettings", "RoomWorld", "Rooms", "routes"]
