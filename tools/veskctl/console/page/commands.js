// Forms for the CLI's commands, made from the server's command table. A command always goes as a
// dry run first; the page shows the prediction and its losses, and only then offers to carry it
// out. When the dry run says the command asks first, "Carry out" stays disabled until the
// administrator has typed the name of the element it acts on (the command itself for one that
// names none, such as `sim reset`), and the run is sent with the dry run's `confirm`, which the
// server refuses (409) if the element changed in between.
//
// Elements are chosen from the topology and sent by identifier, and the words a person types go
// where nothing can take them for an option: option values as --option=VALUE, positionals after
// `--`. A volume named `--force` or a drive whose serial number is `--help` is acted on like any.

import { bidi, el, formatBytes } from './dom.js';
import { runCommand, succeeded } from './api.js';
import { nameOf } from './tree.js';

// Commands that follow the machine or only look at it have no place in a form.
const HIDDEN = new Set(['monitor', 'events', 'serve', 'completion', 'wait', 'show', 'metrics', 'jobs', 'check']);
const ELEMENT_KINDS = ['volume', 'drive', 'array', 'controller'];
// Option values of the machine's own elements and levels, chosen rather than typed.
const DRIVE_OPTIONS = new Set(['--journal']);
const BYTE_FIELDS = new Set(['size', 'totalSize', 'freeSize', 'stripSize', 'logicalBlockSize',
  'physicalBlockSize', 'defaultStripSize']);

