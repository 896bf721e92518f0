// The topology as a tree (controllers > arrays > volumes and their drives, then the drives
// outside arrays), and the details of the element selected in it.

import { actionsSection, adviceSection } from './actions.js';
import { bidi, el, formatBytes, replaceKeepingFocus } from './dom.js';

// States an administrator must notice; everything else is shown plainly.
const ALARMING = new Set(['failed', 'degraded', 'missing', 'offline']);
const WORKING = new Set(['rebuilding', 'initializing', 'verifying', 'verifying and fixing', 'migrating']);

export function controllersOf(doc) {
  const root = doc && doc.result && doc.result.controllers ? doc.result : doc;
  return (root && root.controllers) || [];
}

// Every element of the topology by identifier, with its kind and the controller it is on.
export function indexTopology(doc) {
  const index = new Map();
  for (const c of controllersOf(doc)) {
    index.set(c.id, { kind: 'controller', item: c, controller: c });
    for (const a of c.arrays || []) index.set(a.id, { kind: 'array', item: a, controller: c });
    for (const v of c.volumes || []) index.set(v.id, { kind: 'volume', item: v, controller: c });
    for (const d of c.drives || []) index.set(d.id, { kind: 'drive', item: d, controller: c });
  }
  return index;
}

// The name an administrator types for an element: a drive's serial number, else its name.
export function nameOf(kind, item) {
  return kind === 'drive' ? item.serial : item.name;
}

export function stateOf(kind, item) {
  if (kind === 'volume') return item.stateName;
  if (kind === 'drive') return item.statusName;
  return 'normal';
}

// What a controller's or an array's elements roll up to, in the words of `veskctl check`.
const HEALTH = { ok: ['OK', 'plain'], 'at-risk': ['AT RISK', 'risk'], failed: ['FAILED', 'alarm'] };

function stateClass(state) {
  if (ALARMING.has(state)) return 'alarm';
  if (state === 'SMART event') return 'risk';
  if (WORKING.has(state)) return 'working';
  return 'plain';
}

// What a row says after the name: a volume's level and size, an array's sizes, a drive's size.
function sizes(kind, item) {
  if (kind === 'volume') return [item.raidLevelName, formatBytes(item.size)].filter(Boolean).join(' · ');
  if (kind === 'array') return `${formatBytes(item.totalSize)}, ${formatBytes(item.freeSize)} free`;
  if (kind === 'drive' && item.totalSize) return formatBytes(item.totalSize);
  return '';
}

function lossOf(kind, item) {
  if (kind !== 'volume' || !item.dataLost) return null;
  return item.dataLost.failed ? 'data lost' : 'forced online';
}

function row(kind, item, text) {
  const state = stateOf(kind, item);
  const health = (kind === 'controller' || kind === 'array') ? HEALTH[item.health] : null;
  const badges = [];
  const said = [];
  if (health) {
    badges.push(el('span', { class: `badge ${health[1]}` }, health[0]));
  } else if (kind !== 'controller' && kind !== 'array') {
    badges.push(el('span', { class: `badge ${stateClass(state)}` }, state));
    said.push(state);
  }
  if (kind === 'volume' && item.progress !== null && item.progress !== undefined) {
    badges.push(el('span', { class: 'badge working' }, `${item.progress}%`));
    said.push(`${item.progress}% done`);
  }
  const loss = lossOf(kind, item);
  if (loss) {
    badges.push(el('span', { class: 'badge alarm', 'data-data-lost': 'true' }, loss));
    said.push(loss);
  }
  if (kind === 'drive' && item.usageName === 'spare') {
    badges.push(el('span', { class: 'badge spare' }, 'spare'));
    said.push('spare');
  }
  const size = sizes(kind, item);
  const model = kind === 'drive' && item.model ? item.model : null;
  const label = [`${kind} ${text}`, model && `(${model})`].filter(Boolean).join(' ');
  const line = el('div', { class: 'row' },
    el('span', { class: 'twisty', 'aria-hidden': 'true' }),
    el('span', { class: 'kind' }, kind), ' ', el('span', { class: 'label' }, bidi(text)), ' ',
    size ? el('span', { class: 'size' }, size) : null, ' ', ...badges,
    model ? el('span', { class: 'model' }, bidi(model)) : null);
  return {
    line,
    attributes: {
      role: 'treeitem',
      class: stateClass(state),
      'data-element-id': item.id,
      'data-kind': kind,
      'data-state': state,
      'data-health': item.health || null,
      'data-data-lost': loss ? 'true' : null,
      'aria-label': [label, size, ...said, health && health[0]].filter(Boolean).join(', '),
    },
  };
}

// The topology as a WAI-ARIA tree view: one Tab stop (the item last moved to), the arrow keys to
// walk it, Enter or Space to select. What is collapsed stays so across live updates.
export class TreeView {
  constructor(container, onSelect) {
    this.container = container;
    this.onSelect = onSelect;
    this.collapsed = new Set();
    this.active = null;
    container.addEventListener('click', (event) => this.clicked(event));
    container.addEventListener('keydown', (event) => this.key(event));
    container.addEventListener('focusin', (event) => {
      const item = event.target.closest('[role="treeitem"]');
      if (item) this.setActive(item);
    });
  }

