// The world page: signs in with a token, shows what that token may see of the worlds, follows one
// world live, and offers what the token's role may do.

import { Api, ApiError } from "./api.js";
import { RoomSeat } from "./room.js";
import { countdownText, EntityList, el, logEntry } from "./view.js";
import { actionLine, shortSig } from "./words.js";

const TOKEN_KEY = "kest.token";
const LOG_LIMIT = 200; // log entries kept in the page; older ones stay in the chain
const FIRST_PAGE = 50; // records read when a world opens
const RECONNECT_MAX_MS = 10000;
const EXPIRED = "Signed out: token expired. Sign in with a new token.";
const ROLE_NAMES = { operator: "operator", gm: "game master", player: "player", spectator: "spectator" };

const $ = (id) => document.getElementById(id);
const path = (worldId, rest = "") => `/worlds/${encodeURIComponent(worldId)}${rest}`;

const session = {
  api: null,
  me: null,
  world: null,
  lastSeq: -1, // records are numbered from 0
  following: null, // AbortController of the live stream
  pending: null, // the filed proposal awaiting its epoch: {epoch, entityId, targetId}
  expiry: null, // the timer that signs out when the token expires
  room: null, // the player's seat in the world's real-time room: {seat, rate, sent: {seq, actionId, targetId}}
};
const entities = new EntityList($("entities"));

function show(element, visible) {
  element.hidden = !visible;
}

function notify(text) {
  $("notice").textContent = text;
  show($("notice"), Boolean(text));
}

function setConnection(text, state) {
  $("connection").textContent = text;
  $("connection").dataset.state = state;
}

function isGameMaster() {
  return session.me && (session.me.role === "gm" || session.me.role === "operator");
}

// ---- signing in and out

async function signIn(token) {
  const api = new Api(token);
  let me;
  try {
    me = await api.get("/me");
  } catch (error) {
    signOut(`The server refused this token: ${error.message}.`);
    return;
  }
  sessionStorage.setItem(TOKEN_KEY, token);
  Object.assign(session, { api, me });
  $("token").value = "";
  show($("sign-in"), false);
  show($("sign-out"), true);
  $("who").textContent = describe(me);
  show($("who"), true);
  if (me.expiresAt) {
    // The server ends a world's stream at the expiry too; this covers a page with no world open.
    const left = me.expiresAt * 1000 - Date.now();
    session.expiry = setTimeout(() => signOut(EXPIRED), Math.max(0, Math.min(left, 2 ** 31 - 1)));
  }
  if (me.role === "operator" || me.role === "gm") await listWorlds();
  if (me.worldId) await openWorld(me.worldId);
}

function describe(me) {
  const role = ROLE_NAMES[me.role] || me.role;
  const of = me.entityId ? ` of ${me.entityId}` : "";
  const where = me.worldId ? ` in ${me.worldId}` : "";
  const until = me.expiresAt ? `, until ${new Date(me.expiresAt * 1000).toLocaleString()}` : "";
  return `Signed in as ${role}${of}${where}${until}`;
}

function signOut(message) {
  leaveRoom();
  stopFollowing();
  clearTimeout(session.expiry);
  sessionStorage.removeItem(TOKEN_KEY);
  Object.assign(session, { api: null, me: null, world: null, lastSeq: -1, pending: null, expiry: null });
  for (const id of ["worlds", "world", "sign-out", "who"]) show($(id), false);
  show($("sign-in"), true);
  entities.clear();
  $("log").replaceChildren();
  setConnection("", "none");
  notify(message || "");
  $("token").focus();
}

// A refusal of the token ends the session; any other is said and the page carries on.
function refused(error, doing) {
  if (error instanceof ApiError && error.status === 401) {
    signOut(`The server refused this token: ${error.message}.`);
  } else {
    notify(`${doing} was refused: ${error.message}.`);
  }
}

// ---- the worlds

async function listWorlds() {
  let listing;
  try {
    listing = await session.api.get("/worlds");
  } catch (error) {
    refused(error, "Listing the worlds");
    return;
  }
  const worlds = Array.isArray(listing) ? listing : listing.worlds || [];
  $("world-list").replaceChildren(...worlds.map(worldItem));
  if (!worlds.length) $("world-list").append(el("li", {}, "No worlds yet."));
  show($("create-world"), session.me.role === "operator");
  show($("worlds"), true);
}