export class CommandPanel {
  constructor({ form, select, description, fields, result, getIndex, getSelection }) {
    Object.assign(this, { form, select, description, fields, result, getIndex, getSelection });
    this.commands = [];
    this.pending = null;
    // Which drives an action offers (a test of a drive), instead of every drive of the controller.
    this.offered = null;
    select.addEventListener('change', () => {
      this.offered = null;
      this.showForm();
    });
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      this.dryRun();
    });
    form.addEventListener('input', (event) => {
      if (event.target !== select) this.forget();
    });
    form.addEventListener('change', (event) => {
      if (event.target.id === 'opt-controller') this.refreshChoices();
    });
  }

  load(table) {
    this.commands = (table.commands || []).filter((c) => !HIDDEN.has(c.path ? c.path[0] : c.name));
    // The simulated machine's own commands (drills, the clock, starting over) come last.
    const option = (c) => el('option', { value: String(this.commands.indexOf(c)) },
      c.name + (c.destructive ? ' (destroys data)' : ''));
    const drills = this.commands.filter((c) => (c.path || [c.name])[0] === 'sim');
    const operations = this.commands.filter((c) => !drills.includes(c));
    this.select.replaceChildren(el('optgroup', { label: 'Operations' }, ...operations.map(option)),
      ...(drills.length ? [el('optgroup', { label: 'Simulated machine' }, ...drills.map(option))] : []));
    this.select.selectedIndex = 0;
    this.showForm();
  }

  current() {
    return this.commands[Number(this.select.value)] || null;
  }

  showForm() {
    this.forget();
    const command = this.current();
    this.fields.replaceChildren();
    if (!command) return;
    this.description.replaceChildren(command.description || '',
      ...(command.destructive ? [el('strong', { class: 'warning' }, ' It destroys data: it asks first.')] : []));
    for (const p of command.positionals || []) this.fields.append(this.field(p, true));
    for (const o of command.options || []) this.fields.append(this.field(o, false));
    this.prefill();
  }

  // The controller the choices are of: the one chosen for --controller, else the selected
  // element's.
  controller() {
    const chosen = this.fields.querySelector('#opt-controller');
    const entry = chosen && chosen.value ? this.getIndex().get(chosen.value) : this.getSelection();
    return entry ? entry.controller : null;
  }

  elements(kind) {
    return [...this.getIndex().values()].filter((e) => e.kind === kind);
  }

  field(argument, positional) {
    const bare = argument.name.replace(/^-+/, '');
    const id = `${positional ? 'arg' : 'opt'}-${bare}`;
    const help = argument.description ? el('span', { class: 'hint', id: `${id}-help` }, argument.description) : null;
    const kind = positional && ELEMENT_KINDS.includes(bare.toLowerCase()) ? bare.toLowerCase()
      : argument.name === '--controller' ? 'controller'
        : DRIVE_OPTIONS.has(argument.name) ? 'drive' : null;
    let input;
    if (argument.name === '--drives') {
      // A group of boxes: the legend names it, each drive's label says what it is.
      const group = el('fieldset', { id, class: 'drives', 'data-option': argument.name, 'aria-describedby': help ? help.id : null },
        el('legend', {}, argument.name + (argument.required ? ' (required)' : '')));
      return el('div', { class: 'field' }, group, help);
    }
    if (kind || argument.name === '--level') {
      input = el('select', { id, 'data-choice': kind || 'level' });
    } else if (!positional && argument.flag) {
      input = el('input', { type: 'checkbox', id });
    } else {
      input = el('input', { type: 'text', id, autocomplete: 'off', spellcheck: 'false' });
    }
    if (argument.required) input.required = true;
    if (help) input.setAttribute('aria-describedby', help.id);
    if (positional) {
      input.dataset.positional = 'true';
      input.dataset.name = bare.toLowerCase();
    } else {
      input.dataset.option = argument.name;
      input.dataset.required = argument.required ? 'true' : '';
    }
    const label = el('label', { for: id }, argument.name + (argument.required ? ' (required)' : ''));
    const flag = !positional && argument.flag;
    return el('div', { class: flag ? 'field flag' : 'field' }, ...(flag ? [input, label] : [label, input]), help);
  }

  // Fills the choices from the topology: the elements, the controller's levels and drives.
  refreshChoices() {
    const controller = this.controller();
    for (const select of this.fields.querySelectorAll('select[data-choice]')) {
      const kept = select.value;
      const choice = select.dataset.choice;
      const optional = select.dataset.positional ? false : select.dataset.required !== 'true';
      let options;
      if (choice === 'level') {
        const controllers = controller ? [controller] : this.elements('controller').map((e) => e.item);
        const names = [...new Set(controllers.flatMap((c) => (c.raidLevels || []).map((l) => l.raidLevelName)))];
        options = names.map((n) => el('option', { value: n }, n));
      } else {
        // A drive for an option, or one an action offers, is of the controller concerned.
        const sameController = choice === 'drive' && controller && (select.dataset.option || this.offered);
        options = this.elements(choice)
          .filter((e) => !sameController || e.controller.id === controller.id)
          .filter((e) => choice !== 'drive' || !this.offered || this.offered(e.item))
          .map((e) => el('option', { value: e.item.id }, elementText(e)));
      }
      const none = optional ? 'not given' : `choose ${choice === 'level' ? 'a level' : `a ${choice}`}`;
      select.replaceChildren(el('option', { value: '' }, `(${none})`), ...options);
      select.value = [...select.options].some((o) => o.value === kept) ? kept : '';
    }
    const group = this.fields.querySelector('fieldset[data-option="--drives"]');
    if (group) {
      const ticked = new Set([...group.querySelectorAll('input:checked')].map((i) => i.value));
      const drives = this.elements('drive').map((e) => e.item)
        .filter((d) => (!controller || d.controllerId === controller.id) && (!this.offered || this.offered(d)));
      group.replaceChildren(group.querySelector('legend'), ...drives.map((d) => {
        const id = `opt-drives-${d.id}`;
        return el('div', { class: 'choice' },
          el('input', { type: 'checkbox', id, value: d.id, checked: ticked.has(d.id) }),
          el('label', { for: id }, driveText(d)));
      }));
      if (!drives.length) group.append(el('p', { class: 'hint' }, 'No drive fits.'));
    }
  }

  // Chooses the selected element where the form asks for one of its kind. The drives an action
  // offered were for the element it acted on: another element gets its controller's.
  prefill() {
    this.refreshChoices();
    const selected = this.getSelection();
    if (!selected) return;
    let moved = false;
    for (const select of this.fields.querySelectorAll('select[data-positional]')) {
      if (select.dataset.name === selected.kind && (!select.value || select.dataset.filled)
          && select.value !== selected.item.id) {
        moved = moved || Boolean(select.value);
        select.value = selected.item.id;
        select.dataset.filled = 'true';
      }
    }
    if (moved && this.offered) {
      this.offered = null;
      this.refreshChoices();
    }
  }

  // Puts a command line (the words after `veskctl`, elements by name, identifier or placeholder)
  // into the form; `offered` tells the drives to offer (null: the controller's).
  fill(words, offered = null) {
    const index = this.commands.findIndex((c) => {
      const path = c.path || [c.name];
      return path.every((part, i) => words[i] === part);
    });
    if (index < 0) return false;
    this.select.value = String(index);
    this.offered = offered;
    this.showForm();
    const command = this.commands[index];
    const rest = words.slice((command.path || [command.name]).length);
    const positionals = [...this.fields.querySelectorAll('[data-positional]')];
    for (let i = 0; i < rest.length; i += 1) {
      const option = this.fields.querySelector(`[data-option="${CSS.escape(rest[i])}"]`);
      if (option && option.type === 'checkbox') option.checked = true;
      else if (option) this.put(option, rest[(i += 1)] || '');
      else if (positionals.length) this.put(positionals.shift(), rest[i]);
    }
    // The controller may have been given: its levels and drives are the ones to choose among.
    this.refreshChoices();
    return true;
  }

  // A word of a command line into its field: an element's name becomes its identifier, and a
  // placeholder (DRIVE) stays a choice for the administrator.
  put(input, word) {
    if (input.tagName === 'FIELDSET') {
      for (const part of word.split(',')) {
        const id = this.resolve('drive', part);
        const box = id && input.querySelector(`input[value="${CSS.escape(id)}"]`);
        if (box) box.checked = true;
      }
    } else if (input.tagName === 'SELECT') {
      const kind = input.dataset.choice;
      const value = kind === 'level' ? word : this.resolve(kind, word);
      if ([...input.options].some((o) => o.value === value)) input.value = value;
    } else {
      input.value = word;
    }
  }

  resolve(kind, word) {
    const controller = this.controller();
    const fits = this.elements(kind).filter((e) => e.item.id === word || nameOf(e.kind, e.item) === word);
    const ours = fits.filter((e) => !controller || e.controller.id === controller.id);
    const found = ours.length ? ours : fits;
    return found.length === 1 ? found[0].item.id : null;
  }

  // The command line of the form.
  argv() {
    const command = this.current();
    const argv = [...(command.path || [command.name])];
    for (const input of this.fields.querySelectorAll('[data-option]')) {
      if (input.tagName === 'FIELDSET') {
        const ids = [...input.querySelectorAll('input:checked')].map((i) => i.value);
        if (ids.length) argv.push(`${input.dataset.option}=${ids.join(',')}`);
      } else if (input.type === 'checkbox') {
        if (input.checked) argv.push(input.dataset.option);
      } else if (input.value.trim()) {
        argv.push(`${input.dataset.option}=${input.value.trim()}`);
      }
    }
    if (this.form.querySelector('#opt-system').checked) argv.push('--system');
    // Every positional, an empty one too, so that none takes another's place: the command line
    // says what is missing.
    const positionals = [...this.fields.querySelectorAll('[data-positional]')].map((i) => i.value.trim());
    if (positionals.length) argv.push('--', ...positionals);
    return argv;
  }

  // The command line as a person reads it: elements by name.
  shown(argv) {
    const index = this.getIndex();
    const name = (id) => {
      const entry = index.get(id);
      return entry ? nameOf(entry.kind, entry.item) : id;
    };
    return argv.map((word) => {
      const value = /^(--[^=]+=)(.*)$/.exec(word);
      return value ? value[1] + value[2].split(',').map(name).join(',') : name(word);
    }).join(' ');
  }

  forget() {
    this.pending = null;
    this.result.replaceChildren();
  }

  async dryRun() {
    const argv = this.argv();
    const shown = this.shown(argv);
    this.result.replaceChildren(el('p', {}, 'Dry run of ', bidi(shown), '…'));
    let answer;
    try {
      answer = await runCommand({ argv, dryRun: true });
    } catch (error) {
      this.result.replaceChildren(el('p', { class: 'failure', 'data-outcome': 'error' }, `The dry run failed: ${error.message}`));
      return;
    }
    const body = answer.body || {};
    const parts = [el('h3', {}, 'Dry run: ', bidi(shown))];
    if (!isAnswer(body, true)) {
      parts.push(failure(answer, 'The command would fail'));
      this.result.replaceChildren(...parts);
      return;
    }
    if (body.prediction) parts.push(...prediction(body.prediction));
    this.pending = { argv, shown, confirm: body.confirm || null };
    if (body.needsSystem) parts.push(el('p', { class: 'warning' }, 'It endangers the system (boot) volume: tick --system to go ahead.'));
    const carry = el('button', { type: 'button', id: 'carry-out', class: 'carry-out' }, 'Carry out');
    carry.addEventListener('click', () => this.carryOut(carry));
    if (body.asksFirst) {
      const expected = this.expectedName(body.request);
      const input = el('input', { id: 'confirm-name', type: 'text', autocomplete: 'off', spellcheck: 'false',
        'data-expected': expected });
      carry.disabled = true;
      input.addEventListener('input', () => {
        carry.disabled = input.value !== expected;
      });
      parts.push(el('div', { class: 'confirm' },
        el('label', { for: 'confirm-name' }, 'This destroys data. Type ', bidi(expected), ' to carry it out:'), input));
    }
    parts.push(carry);
    this.result.replaceChildren(...parts);
  }

  // The name of the element the request acts on, as the tree shows it when the dry run was made.
  // A command that names no element (`sim reset` acts on the whole machine) is confirmed by its
  // own name.
  expectedName(request) {
    const index = this.getIndex();
    for (const kind of ELEMENT_KINDS) {
      const id = request && request[`${kind}Id`];
      const entry = id && index.get(id);
      if (entry) return nameOf(entry.kind, entry.item);
    }
    const command = this.current();
    return (command.path || [command.name]).join(' ');
  }

  async carryOut(button) {
    if (!this.pending) return;
    const { argv, shown, confirm } = this.pending;
    button.disabled = true;
    const payload = { argv, dryRun: false };
    if (confirm) payload.confirm = confirm;
    let answer;
    try {
      answer = await runCommand(payload);
    } catch (error) {
      this.result.append(el('p', { class: 'failure', 'data-outcome': 'error' }, `Not carried out: ${error.message}`));
      return;
    }
    this.pending = null;
    const status = (answer.body && answer.body.status) || {};
    if (answer.httpStatus === 409) {
      // The message says what happened and what to do: it is not said twice.
      this.result.append(el('p', { class: 'failure', 'data-outcome': 'conflict', role: 'alert' },
        `Refused (409): ${status.message || 'the element changed since the dry run.'}`));
    } else if (isAnswer(answer.body, false)) {
      this.result.append(el('p', { class: 'success', 'data-outcome': 'done' }, 'Done: ', bidi(shown), '.'));
    } else {
      this.result.append(failure(answer, 'Failed'));
    }
  }
}