  render(doc, selectedId) {
    this.selectedId = selectedId;
    const top = [];
    for (const c of controllersOf(doc)) {
      const drives = c.drives || [];
      const arrays = (c.arrays || []).map((a) => {
        const volumes = (c.volumes || []).filter((v) => v.arrayId === a.id).map((v) => this.item(row('volume', v, v.name)));
        const members = drives.filter((d) => d.arrayId === a.id).map((d) => this.item(row('drive', d, d.serial)));
        return this.item(row('array', a, a.name), [...volumes, ...members]);
      });
      const loose = drives.filter((d) => !d.arrayId).map((d) => this.item(row('drive', d, d.serial)));
      if (loose.length) {
        const title = el('div', { class: 'row group-title' }, el('span', { class: 'twisty', 'aria-hidden': 'true' }), 'Drives outside arrays');
        arrays.push(this.item({ line: title, attributes: { role: 'treeitem', id: `loose-${c.id}`, 'aria-label': 'Drives outside arrays' } }, loose));
      }
      top.push(this.item(row('controller', c, c.name), arrays));
    }
    const holder = el('div', {}, ...top);
    const items = [...holder.querySelectorAll('[role="treeitem"]')];
    const current = items.find((i) => keyOf(i) === this.active && !i.parentElement.closest('[hidden]'))
      || items.find((i) => keyOf(i) === selectedId) || items[0];
    for (const i of items) i.setAttribute('tabindex', i === current ? '0' : '-1');
    replaceKeepingFocus(this.container, ...holder.children);
    // The focused element is gone: the focus goes to the tree's Tab stop.
    if (document.activeElement === this.container && current) this.container.querySelector('[tabindex="0"]').focus();
  }

  item({ line, attributes }, children = null) {
    const key = attributes['data-element-id'] || attributes.id;
    const open = !this.collapsed.has(key);
    const node = el('li', {
      ...attributes,
      'aria-selected': attributes['data-element-id'] ? String(key === this.selectedId) : null,
      'aria-expanded': children && children.length ? String(open) : null,
    }, line);
    if (children && children.length) node.append(el('ul', { role: 'group', hidden: !open }, ...children));
    return node;
  }

  setActive(item) {
    this.active = keyOf(item);
    for (const i of this.container.querySelectorAll('[role="treeitem"][tabindex="0"]')) i.setAttribute('tabindex', '-1');
    item.setAttribute('tabindex', '0');
  }

  // Moves the focus to an element's item, opening what holds it.
  focusItem(id) {
    let item = this.container.querySelector(`[data-element-id="${CSS.escape(id)}"]`);
    if (!item) return;
    for (let up = item.parentElement.closest('[role="treeitem"]'); up; up = up.parentElement.closest('[role="treeitem"]')) {
      if (up.getAttribute('aria-expanded') === 'false') this.toggle(up);
    }
    item = this.container.querySelector(`[data-element-id="${CSS.escape(id)}"]`);
    this.setActive(item);
    item.focus();
  }

  toggle(item) {
    const open = item.getAttribute('aria-expanded') === 'true';
    const key = keyOf(item);
    if (open) this.collapsed.add(key);
    else this.collapsed.delete(key);
    item.setAttribute('aria-expanded', String(!open));
    item.querySelector(':scope > [role="group"]').hidden = open;
  }

  visible() {
    return [...this.container.querySelectorAll('[role="treeitem"]')].filter((i) => !i.parentElement.closest('[hidden]'));
  }

  clicked(event) {
    const item = event.target.closest('[role="treeitem"]');
    if (!item || !event.target.closest('.row')) return;
    if (event.target.closest('.twisty') || !item.dataset.elementId) {
      if (item.hasAttribute('aria-expanded')) this.toggle(item);
      return;
    }
    this.setActive(item);
    this.onSelect(item.dataset.elementId);
  }

  key(event) {
    const item = event.target.closest('[role="treeitem"]');
    if (!item || event.altKey || event.ctrlKey || event.metaKey) return;
    const visible = this.visible();
    const at = visible.indexOf(item);
    const expanded = item.getAttribute('aria-expanded');
    let next = null;
    switch (event.key) {
      case 'ArrowDown': next = visible[at + 1]; break;
      case 'ArrowUp': next = visible[at - 1]; break;
      case 'Home': next = visible[0]; break;
      case 'End': next = visible[visible.length - 1]; break;
      case 'ArrowRight':
        if (expanded === 'false') this.toggle(item);
        else if (expanded === 'true') next = item.querySelector('[role="treeitem"]');
        break;
      case 'ArrowLeft':
        if (expanded === 'true') this.toggle(item);
        else next = item.parentElement.closest('[role="treeitem"]');
        break;
      case 'Enter':
      case ' ':
        if (item.dataset.elementId) this.onSelect(item.dataset.elementId);
        else if (expanded) this.toggle(item);
        break;
      default:
        return;
    }
    event.preventDefault();
    if (next) {
      this.setActive(next);
      next.focus();
    }
  }
}

