// Forms for the CLI's commands, made from the server's command table. A command always goes as a
// dry run first; the page shows the prediction and its losses, and only then offers to carry it
// out. When the dry run says the command asks first, "Carry out" stays disabled until the
// administrator has typed the name of the element it acts on (the command itself for one that
// names none, such as `sim reset`), and the run is sent with the dry run's `confirm`, which the
// server refuses (409) if the element changed in between.

import { el } from './dom.js';
import { messageOf, runCommand, succeeded } from './api.js';
import { nameOf } from './tree.js';

// Commands that follow the machine or only look at it have no place in a form.
const HIDDEN = new Set(['monitor', 'events', 'serve', 'completion', 'wait', 'show', 'metrics', 'jobs']);
const ELEMENT_KINDS = ['volume', 'drive', 'array', 'controller'];

export class CommandPanel {
  constructor({ form, select, description, fields, result, getIndex, getSelection }) {
    Object.assign(this, { form, select, description, fields, result, getIndex, getSelection });
    this.commands = [];
    this.pending = null;
    select.addEventListener('change', () => this.showForm());
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      this.dryRun();
    });
    form.addEventListener('input', (event) => {
      if (event.target !== select) this.forget();
    });
  }

  load(table) {
    this.commands = (table.commands || []).filter((c) => !HIDDEN.has(c.path ? c.path[0] : c.name));
    // The simulated machine's own commands (drills, the clock, starting over) come last.
    const option = (c) => el('option', { value: String(this.commands.indexOf(c)) },
      c.name + (c.destructive ? ' (destructive)' : ''));
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
    this.description.textContent = command.description || '';
    for (const p of command.positionals || []) this.fields.append(field(p, true));
    for (const o of command.options || []) this.fields.append(field(o, false));
    this.prefill();
  }

  // Fills the argument that names an element of the kind selected in the tree.
  prefill() {
    const selected = this.getSelection();
    if (!selected) return;
    for (const input of this.fields.querySelectorAll('input[data-positional]')) {
      const wanted = input.dataset.name;
      if ((wanted === selected.kind || wanted === 'element') && (!input.value || input.dataset.filled)) {
        input.value = nameOf(selected.kind, selected.item);
        input.dataset.filled = 'true';
      }
    }
  }

  // Puts a command line (the words after `veskctl`) into the form, to be checked and dry run.
  fill(words) {
    const index = this.commands.findIndex((c) => {
      const path = c.path || [c.name];
      return path.every((part, i) => words[i] === part);
    });
    if (index < 0) return false;
    this.select.value = String(index);
    this.showForm();
    const command = this.commands[index];
    const rest = words.slice((command.path || [command.name]).length);
    const positionals = [...this.fields.querySelectorAll('[data-positional]')];
    for (let i = 0; i < rest.length; i += 1) {
      const option = this.fields.querySelector(`[data-option="${CSS.escape(rest[i])}"]`);
      if (option && option.type === 'checkbox') option.checked = true;
      else if (option) option.value = rest[(i += 1)] || '';
      else if (positionals.length) positionals.shift().value = rest[i];
    }
    this.select.focus();
    return true;
  }

  // The command line of the form. Given the request its dry run resolved, the elements it names
  // are given by identifier: the run acts on the element the dry run showed, or is refused
  // because that element changed, never on another that took its name meanwhile.
  argv(request = null) {
    const command = this.current();
    const argv = [...(command.path || [command.name])];
    for (const input of this.fields.querySelectorAll('[data-positional]')) {
      const id = request && ELEMENT_KINDS.includes(input.dataset.name) ? request[`${input.dataset.name}Id`] : null;
      if (typeof id === 'string') argv.push(id);
      else if (input.value.trim()) argv.push(input.value.trim());
    }
    for (const input of this.fields.querySelectorAll('[data-option]')) {
      if (input.type === 'checkbox') {
        if (input.checked) argv.push(input.dataset.option);
      } else if (input.value.trim()) {
        argv.push(input.dataset.option, input.value.trim());
      }
    }
    if (this.form.querySelector('#opt-system').checked) argv.push('--system');
    return argv;
  }

  forget() {
    this.pending = null;
    this.result.replaceChildren();
  }

  async dryRun() {
    const argv = this.argv();
    this.result.replaceChildren(el('p', {}, `Dry run of ${argv.join(' ')}…`));
    let answer;
    try {
      answer = await runCommand({ argv, dryRun: true });
    } catch (error) {
      this.result.replaceChildren(el('p', { class: 'failure', 'data-outcome': 'error' }, `The dry run failed: ${error.message}`));
      return;
    }
    const body = answer.body || {};
    const parts = [el('h3', {}, `Dry run: ${argv.join(' ')}`)];
    if (body.prediction) parts.push(...prediction(body.prediction));
    if (!succeeded(body)) {
      parts.push(failure(answer, 'The command would fail'));
      this.result.replaceChildren(...parts);
      return;
    }
    this.pending = { argv: this.argv(body.request), shown: argv, confirm: body.confirm || null };
    if (body.needsSystem) parts.push(el('p', { class: 'warning' }, 'It endangers the system (boot) volume: tick --system to go ahead.'));
    const carry = el('button', { type: 'button', id: 'carry-out', class: 'carry-out' }, 'Carry out');
    carry.addEventListener('click', () => this.carryOut(carry));
    if (body.asksFirst) {
      const expected = this.expectedName(body.request, argv);
      const input = el('input', { id: 'confirm-name', type: 'text', autocomplete: 'off', spellcheck: 'false',
        'data-expected': expected });
      carry.disabled = true;
      input.addEventListener('input', () => {
        carry.disabled = input.value !== expected;
      });
      parts.push(el('div', { class: 'confirm' },
        el('label', { for: 'confirm-name' }, `This destroys data. Type ${expected} to carry it out:`), input));
    }
    parts.push(carry);
    this.result.replaceChildren(...parts);
  }

  // The name of the element the request acts on, as the tree shows it when the dry run was made.
  // A command that names no element (`sim reset` acts on the whole machine) is confirmed by its
  // own name: the word after it would be an option, or nothing, which an empty box would match.
  expectedName(request, argv) {
    const index = this.getIndex();
    for (const kind of ELEMENT_KINDS) {
      const id = request && request[`${kind}Id`];
      const entry = id && index.get(id);
      if (entry) return nameOf(entry.kind, entry.item);
    }
    const command = this.current();
    const path = command.path || [command.name];
    return (command.positionals || []).length ? argv[path.length] || '' : path.join(' ');
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
    if (answer.httpStatus === 409) {
      this.result.append(el('p', { class: 'failure', 'data-outcome': 'conflict', role: 'alert' },
        `Refused (409): the element changed since the dry run. ${messageOf(answer.body)} Dry run again.`));
    } else if (succeeded(answer.body)) {
      this.result.append(el('p', { class: 'success', 'data-outcome': 'done' }, `Done: ${shown.join(' ')}.`));
    } else {
      this.result.append(failure(answer, 'Failed'));
    }
  }
}

