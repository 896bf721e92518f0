// The topology as a tree of buttons (controllers > arrays > volumes and their drives, then the
// drives outside arrays), and the details of the element selected in it.

import { actionsSection, adviceSection } from './actions.js';
import { el, formatBytes } from './dom.js';

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
const HEALTH = { ok: ['OK', 'plain'], 'at-risk': ['AT RISK', 'working'], failed: ['FAILED', 'alarm'] };

function stateClass(state) {
  if (ALARMING.has(state)) return 'alarm';
  if (WORKING.has(state)) return 'working';
  return 'plain';
}

function row(kind, item, text, selectedId, onSelect) {
  const state = stateOf(kind, item);
  const badges = [];
  const health = (kind === 'controller' || kind === 'array') ? HEALTH[item.health] : null;
  if (health) {
    badges.push(el('span', { class: `badge ${health[1]}` }, health[0]));
  } else if (kind !== 'controller' && kind !== 'array') {
    badges.push(el('span', { class: `badge ${stateClass(state)}` }, state));
  }
  if (kind === 'volume' && item.progress !== null && item.progress !== undefined) {
    badges.push(el('span', { class: 'badge working' }, `${item.progress}%`));
  }
  const lossLabel = kind === 'volume' && item.dataLost
    ? (item.dataLost.failed ? 'data lost' : 'forced online') : null;
  if (lossLabel) {
    badges.push(el('span', { class: 'badge alarm', 'data-data-lost': 'true' }, lossLabel));
  }
  const button = el('button', {
    type: 'button',
    class: 'row-button',
    'data-select': item.id,
    'aria-current': item.id === selectedId ? 'true' : null,
    'aria-label': `${kind} ${text}${kind === 'drive' && item.model ? ` (${item.model})` : ''}, ${health ? health[0] : state}${lossLabel ? `, ${lossLabel}` : ''}`,
  }, el('span', { class: 'kind' }, kind), ' ', el('span', { class: 'label' }, text), ' ', ...badges,
  kind === 'drive' && item.model ? el('span', { class: 'model' }, item.model) : null);
  button.addEventListener('click', () => onSelect(item.id));
  return el('div', {
    class: `row ${stateClass(state)}`,
    'data-element-id': item.id,
    'data-kind': kind,
    'data-state': state,
    'data-health': item.health || null,
    'data-data-lost': lossLabel ? 'true' : null,
  }, button);
}

function driveText(d) {
  return d.serial;
}

function list(items) {
  const ul = el('ul');
  for (const item of items) ul.append(item);
  return ul;
}

export function renderTree(container, doc, selectedId, onSelect) {
  const hadFocus = container.contains(document.activeElement)
    ? document.activeElement.getAttribute('data-select') : null;
  const top = [];
  for (const c of controllersOf(doc)) {
    const drives = c.drives || [];
    const arrays = (c.arrays || []).map((a) => {
      const volumes = (c.volumes || []).filter((v) => v.arrayId === a.id)
        .map((v) => el('li', {}, row('volume', v, v.name, selectedId, onSelect)));
      const members = drives.filter((d) => d.arrayId === a.id)
        .map((d) => el('li', {}, row('drive', d, driveText(d), selectedId, onSelect)));
      return el('li', {}, row('array', a, a.name, selectedId, onSelect), list([...volumes, ...members]));
    });
    const loose = drives.filter((d) => !d.arrayId)
      .map((d) => el('li', {}, row('drive', d, driveText(d), selectedId, onSelect)));
    const children = [...arrays];
    if (loose.length) {
      children.push(el('li', { class: 'group' }, el('span', { class: 'group-title' }, 'Drives outside arrays'), list(loose)));
    }
    top.push(el('li', {}, row('controller', c, c.name, selectedId, onSelect), list(children)));
  }
  container.replaceChildren(list(top));
  if (hadFocus) {
    const again = container.querySelector(`[data-select="${CSS.escape(hadFocus)}"]`);
    if (again) again.focus();
  }
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
    container.replaceChildren(el('p', { class: 'hint' }, selectedId ? 'The element is gone.' : 'Select an element in the topology.'));
    return;
  }
  const { kind, item } = entry;
  const builders = { volume: volumeDetails, drive: driveDetails, array: arrayDetails, controller: controllerDetails };
  container.replaceChildren(
    el('h3', {}, `${kind} ${nameOf(kind, item)}`),
    el('p', { class: 'ident' }, item.id),
    ...builders[kind](item, index),
    ...actionsSection(entry, panel),
    ...(kind === 'volume' ? adviceSection(entry, panel) : []));
}