function keyOf(item) {
  return item.dataset.elementId || item.id;
}

function list(items) {
  const ul = el('ul');
  for (const item of items) ul.append(item);
  return ul;
}

function facts(pairs) {
  const dl = el('dl', { class: 'facts' });
  for (const [term, value] of pairs) {
    if (value === undefined || value === null || value === '') continue;
    dl.append(el('dt', {}, term), el('dd', {}, String(value)));
  }
  return dl;
}

function onOff(value) {
  return value ? 'on' : 'off';
}

function volumeDetails(v, index) {
  const parts = [facts([
    ['State', v.stateName],
    ['Level', v.raidLevelName],
    ['Size', formatBytes(v.size)],
    ['Strip', v.stripSize ? formatBytes(v.stripSize) : 'n/a'],
    ['Progress', v.progress === null || v.progress === undefined ? null : `${v.progress}%`],
    ['Cache', v.cachePolicyName],
    ['Write hole', v.rwhPolicyName],
    ['Array', index.get(v.arrayId) ? index.get(v.arrayId).item.name : v.arrayId],
    ['System volume', v.systemVolume ? 'yes' : null],
    ['Initialized', v.initialized === false ? 'no' : null],
  ])];
  if (v.dataLost) {
    parts.push(el('p', { class: 'warning' }, v.dataLost.text || 'data lost'));
  }
  const order = v.memberOrder === 'identifier' ? 'Members by identifier' : 'Members in array order';
  const rows = (v.members || []).map((m, i) => el('tr', { 'data-member': m.serial || m.driveId, 'data-role': m.role },
    el('td', {}, String(i + 1)), el('td', {}, m.serial || m.driveId || '(none)'),
    el('td', { class: `role ${m.role.replace(/ /g, '-')}` }, m.role)));
  parts.push(el('table', { class: 'members' },
    el('caption', {}, order),
    el('thead', {}, el('tr', {}, el('th', { scope: 'col' }, '#'), el('th', { scope: 'col' }, 'Drive'), el('th', { scope: 'col' }, 'Role'))),
    el('tbody', {}, ...rows)));
  return parts;
}

function driveDetails(d, index) {
  const volumes = (d.volumeIds || []).map((id) => (index.get(id) ? index.get(id).item.name : id));
  return [facts([
    ['Status', d.statusName],
    ['Usage', d.usageName],
    ['Model', d.model],
    ['Serial', d.serial],
    ['Type', d.typeName],
    ['Size', formatBytes(d.totalSize)],
    ['Firmware', d.firmware],
    ['Array', d.arrayId && index.get(d.arrayId) ? index.get(d.arrayId).item.name : null],
    ['Volumes', volumes.join(', ')],
    ['Write cache', onOff(d.writeCacheEnabled)],
    ['Locate LED', onOff(d.ledActive)],
    ['System drive', d.systemDrive ? 'yes' : null],
  ])];
}

function arrayDetails(a, index) {
  const name = (id) => (index.get(id) ? nameOf(index.get(id).kind, index.get(id).item) : id);
  return [facts([
    ['Total size', formatBytes(a.totalSize)],
    ['Free size', formatBytes(a.freeSize)],
    ['Write cache', onOff(a.writeCacheEnabled)],
    ['Volumes', (a.volumeIds || []).map(name).join(', ')],
    ['Drives', (a.driveIds || []).map(name).join(', ')],
  ])];
}

function controllerDetails(c) {
  return [facts([
    ['Type', c.typeName],
    ['Management version', c.specificationVersion],
    ['Driver', c.osDriverVersion],
    ['Read patrol', onOff(c.readPatrolEnabled)],
    ['ROHI', onOff(c.rohiEnabled)],
    ['Spares gone', (c.sparesGone || []).join(', ') || null],
    ['RAID levels', (c.raidLevels || []).map((l) => l.raidLevelName).join(', ')],
  ])];
}

// `panel`: the command form the element's actions and advice are put into.
export function renderDetails(container, index, selectedId, panel) {
  const entry = selectedId ? index.get(selectedId) : null;
  if (!entry) {
    replaceKeepingFocus(container, el('p', { class: 'hint' }, selectedId ? 'The element is gone.' : 'Select an element in the topology.'));
    return;
  }
  const { kind, item } = entry;
  const builders = { volume: volumeDetails, drive: driveDetails, array: arrayDetails, controller: controllerDetails };
  replaceKeepingFocus(container,
    el('h3', {}, `${kind} `, bidi(nameOf(kind, item))),
    el('p', { class: 'ident' }, item.id),
    ...builders[kind](item, index),
    ...actionsSection(entry, panel),
    ...(kind === 'volume' ? adviceSection(entry, panel) : []));
}
