// Building the page's pieces from the server's documents. Every text that comes from a world
// (names, tags, reasons) goes into the page as text nodes, never as markup.

import { actionWords, counts } from "./words.js";

// An element with attributes and children; strings become text nodes.
export function el(tag, attributes, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (value === false || value === undefined || value === null) continue;
    if (name === "className") element.className = value;
    else element.setAttribute(name, value === true ? "" : String(value));
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    element.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return element;
}

function hitPoints(properties) {
  const { hp, max_hp: max } = properties;
  const share = max > 0 ? Math.max(0, Math.min(1, hp / max)) : 0;
  const level = share > 0.5 ? "high" : share > 0.25 ? "mid" : "low";
  const fill = el("span", { className: `hp-fill ${level}` });
  fill.style.width = `${Math.round(share * 100)}%`;
  return el(
    "div",
    { className: "hp" },
    el("span", { className: "hp-label" }, "hp"),
    el("span", { className: "hp-bar", "aria-hidden": "true" }, fill),
    el("span", { className: "hp-text" }, `${hp} / ${max}`),
  );
}

function entityCard(entityId, entity) {
  const properties = entity.properties || {};
  const tags = entity.tags || [];
  const hasBar = typeof properties.hp === "number" && typeof properties.max_hp === "number";
  const shown = Object.entries(properties).filter(([name]) => !(hasBar && (name === "hp" || name === "max_hp")));
  return el(
    "li",
    { className: tags.includes("down") ? "entity down" : "entity", "data-entity": entityId },
    el(
      "div",
      { className: "entity-head" },
      el("span", { className: "entity-name" }, entity.name ?? entityId),
      el("span", { className: "entity-id" }, entityId),
    ),
    hasBar ? hitPoints(properties) : null,
    shown.length
      ? el("dl", { className: "props" }, ...shown.map(([name, value]) => el("div", {}, el("dt", {}, name), el("dd", {}, JSON.stringify(value)))))
      : null,
    tags.length
      ? el("ul", { className: "tags", "aria-label": "tags" }, ...tags.map((tag) => el("li", { className: `tag tag-${tag.replace(/[^a-z0-9_-]/gi, "")}` }, tag)))
      : null,
  );
}

// Keeps the entity list in step with a state, rebuilding only the cards whose entity changed, so
// that an update of a large world touches few nodes.
export class EntityList {
  constructor(list) {
    this.list = list;
    this.cards = new Map();
  }

  clear() {
    this.cards.clear();
    this.list.replaceChildren();
  }

  update(entities) {
    const seen = new Set();
    let previous = null;
    for (const [entityId, entity] of Object.entries(entities || {})) {
      seen.add(entityId);
      const text = JSON.stringify(entity);
      let known = this.cards.get(entityId);
      if (!known || known.text !== text) {
        const card = entityCard(entityId, entity);
        if (known) known.card.replaceWith(card);
        known = { card, text };
        this.cards.set(entityId, known);
      }
      const expected = previous ? previous.nextSibling : this.list.firstChild;
      if (known.card !== expected) this.list.insertBefore(known.card, expected);
      previous = known.card;
    }
    for (const [entityId, known] of this.cards) {
      if (!seen.has(entityId)) {
        known.card.remove();
        this.cards.delete(entityId);
      }
    }
  }
}

export function actionItem(record, target) {
  const words = actionWords(record, target);
  return el(
    "li",
    { className: words.rejected ? "action rejected" : "action" },
    el("span", { className: "who" }, words.who),
    " ",
    el("span", { className: "what" }, words.action),
    words.target ? el("span", { className: "target" }, ` \u2192 ${words.target}`) : null,
    " ",
    el("span", { className: "outcome" }, words.rejected ? "\u2715 rejected:" : `${words.outcome}:`),
    " ",
    el("span", { className: "changes" }, words.changes),
  );
}

function targetOf(record, actorId) {
  const proposal = record.proposals && record.proposals[actorId];
  return proposal ? proposal.targetId : undefined;
}

// One chain record as a log entry: an epoch with its actions, a group of frames, or another record.
export function logEntry(record) {
  const payload = record.payload || {};
  const item = el("li", { className: "entry", "data-seq": record.seq });
  if (record.type === "EpochResolved") {
    const actions = payload.actions_processed || [];
    item.append(
      el("h3", {}, `Epoch ${payload.epoch_number}`, el("span", { className: "meta" }, ` ${counts(actions)} \u00b7 record ${record.seq}`)),
      el("ul", { className: "actions" }, ...actions.map((action) => actionItem(action, targetOf(record, action.actor_id)))),
    );
  } else if (record.type === "FramesResolved") {
    const frames = payload.frames || [];
    const first = frames.length ? frames[0].frame_number : "?";
    const last = frames.length ? frames[frames.length - 1].frame_number : "?";
    const commands = frames.flatMap((frame) => frame.commands_processed || []);
    item.append(
      el("h3", {}, first === last ? `Frame ${first}` : `Frames ${first}\u2013${last}`, el("span", { className: "meta" }, ` ${counts(commands)} \u00b7 record ${record.seq}`)),
      el("ul", { className: "actions" }, ...commands.map((command) => actionItem(command, command.target_id))),
    );
  } else {
    item.append(el("h3", {}, String(record.type), el("span", { className: "meta" }, ` record ${record.seq}`)));
  }
  return item;
}

export function countdownText(status, nextEpochAt, now) {
  if (status !== "live") return `none while ${status}`;
  if (nextEpochAt === null || nextEpochAt === undefined) return "not scheduled";
  const due = typeof nextEpochAt === "number" ? nextEpochAt * 1000 : Date.parse(nextEpochAt);
  const seconds = Math.ceil((due - now) / 1000);
  if (!(seconds > 0)) return "due now";
  const minutes = Math.floor(seconds / 60);
  return minutes ? `in ${minutes} min ${seconds % 60} s` : `in ${seconds} s`;
}
