// The journal view: the records the page loaded and those that came live since, newest first,
// as people read them. A change is one line: the `changed` record and the records derived from
// it (a volume's state that became degraded is also `volume-degraded`) share it. Properties that
// mean nothing to an administrator (job progress, slot numbers, raw identifiers) are left out
// here; `veskctl events --json` keeps them. Filtered by kind, element and severity; the lines
// shown can be saved as JSON Lines.

import { bidi, el } from './dom.js';

const KEEP = 1000;
const SHOWN_LINES = 300;

// The kinds the monitor derives from a `changed`, `added`, `removed` or `present` record, right
// after it and with the same element, time and property.
const DERIVED = new Set(['volume-degraded', 'volume-failed', 'volume-normal', 'drive-failed', 'drive-missing',
  'drive-smart', 'spare-taken', 'job-started', 'job-finished', 'job-failed', 'controller-arrived', 'controller-removed']);

// The properties a line shows, in the administrator's words; other changes are not listed.
const PROPERTIES = {
  State: 'state', Status: 'status', Usage: 'usage', Name: 'name', SerialNumber: 'serial number',
  RaidLevel: 'RAID level', Size: 'size', TotalSize: 'size', FreeSize: 'free space', StripSize: 'strip size',
  CachePolicy: 'cache', RwhPolicy: 'write hole', WriteCacheEnabled: 'write cache', LedActive: 'locate LED',
  SystemVolume: 'system volume', SystemDrive: 'system drive', Initialized: 'initialized',
  VerifyErrors: 'errors found', VerifyBadBlocks: 'bad blocks found', ReadPatrolEnabled: 'read patrol',
  RohiEnabled: 'ROHI', FirmwareRevision: 'firmware', ModelNumber: 'model', ServiceLabel: 'service label',
  OsDriverVersion: 'driver', ContainsPartition: 'partitions',
};
const NAMES = new Set(['Name', 'SerialNumber', 'ModelNumber', 'ServiceLabel']);

// How grave each kind is; those not listed are information. A reminder is as grave as its
// fault, a command or a job as its outcome.
const SEVERITY = {
  'volume-failed': 'critical', 'drive-failed': 'critical', 'job-failed': 'critical', 'volume-data-lost': 'critical',
  'delivery-failed': 'critical', 'volume-degraded': 'warning', 'drive-missing': 'warning', 'drive-smart': 'warning',
  'spare-taken': 'warning', 'controller-removed': 'warning', 'refresh-failed': 'warning', 'program-failed': 'warning',
};
const RANK = { info: 0, warning: 1, critical: 2 };

export function severityOf(r) {
  if (r.kind === 'reminder') return SEVERITY[r.fault && r.fault.kind] || 'warning';
  if (r.kind === 'command') return ['ok', 'refused', 'cancelled'].includes(r.command && r.command.outcome) ? 'info' : 'warning';
  if (r.kind === 'job') return r.job && r.job.outcome === 'failed' ? 'warning' : 'info';
  return SEVERITY[r.kind] || 'info';
}

function sameChange(a, b) {
  return a.element && b.element && a.element.id === b.element.id && a.time === b.time && a.property === b.property;
}

// The lines of the records, oldest first: each a list of records, the first the base one.
export function linesOf(records) {
  const lines = [];
  for (const r of records) {
    const line = lines[lines.length - 1];
    const previous = line && line[line.length - 1];
    if (line && DERIVED.has(r.kind) && previous.id === r.id - 1 && sameChange(line[0], r)) {
      line.push(r);
      continue;
    }
    if (r.kind === 'changed' && !(r.property in PROPERTIES)) continue;
    lines.push([r]);
  }
  return lines;
}

function valueOf(property, name, value) {
  const text = name ?? (value === null || value === undefined ? 'none' : String(value));
  return NAMES.has(property) ? bidi(text) : text;
}

// What a line says after its element: the kind of work or the failure, then what changed.
function describe(line) {
  const [base, ...derived] = line;
  const parts = [];
  for (const r of derived.length ? derived : [base]) {
    if (r.detail && !parts.includes(r.detail)) parts.push(r.detail);
  }
  const words = PROPERTIES[base.property];
  if (words) {
    const to = valueOf(base.property, base.newName, base.new);
    const change = base.old === null || base.old === undefined
      ? [`${words}: `, to] : [`${words}: `, valueOf(base.property, base.oldName, base.old), ' → ', to];
    if (parts.length) parts.push(' · ');
    parts.push(...change);
  }
  return parts;
}

function kindsOf(line) {
  const [base, ...derived] = line;
  const kinds = derived.map((r) => r.kind);
  return base.kind === 'changed' && kinds.length ? kinds : [base.kind, ...kinds];
}

function severityOfLine(line) {
  return line.map(severityOf).reduce((worst, s) => (RANK[s] > RANK[worst] ? s : worst), 'info');
}

export class JournalView {
  constructor({ list, kindSelect, elementInput, severitySelect, exportLink }) {
    Object.assign(this, { list, kindSelect, elementInput, severitySelect, exportLink });
    this.records = [];
    this.kinds = new Set();
    this.exportUrl = null;
    for (const control of [kindSelect, severitySelect]) control.addEventListener('change', () => this.render());
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

  matches(line) {
    const kind = this.kindSelect.value;
    if (kind && !line.some((r) => r.kind === kind)) return false;
    const severity = this.severitySelect.value;
    if (severity && RANK[severityOfLine(line)] < RANK[severity]) return false;
    const wanted = this.elementInput.value.trim().toLowerCase();
    if (!wanted) return true;
    const [r] = line;
    const e = r.element;
    if (e && ((e.name || '').toLowerCase() === wanted || (e.id || '').startsWith(wanted))) return true;
    const argv = r.command && r.command.argv;
    return Array.isArray(argv) && argv.some((a) => String(a).toLowerCase() === wanted);
  }

  render() {
    const shown = linesOf(this.records).filter((line) => this.matches(line));
    this.list.replaceChildren(...shown.slice(-SHOWN_LINES).reverse().map(lineItem));
    // The export holds every line the filters keep, not only those listed, oldest first.
    if (this.exportUrl) URL.revokeObjectURL(this.exportUrl);
    const text = shown.flat().map((r) => `${JSON.stringify(r)}\n`).join('');
    this.exportUrl = URL.createObjectURL(new Blob([text], { type: 'application/jsonl' }));
    this.exportLink.href = this.exportUrl;
  }
}

function lineItem(line) {
  const [r] = line;
  const e = r.element;
  const kinds = kindsOf(line);
  const severity = severityOfLine(line);
  return el('li', {
    class: `record ${severity}`,
    'data-record-id': r.id,
    'data-records': line.map((x) => x.id).join(' '),
    'data-kind': line.length > 1 ? line[1].kind : r.kind,
    'data-severity': severity,
  },
  el('span', { class: 'rid' }, `#${line[line.length - 1].id}`), ' ',
  el('time', { datetime: r.time }, (r.time || '').replace('T', ' ').replace('Z', '')), ' ',
  severity === 'info' ? null : el('span', { class: 'rseverity' }, severity), ' ',
  el('span', { class: 'rkind' }, kinds.join(', ')), ' ',
  el('span', { class: 'relement' }, e ? `${e.kind} ` : '', e ? bidi(e.name || e.id) : ''), ' ',
  el('span', { class: 'rdetail' }, ...describe(line)));
}
