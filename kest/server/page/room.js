// A player's seat in a world's real-time room: joins over the WebSocket with the token,
// acknowledges every frame as it reads it (a room cuts off a client that stops), and sends
// commands that the next frame ticks.

export class RoomSeat {
  // handlers: onWelcome(welcome), onFrame(frame message), onRefused(error message), onClosed(reason)
  constructor(worldId, token, handlers) {
    this.handlers = handlers;
    // A room refuses a seq its player used before, even on an earlier connection: the clock's
    // milliseconds start each seat above every seq an earlier page could have sent.
    this.nextSeq = Date.now();
    const scheme = location.protocol === "https:" ? "wss:" : "ws:";
    this.socket = new WebSocket(`${scheme}//${location.host}/worlds/${encodeURIComponent(worldId)}/room`);
    this.socket.addEventListener("open", () => this.send({ type: "join", token, lastFrame: null }));
    this.socket.addEventListener("message", (event) => this.receive(JSON.parse(event.data)));
    this.socket.addEventListener("close", (event) => handlers.onClosed(event.reason || `closed (${event.code})`));
  }

  send(message) {
    if (this.socket.readyState === WebSocket.OPEN) this.socket.send(JSON.stringify(message));
  }

  receive(message) {
    if (message.type === "welcome") {
      const frames = message.frames || [];
      this.acknowledge(frames.length ? frames[frames.length - 1].frame : message.frame);
      this.handlers.onWelcome(message);
    } else if (message.type === "frame") {
      this.acknowledge(message.frame);
      this.handlers.onFrame(message);
    } else if (message.type === "error") {
      this.handlers.onRefused(message);
    }
  }

  acknowledge(frame) {
    this.send({ type: "ack", frame });
  }

  // Sends a command for the next frame; returns its seq, by which its result is found.
  command(actionId, targetId) {
    const seq = this.nextSeq++;
    this.send({ type: "command", seq, actionId, ...(targetId ? { targetId } : {}) });
    return seq;
  }

  leave() {
    this.socket.close(1000, "left the room");
  }
}
