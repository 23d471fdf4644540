// The host's HTTP API as the page uses it: JSON requests with the bearer token, and the live
// stream of a world read as server-sent events over fetch, so that the token travels in a header
// and never in a URL that logs and histories keep.

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

export class Api {
  constructor(token) {
    this.token = token;
  }

  async request(method, path, body) {
    const headers = { Authorization: `Bearer ${this.token}` };
    if (body !== undefined) headers["Content-Type"] = "application/json";
    let response;
    try {
      response = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
    } catch (error) {
      throw new ApiError(0, "the server cannot be reached");
    }
    const text = await response.text();
    const document = text ? parseOrNull(text) : null;
    if (!response.ok) {
      const reason = document && typeof document.error === "string" ? document.error : response.statusText;
      throw new ApiError(response.status, reason || `HTTP ${response.status}`);
    }
    return document;
  }

  get(path) {
    return this.request("GET", path);
  }

  post(path, body) {
    return this.request("POST", path, body === undefined ? {} : body);
  }

  // Reads the event stream at `path` until it ends or `signal` aborts, calling onEvent(name, data)
  // for each message; resolves when the server closes it, rejects with an ApiError on refusal.
  async stream(path, onEvent, signal) {
    let response;
    try {
      response = await fetch(path, {
        headers: { Authorization: `Bearer ${this.token}`, Accept: "text/event-stream" },
        cache: "no-store",
        signal,
      });
    } catch (error) {
      if (signal.aborted) return;
      throw new ApiError(0, "the server cannot be reached");
    }
    if (!response.ok) {
      const document = parseOrNull(await response.text());
      throw new ApiError(response.status, (document && document.error) || response.statusText);
    }
    const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
    const messages = new EventStreamParser(onEvent);
    try {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) return;
        messages.feed(value);
      }
    } catch (error) {
      if (!signal.aborted) throw new ApiError(0, "the connection was lost");
    }
  }
}

function parseOrNull(text) {
  try {
    return JSON.parse(text);
  } catch (error) {
    return null;
  }
}

// The text/event-stream format: messages separated by a blank line, "event:" naming one and
// "data:" lines carrying it (here always JSON); comment lines (":") keep the connection warm.
class EventStreamParser {
  constructor(onEvent) {
    this.onEvent = onEvent;
    this.pending = "";
  }

  feed(chunk) {
    this.pending += chunk.replace(/\r\n?/g, "\n");
    let end;
    while ((end = this.pending.indexOf("\n\n")) >= 0) {
      const block = this.pending.slice(0, end);
      this.pending = this.pending.slice(end + 2);
      this.dispatch(block);
    }
  }

  dispatch(block) {
    let name = "message";
    const data = [];
    for (const line of block.split("\n")) {
      if (line.startsWith(":")) continue;
      const colon = line.indexOf(":");
      const field = colon < 0 ? line : line.slice(0, colon);
      const value = colon < 0 ? "" : line.slice(colon + 1).replace(/^ /, "");
      if (field === "event") name = value;
      else if (field === "data") data.push(value);
    }
    if (data.length) this.onEvent(name, JSON.parse(data.join("\n")));
  }
}