// Whether an answer is the command's own, and says it succeeded: a dry run's prediction, or a
// run's result. Help or version text, or nothing, is no command's answer.
function isAnswer(body, dryRun) {
  if (!succeeded(body) || 'help' in body || 'version' in body) return false;
  return dryRun ? body.dryRun === true && 'prediction' in body : 'result' in body || 'schemaVersion' in body;
}

function elementText(entry) {
  const { kind, item } = entry;
  const state = kind === 'volume' ? item.stateName : kind === 'drive' ? item.statusName : null;
  const name = nameOf(kind, item) || item.id;
  return state ? `${name} (${state})` : name;
}

function driveText(d) {
  return `${d.serial || d.id} (${[formatBytes(d.totalSize), d.usageName, d.statusName].filter(Boolean).join(', ')})`;
}

function shownValue(key, value) {
  if (value === undefined || value === null) return '—';
  return BYTE_FIELDS.has(key) && typeof value === 'number' ? formatBytes(value) : value;
}

// The fields of a record as `key: value`, a number and its word (`state`, `stateName`) once.
function fields(record) {
  return Object.keys(record).filter((k) => !k.endsWith('Name') || !(k.slice(0, -4) in record))
    .map((k) => [k, `${k}Name` in record ? `${k}Name` : k]);
}