function worldItem(world) {
  const open = el("button", { type: "button" }, `Open ${world.worldId}`);
  open.addEventListener("click", () => openWorld(world.worldId));
  const item = el("li", {}, open, " ", el("span", { className: `status status-${world.status}` }, world.status));
  if (session.me.role === "operator") {
    const remove = el("button", { type: "button", className: "quiet", "aria-label": `Delete ${world.worldId}` }, "Delete");
    remove.addEventListener("click", () => deleteWorld(world.worldId));
    item.append(" ", remove);
  }
  return item;
}

async function createWorld() {
  try {
    const created = await session.api.post("/worlds");
    const world = created.world || created;
    notify("");
    await listWorlds();
    if (created.token) {
      $("world-list").append(el("li", { className: "granted" }, `Game master token of ${world.worldId}: `, el("code", {}, created.token)));
    }
    await openWorld(world.worldId);
  } catch (error) {
    refused(error, "Creating a world");
  }
}

async function deleteWorld(worldId) {
  if (!window.confirm(`Delete the world ${worldId} and its chain?`)) return;
  try {
    await session.api.request("DELETE", path(worldId));
    if (session.world && session.world.worldId === worldId) closeWorld(`The world ${worldId} was deleted.`);
    await listWorlds();
  } catch (error) {
    refused(error, "Deleting the world");
  }
}

async function openWorld(worldId) {
  leaveRoom();
  stopFollowing();
  notify("");
  let world;
  let page;
  try {
    world = await session.api.get(path(worldId));
    const since = Math.max(-1, world.headSeq - FIRST_PAGE);
    page = await session.api.get(path(worldId, `/events?since=${since}&limit=${FIRST_PAGE}`));
  } catch (error) {
    if (error.status === 404) closeWorld(`The world ${worldId} does not exist (any more).`);
    else refused(error, "Opening the world");
    return;
  }
  session.world = null;
  session.lastSeq = -1;
  entities.clear();
  $("log").replaceChildren();
  $("proposal-result").textContent = "";
  show($("world"), true);
  renderWorld(world);
  addRecords(page.records || page);
  follow(worldId);
}

function closeWorld(message) {
  leaveRoom();
  stopFollowing();
  session.world = null;
  show($("world"), false);
  setConnection("", "none");
  notify(message);
}

// ---- one world on the page

function renderWorld(world) {
  const previous = session.world;
  session.world = world;
  $("world-title").textContent = world.worldId;
  $("world-status").textContent = world.status === "live" ? "\u25cf live" : `\u25a0 ${world.status}`;
  $("world-status").className = `status status-${world.status}`;
  $("world-epoch").textContent = String(world.epoch);
  show($("frame-fact"), world.frame > 0 || Boolean(session.room));
  if (!session.room) $("world-frame").textContent = String(world.frame);
  tickCountdown();
  $("world-chain").textContent = chainText(world);
  const gameMaster = isGameMaster();
  show($("gm-controls"), gameMaster);
  if (gameMaster) {
    $("tick-now").disabled = world.status !== "live";
    $("suspend").disabled = world.status !== "live";
    $("resume").disabled = world.status === "live";
    $("verify").disabled = false;
  }
  if (world.state) entities.update(world.state.entities); // a suspended world keeps its last cards
  renderProposalForm(world, previous);
  $("world").dataset.headSeq = String(world.headSeq);
}

function chainText(world) {
  const count = world.headSeq + 1;
  const records = `${count} record${count === 1 ? "" : "s"}, head ${shortSig(world.headSig)}`;
  const check = world.verification;
  if (!check) return `${records}; not verified yet`;
  const when = new Date(check.at * 1000).toLocaleTimeString();
  const span = check.records ? `records ${check.fromSeq} to ${check.headSeq}` : "no records";
  return `${records}; last verification at ${when}, ${span}: ${check.ok ? "\u2713 intact" : `\u2715 BROKEN: ${check.finding}`}`;
}

function tickCountdown() {
  const world = session.world;
  if (world) $("world-countdown").textContent = countdownText(world.status, world.nextEpochAt, Date.now());
}