function field(argument, positional) {
  const bare = argument.name.replace(/^-+/, '');
  const id = `${positional ? 'arg' : 'opt'}-${bare}`;
  const help = argument.description ? el('span', { class: 'hint', id: `${id}-help` }, argument.description) : null;
  let input;
  if (!positional && argument.flag) {
    input = el('input', { type: 'checkbox', id });
  } else {
    input = el('input', { type: 'text', id, autocomplete: 'off' });
  }
  if (argument.required) input.required = true;
  if (help) input.setAttribute('aria-describedby', help.id);
  if (positional) {
    input.dataset.positional = 'true';
    input.dataset.name = bare.toLowerCase();
  } else {
    input.dataset.option = argument.name;
  }
  const label = el('label', { for: id }, argument.name + (argument.required ? ' (required)' : ''));
  const flag = !positional && argument.flag;
  return el('div', { class: flag ? 'field flag' : 'field' }, ...(flag ? [input, label] : [label, input]), help);
}

function changeText(before, after) {
  if (!before) return 'new';
  if (!after) return 'gone';
  return Object.keys(after).filter((k) => !k.endsWith('Name') || !(k.slice(0, -4) in after))
    .map((k) => {
      const word = `${k}Name` in after ? `${k}Name` : k;
      return `${k}: ${before[word] ?? '—'} → ${after[word] ?? '—'}`;
    }).join(', ');
}

function prediction(p) {
  const parts = [];
  const rows = [];
  for (const kind of ['controllers', 'arrays', 'volumes', 'drives']) {
    for (const change of p[kind] || []) {
      rows.push(el('li', {}, `${change.label}: ${changeText(change.before, change.after)}`));
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
      el('li', {}, `the ${w.kind} of volume "${w.volumeName}" at ${w.percent}% (${w.why})`))));
  }
  if (p.notKnown && p.notKnown.length) {
    parts.push(el('h4', {}, 'Not known'), el('ul', {}, ...p.notKnown.map((l) => el('li', {}, String(l)))));
  }
  if (p.refusal) parts.push(el('p', { class: 'failure' }, `Refused: ${typeof p.refusal === 'string' ? p.refusal : JSON.stringify(p.refusal)}`));
  return parts;
}

function failure(answer, lead) {
  const status = (answer.body && answer.body.status) || {};
  const code = answer.exitCode === null ? '' : `, exit code ${answer.exitCode}`;
  return el('p', { class: 'failure', 'data-outcome': 'failed', role: 'alert' },
    `${lead} (${status.kind || `HTTP ${answer.httpStatus}`}${code}): ${status.message || ''}`);
}
