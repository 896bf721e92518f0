// What the administrator can do with the selected element: buttons that put the command into the
// command form and dry run it (or, when it needs a word only a person can give, such as a new
// name, put the cursor there), and the advice `veskctl show` gives, put into the form the same
// way. A placeholder of the advice (DRIVE) becomes a choice among the drives that fit.

import { el } from './dom.js';
import { runCommand, succeeded } from './api.js';

const LOST = new Set(['missing', 'failed', 'offline']);

// A drive that can join an array: a disk, present and well, in none, and neither a spare nor
// kept for a volume's journal.
function free(d) {
  return !d.arrayId && d.typeName !== 'optical' && d.statusName === 'normal' && d.usageName === 'pass-through';
}

// A drive that can take a missing member's place: a free one, or a spare kept for that.
function freeOrSpare(d) {
  return free(d) || (d.usageName === 'spare' && d.statusName === 'normal');
}

function places(v) {
  return (v.members || []).filter((m) => LOST.has(m.role)).length;
}

// The drives that can take the missing member's place, as the CLI's dry run of the rebuild says:
// its prediction knows what the driver refuses (another controller's drive, one too small). For
// several places at once each drive alone cannot be tried, and the free drives are offered.
async function rebuildDrives(v, controller) {
  const candidates = (controller.drives || []).filter(freeOrSpare);
  if (places(v) !== 1) return freeOrSpare;
  const answers = await Promise.all(candidates.map((d) =>
    runCommand({ argv: ['rebuild-volume', `--drives=${d.id}`, '--', v.id], dryRun: true }).catch(() => null)));
  const fit = new Set(candidates.filter((d, i) => answers[i] && succeeded(answers[i].body)).map((d) => d.id));
  return (d) => fit.has(d.id);
}

// The actions of an element: what it is called, the command line, which drives fit its
// --drives (or its placeholder), and whether it needs a word typed before it is dry run.
function actionsOf(entry) {
  const { kind, item, controller } = entry;
  const list = [];
  if (kind === 'volume') {
    // A member gone takes a drive in its place; a stale one is written back where it is.
    if (item.stateName === 'degraded') {
      list.push({ name: 'rebuild', label: 'Rebuild', words: ['rebuild-volume', item.id],
        drives: places(item) ? () => rebuildDrives(item, controller) : null, tick: places(item) });
    }
    list.push({ name: 'verify', label: 'Verify', words: ['verify-volume', item.id] },
      { name: 'rename', label: 'Rename', words: ['rename-volume', item.id], ask: '#arg-name' },
      { name: 'change-layout', label: 'Change layout', words: ['change-layout', item.id], ask: '#opt-level',
        drives: async () => free },
      { name: 'delete', label: 'Delete', words: ['delete-volume', item.id] });
  } else if (kind === 'drive') {
    if (item.usageName === 'spare') list.push({ name: 'unmark-spare', label: 'Unmark spare', words: ['unmark-spare', item.id] });
    else if (free(item)) list.push({ name: 'mark-spare', label: 'Mark spare', words: ['mark-spare', item.id] });
    if (item.activateLedSupport && item.statusName !== 'missing') {
      list.push({ name: 'locate', label: item.ledActive ? 'Stop locating' : 'Locate',
        words: ['locate', item.id, item.ledActive ? 'off' : 'on'] });
    }
  } else if (kind === 'controller') {
    list.push({ name: 'create-volume', label: 'Create volume', words: ['create-volume', '--controller', item.id],
      drives: async () => free, ask: '#opt-name' });
  }
  return list;
}

async function act(panel, action) {
  if (action.drives) panel.result.replaceChildren(el('p', {}, 'Finding the drives that fit…'));
  if (!panel.fill(action.words, action.drives ? await action.drives() : null)) return;
  if (action.tick) {
    const boxes = [...document.querySelectorAll('#opt-drives input[type="checkbox"]')].slice(0, action.tick);
    for (const box of boxes) box.checked = true;
  }
  const asked = action.ask && document.querySelector(action.ask);
  if (asked) asked.focus();
  else panel.dryRun();
}

function command(panel, name) {
  return panel.commands.find((c) => c.name === name) || null;
}

export function actionsSection(entry, panel) {
  const buttons = actionsOf(entry).filter((a) => command(panel, a.words[0])).map((a) => {
    const destroys = command(panel, a.words[0]).destructive;
    const button = el('button', { type: 'button', class: destroys ? 'action destroys' : 'action', 'data-action': a.name },
      a.label, destroys ? el('span', { class: 'warning' }, ' (destroys data)') : null);
    button.addEventListener('click', () => act(panel, a));
    return button;
  });
  if (!buttons.length) return [];
  return [el('h4', {}, 'Actions'), el('div', { class: 'actions', role: 'group', 'aria-label': 'Actions' }, ...buttons)];
}

// The words of a command line as a shell would split it (quotes only: advice has no variables).
export function splitWords(line) {
  const words = [];
  const pattern = /'([^']*)'|"((?:[^"\\]|\\.)*)"|(\S+)/g;
  let match;
  while ((match = pattern.exec(line)) !== null) {
    words.push(match[1] ?? (match[2] !== undefined ? match[2].replace(/\\(.)/g, '$1') : match[3]));
  }
  return words;
}

// "What to do", as `veskctl show` advises it for a volume. The volume's name in the advice is
// the selected volume; a placeholder is left for the administrator to choose among the drives
// that fit.
export function adviceSection(entry, panel) {
  const { item: v, controller } = entry;
  if (!v.advice || !v.advice.length) return [];
  return [el('h4', {}, 'What to do'), el('ul', {}, ...v.advice.map((a) => {
    const prepare = el('button', { type: 'button', class: 'prepare' }, 'Prepare');
    prepare.setAttribute('aria-label', `Put veskctl ${a.command} into the command form`);
    prepare.addEventListener('click', async () => {
      const words = splitWords(a.command);
      const placeholder = words.some((w) => w.split(',').includes('DRIVE'));
      const offered = !placeholder ? null : words[0] === 'rebuild-volume' ? await rebuildDrives(v, controller) : free;
      const at = words.findIndex((w, i) => i > 0 && w === v.name);
      if (at > 0) words[at] = v.id;
      panel.fill(words.map((w) => w.split(',').filter((p) => p !== 'DRIVE').join(',')), offered);
      const choice = document.querySelector(placeholder ? '#opt-drives input, #arg-drive' : '#dry-run');
      if (choice) choice.focus();
    });
    return el('li', { class: 'advice' }, el('code', {}, `veskctl ${a.command}`), ' ', prepare, ' ', el('span', {}, a.why));
  }))];
}
