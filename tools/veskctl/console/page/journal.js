// The journal view: the records the page loaded and those that came live since, newest first,
// filtered by kind and by element (name, serial number or the beginning of an identifier).

import { el } from './dom.js';

const KEEP = 1000;

export class JournalView {
  constructor(list, kindSelect, elementInput) {
    this.list = list;
    this.kindSelect = kindSelect;
    this.elementInput = elementInput;
    this.records = [];
    this.kinds = new Set();
    kindSelect.addEventListener('change', () => this.render());
    elementInput.addEventListener('input', () => this.render());
  }

  // Replaces what is held (a resync: what was missed can no longer be listed).
  reset(records) {
    this.records = [];
    this.add(records);
  }

  add(records) {
    const last = this.records.length ? this.records[this.records.length - 1].id : 0;
    const fresh = records.filter((r) => r.id > last);
    if (!fresh.length) return;
    this.records.push(...fresh);
    if (this.records.length > KEEP) this.records.splice(0, this.records.length - KEEP);
    for (const r of fresh) this.noteKind(r.kind);
    this.render();
  }

  noteKind(kind) {
    if (this.kinds.has(kind)) return;
    this.kinds.add(kind);
    const options = [...this.kinds].sort().map((k) => el('option', { value: k }, k));
    const chosen = this.kindSelect.value;
    this.kindSelect.replaceChildren(el('option', { value: '' }, 'all kinds'), ...options);
    this.kindSelect.value = chosen;
  }

  matches(r) {
    const kind = this.kindSelect.value;
    if (kind && r.kind !== kind) return false;
    const wanted = this.elementInput.value.trim().toLowerCase();
    if (!wanted) return true;
    const e = r.element;
    if (e && ((e.name || '').toLowerCase() === wanted || (e.id || '').startsWith(wanted))) return true;
    const argv = r.command && r.command.argv;
    return Array.isArray(argv) && argv.some((a) => String(a).toLowerCase() === wanted);
  }

  render() {
    const shown = this.records.filter((r) => this.matches(r)).reverse();
    this.list.replaceChildren(...shown.slice(0, 300).map(recordItem));
  }
}

export function describe(r) {
  if (r.detail) return r.detail;
  if (r.property) return `${r.property}: ${r.oldName ?? 'none'} → ${r.newName ?? 'none'}`;
  return '';
}

function recordItem(r) {
  const e = r.element;
  const what = e ? `${e.kind} ${e.name || e.id}` : '';
  return el('li', { class: `record kind-${r.kind}`, 'data-record-id': r.id, 'data-kind': r.kind },
    el('span', { class: 'rid' }, `#${r.id}`), ' ',
    el('time', { datetime: r.time }, (r.time || '').replace('T', ' ').replace('Z', '')), ' ',
    el('span', { class: 'rkind' }, r.kind), ' ',
    el('span', { class: 'relement' }, what), ' ',
    el('span', { class: 'rdetail' }, describe(r)));
}