// A player proposes for its own entity; a game master for any entity of its world.
function renderProposalForm(world, previous) {
  const me = session.me;
  const gameMaster = isGameMaster();
  const mine = me.role === "player" && world.state && world.state.entities[me.entityId];
  if (!world.state && previous) return; // suspended: the form stays as it was
  show($("proposal"), Boolean(mine) || (gameMaster && Boolean(world.state)));
  show($("proposal-entity-field"), gameMaster);
  show($("room-controls"), Boolean(mine));
  if (!world.state) return;
  if (mine) $("proposal-actor").textContent = `Acting as ${mine.name ?? me.entityId} (${me.entityId}).`;
  else $("proposal-actor").textContent = "Acting as the game master, for the entity chosen below.";
  const actions = world.actions || [];
  if (!previous || JSON.stringify(previous.actions) !== JSON.stringify(actions)) {
    fillSelect($("proposal-action"), actions.map((action) => [action, action]));
  }
  const named = Object.entries(world.state.entities).map(([id, entity]) => [id, `${entity.name ?? id} (${id})`]);
  if (gameMaster) fillSelectOnce($("proposal-entity"), named);
  fillSelectOnce($("proposal-target"), [["", "no target"], ...named]);
}

// Replaces a select's options, keeping the chosen value where it still exists.
function fillSelect(select, options) {
  const chosen = select.value;
  select.replaceChildren(...options.map(([value, text]) => el("option", { value }, text)));
  if (options.some(([value]) => value === chosen)) select.value = chosen;
}

// fillSelect, skipped when the options are those already there (a select being used keeps still).
function fillSelectOnce(select, options) {
  const key = JSON.stringify(options);
  if (select.dataset.key === key) return;
  fillSelect(select, options);
  select.dataset.key = key;
}

function addRecords(records) {
  const log = $("log");
  for (const record of records) {
    if (record.seq <= session.lastSeq) continue;
    session.lastSeq = record.seq;
    log.prepend(logEntry(record));
    settlePending(record);
  }
  while (log.childElementCount > LOG_LIMIT) log.lastElementChild.remove();
}

// Tells the player what became of its proposal once its epoch is in the chain.
function settlePending(record) {
  const pending = session.pending;
  if (!pending || record.type !== "EpochResolved" || record.payload.epoch_number < pending.epoch) return;
  const epoch = record.payload.epoch_number;
  const action = (record.payload.actions_processed || []).find((done) => done.actor_id === pending.entityId);
  const result = $("proposal-result");
  if (!action) result.textContent = `Epoch ${epoch} resolved without an action of ${pending.entityId}.`;
  else if ("reason" in action) result.textContent = `Epoch ${epoch}: your proposal was rejected: ${action.reason}`;
  else result.textContent = `Epoch ${epoch}: ${actionLine(action, pending.targetId)}`;
  session.pending = null;
}

// ---- live updates

function stopFollowing() {
  if (session.following) session.following.abort();
  session.following = null;
}

async function follow(worldId) {
  const controller = new AbortController();
  session.following = controller;
  const { signal } = controller;
  let delay = 1000;
  let lost = false;
  const onEvent = (name, data) => {
    if (lost || $("connection").dataset.state !== "live") {
      setConnection(lost ? "Connection restored; live again." : "Live: updates arrive as they happen.", "live");
      lost = false;
    }
    delay = 1000;
    if (name === "update") {
      renderWorld(data.world);
      addRecords(data.records || []);
    } else if (name === "deleted") {
      closeWorld(`The world ${worldId} was deleted.`);
      if (session.me.role === "operator") listWorlds();
    } else if (name === "expired") {
      signOut(EXPIRED);
    }
  };
  setConnection("Connecting\u2026", "connecting");
  while (!signal.aborted) {
    try {
      await session.api.stream(path(worldId, `/stream?since=${session.lastSeq}`), onEvent, signal);
    } catch (error) {
      if (error.status === 401) return refused(error, "Following the world");
      if (error.status === 404) return closeWorld(`The world ${worldId} does not exist (any more).`);
      if (error.status === 403) return notify(`Following the world was refused: ${error.message}.`);
    }
    if (signal.aborted) return;
    lost = true;
    setConnection(`Connection lost; reconnecting in ${Math.round(delay / 1000)} s\u2026`, "lost");
    await new Promise((resolve) => setTimeout(resolve, delay));
    delay = Math.min(delay * 2, RECONNECT_MAX_MS);
  }
}

// ---- what people do

