// Short readable lines about what the engine did, worded as the demo words them: who acted, the
// action, on whom, the degree and the changes ("gob-1 hp 9->2 +down -acts_offline").

export function shortSig(signature) {
  return signature ? `${signature.slice(0, 10)}..` : "none";
}

// The applied mutations grouped by entity; successive changes of one property are chained
// ("hp 3->11->22").
export function changes(mutations) {
  const parts = new Map();
  const lastProperty = new Map();
  for (const mutation of mutations || []) {
    const target = mutation.target;
    if (!parts.has(target)) parts.set(target, []);
    const texts = parts.get(target);
    if (!("property" in mutation)) {
      texts.push((mutation.op === "add_tag" ? "+" : "-") + mutation.tag);
      lastProperty.delete(target);
    } else if (lastProperty.get(target) === mutation.property) {
      texts[texts.length - 1] += `->${mutation.next}`;
    } else {
      texts.push(`${mutation.property} ${mutation.previous}->${mutation.next}`);
      lastProperty.set(target, mutation.property);
    }
  }
  return [...parts].map(([target, texts]) => `${target} ${texts.join(" ")}`).join("; ");
}

// One processed proposal or command as its parts, so the page can set them apart: {who, action,
// target, outcome, changes, rejected}.
export function actionWords(record, target) {
  const who = record.actor_id || record.player_id;
  if ("reason" in record) {
    return { who, action: record.action_id, target, outcome: "rejected", changes: record.reason, rejected: true };
  }
  return {
    who,
    action: record.action_id,
    target,
    outcome: record.degree.replaceAll("_", " "),
    changes: changes(record.mutations_applied) || "no change",
    rejected: false,
  };
}

export function actionLine(record, target) {
  const words = actionWords(record, target);
  const aim = words.target ? ` -> ${words.target}` : "";
  return `${words.who} ${words.action}${aim}: ${words.outcome}: ${words.changes}`;
}

export function counts(records) {
  const rejected = records.filter((record) => "reason" in record).length;
  return `${records.length - rejected} resolved, ${rejected} rejected`;
}