function changeText(before, after) {
  if (!after) return 'gone';
  if (!before) return `new (${fields(after).map(([k, word]) => `${k}: ${shownValue(k, after[word])}`).join(', ')})`;
  return fields(after).map(([k, word]) => `${k}: ${shownValue(k, before[word])} → ${shownValue(k, after[word])}`).join(', ');
}

function prediction(p) {
  const parts = [];
  const rows = [];
  for (const kind of ['controllers', 'arrays', 'volumes', 'drives']) {
    for (const change of p[kind] || []) {
      rows.push(el('li', {}, bidi(change.label), ': ', bidi(changeText(change.before, change.after))));
    }
  }
  parts.push(el('h4', {}, 'Prediction'),
    rows.length ? el('ul', { class: 'prediction' }, ...rows) : el('p', { class: 'hint' }, 'Nothing changes.'));
  if (p.losses && p.losses.length) {
    parts.push(el('h4', {}, 'Losses'),
      el('ul', { class: 'losses', id: 'losses' }, ...p.losses.map((l) => el('li', {}, l))));
  }
  if (p.stopsWork && p.stopsWork.length) {
    parts.push(el('h4', {}, 'Stops before its end'), el('ul', { class: 'stops' }, ...p.stopsWork.map((w) =>
      el('li', {}, `the ${w.kind} of volume "`, bidi(w.volumeName), `" at ${w.percent}% (${w.why})`))));
  }
  if (p.notKnown && p.notKnown.length) {
    parts.push(el('h4', {}, 'Not known'), el('ul', {}, ...p.notKnown.map((l) => el('li', {}, String(l)))));
  }
  return parts;
}

// A failure as the command line's status block says it: the message, the driver's status by
// name and meaning, and veskctl's explanation of what stood in the way.
function failure(answer, lead) {
  const status = (answer.body && answer.body.status) || {};
  const code = answer.exitCode === null ? `HTTP ${answer.httpStatus}` : `exit code ${answer.exitCode}`;
  const lines = [`${lead} (${code}): ${status.message || 'veskctl answered with no outcome of the command'}`];
  if (status.statusName) lines.push(`Driver status ${status.status}: ${status.statusName} — ${status.statusText}`);
  if (status.explanation) lines.push(`Why: ${status.explanation}`);
  return el('div', { class: 'failure', 'data-outcome': 'failed', role: 'alert' },
    ...lines.map((line) => el('p', {}, line)));
}