async function gameMasterAction(button, action) {
  const world = session.world;
  button.disabled = true;
  try {
    await session.api.post(path(world.worldId, `/${action}`));
    notify("");
    renderWorld(await session.api.get(path(world.worldId)));
  } catch (error) {
    refused(error, `${button.textContent}`);
    button.disabled = false;
  }
}

async function fileProposal(event) {
  event.preventDefault();
  const world = session.world;
  const entityId = isGameMaster() ? $("proposal-entity").value : session.me.entityId;
  const actionId = $("proposal-action").value;
  const targetId = $("proposal-target").value || undefined;
  const result = $("proposal-result");
  try {
    const filed = await session.api.post(path(world.worldId, "/proposals"), {
      entityId,
      actionId,
      targetId,
      clientId: clientId(),
    });
    session.pending = { epoch: filed.epoch, entityId, targetId };
    const aim = targetId ? ` -> ${targetId}` : "";
    result.textContent = `Filed for epoch ${filed.epoch}: ${actionId}${aim}. It resolves when the epoch ticks.`;
  } catch (error) {
    if (error.status === 401) refused(error, "Filing the proposal");
    else result.textContent = `Refused: ${error.message}`;
  }
}

function clientId() {
  const bytes = crypto.getRandomValues(new Uint8Array(16));
  return Array.from(bytes, (byte) => byte.toString(16).padStart(2, "0")).join("");
}

// ---- the real-time room (players)

function joinRoom() {
  const worldId = session.world.worldId;
  const entityId = session.me.entityId;
  const result = $("room-result");
  const seat = new RoomSeat(worldId, session.api.token, {
    onWelcome(welcome) {
      session.room.rate = welcome.rate;
      showFrame(welcome.frame);
      showInRoom(true);
      result.textContent = `In the room of ${worldId}: ${welcome.rate} frames a second; commands are ticked in the next frame.`;
    },
    onFrame(frame) {
      showFrame(frame.frame);
      const sent = session.room.sent;
      const index = sent ? frame.commands.findIndex((c) => c.playerId === entityId && c.seq === sent.seq) : -1;
      if (index < 0) return;
      const done = frame.event.commands_processed[index];
      result.textContent = "reason" in done
        ? `Frame ${frame.frame}: your command was rejected: ${done.reason}`
        : `Frame ${frame.frame}: ${actionLine(done, sent.targetId)}`;
      session.room.sent = null;
    },
    onRefused(error) {
      result.textContent = `Refused: ${error.message}`;
    },
    onClosed(reason) {
      if (session.room && session.room.seat === seat) {
        session.room = null;
        showInRoom(false);
        result.textContent = `Out of the room: ${reason}.`;
      }
    },
  });
  session.room = { seat, rate: null, sent: null };
}

function leaveRoom() {
  const room = session.room;
  if (!room) return;
  session.room = null;
  room.seat.leave();
  showInRoom(false);
  $("room-result").textContent = "";
}

function showInRoom(inRoom) {
  show($("room-join"), !inRoom);
  show($("room-command"), inRoom);
  show($("room-leave"), inRoom);
}

function showFrame(frame) {
  show($("frame-fact"), true);
  $("world-frame").textContent = `${frame} at ${session.room.rate} frames/s`;
}

function sendCommand() {
  const actionId = $("proposal-action").value;
  const targetId = $("proposal-target").value || undefined;
  const seq = session.room.seat.command(actionId, targetId);
  session.room.sent = { seq, actionId, targetId };
  $("room-result").textContent = `Sent: ${actionId}${targetId ? ` -> ${targetId}` : ""}.`;
}

// ---- wiring

$("sign-in").addEventListener("submit", (event) => {
  event.preventDefault();
  const token = $("token").value.trim();
  if (token) signIn(token);
});
$("sign-out").addEventListener("click", () => signOut("Signed out."));
$("create-world").addEventListener("click", createWorld);
$("proposal").addEventListener("submit", fileProposal);
$("room-join").addEventListener("click", joinRoom);
$("room-leave").addEventListener("click", leaveRoom);
$("room-command").addEventListener("click", sendCommand);
for (const [id, action] of [["tick-now", "tick"], ["suspend", "suspend"], ["resume", "resume"], ["verify", "verify"]]) {
  $(id).addEventListener("click", () => gameMasterAction($(id), action));
}
setInterval(tickCountdown, 1000);

const saved = sessionStorage.getItem(TOKEN_KEY);
if (saved) signIn(saved);
else $("token").focus();
