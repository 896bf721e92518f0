// The machine's health at a glance, above everything else: what has failed, what runs without
// its redundancy, what is at risk, each a button that takes the administrator to it in the tree.

import { bidi, el, replaceKeepingFocus } from './dom.js';
import { controllersOf } from './tree.js';

const GROUPS = [['failed', 'Failed', 'failed'], ['degraded', 'Degraded or missing', 'degraded'], ['at-risk', 'At risk', 'at risk']];

// The group an element needing attention falls in, and what it says about it; null when well.
// What puts an element at risk is what `veskctl check` counts.
function problemOf(kind, item) {
  if (kind === 'volume') {
    const loss = item.dataLost ? (item.dataLost.failed ? 'data lost' : 'forced online') : null;
    const words = [item.stateName, loss].filter(Boolean).join(', ');
    if (item.stateName === 'failed' || (item.dataLost && item.dataLost.failed)) return ['failed', words];
    if (item.stateName === 'degraded') return ['degraded', words];
    if (item.stateName === 'rebuilding') {
      return ['degraded', `rebuilding${typeof item.progress === 'number' ? ` (${item.progress}%)` : ''}`];
    }
    if (loss) return ['at-risk', words];
    // Errors a repairing verification found are mended.
    if (item.verifyErrors > 0 && item.verifyRepaired !== true) {
      return ['at-risk', `${item.verifyErrors} error${item.verifyErrors === 1 ? '' : 's'} at its last verification`];
    }
    return null;
  }
  if (kind === 'controller') {
    const gone = item.sparesGone || [];
    return gone.length ? ['at-risk', `no usable spare: ${gone.join(', ')} ${gone.length === 1 ? 'was one' : 'were'}`] : null;
  }
  const status = item.statusName;
  if (status === 'failed') return ['failed', status];
  if (status === 'missing' || status === 'offline') return ['degraded', status];
  if (status === 'SMART event') return ['at-risk', status];
  return null;
}

export function renderSummary(section, doc) {
  const found = { failed: [], degraded: [], 'at-risk': [] };
  let volumes = 0;
  let drives = 0;
  for (const c of controllersOf(doc)) {
    volumes += (c.volumes || []).length;
    drives += (c.drives || []).length;
    for (const [kind, items] of [['controller', [c]], ['volume', c.volumes || []], ['drive', c.drives || []]]) {
      for (const item of items) {
        const problem = problemOf(kind, item);
        if (!problem) continue;
        found[problem[0]].push(el('li', {}, el('button', { type: 'button', class: 'goto', 'data-select': item.id },
          `${kind} `, bidi(kind === 'drive' ? item.serial : item.name), ': ', el('span', { class: 'state' }, problem[1]))));
      }
    }
  }
  const counts = GROUPS.filter(([key]) => found[key].length).map(([key, , words]) => `${found[key].length} ${words}`);
  const worst = GROUPS.find(([key]) => found[key].length);
  section.dataset.health = worst ? worst[0] : 'ok';
  const parts = [el('h2', { id: 'summary-title' }, counts.length ? `Health: ${counts.join(', ')}` : 'Health')];
  if (!counts.length) {
    parts.push(el('p', { class: 'healthy' },
      `Everything is healthy: ${volumes} volume${volumes === 1 ? '' : 's'} and ${drives} drive${drives === 1 ? '' : 's'}.`));
  }
  for (const [key, title] of GROUPS) {
    if (!found[key].length) continue;
    parts.push(el('div', { class: `problems ${key}`, 'data-group': key }, el('h3', {}, title), el('ul', {}, ...found[key])));
  }
  replaceKeepingFocus(section, ...parts);
}
