// The console: loads the topology, the journal and the command table, then follows the journal
// live. `#last-event-id` shows the last journal record whose effect the page shows: a record
// that changes the topology counts once the topology fetched after it has arrived.

import { getJson, HttpError, refreshSession, runCommand, signIn, signOut } from './api.js';
import { CommandPanel } from './commands.js';
import { applyProgress, readingsOf, renderJobs, runningWork } from './jobs.js';
import { JournalView } from './journal.js';
import { renderSummary } from './summary.js';
import { indexTopology, renderDetails, TreeView } from './tree.js';

const $ = (id) => document.getElementById(id);

// Records about the outside of the machine rather than its elements change nothing shown.
const NO_TOPOLOGY = new Set(['reminder', 'program-failed', 'delivery-failed', 'refresh-failed', 'refresh-recovered']);
const REFETCH_DELAY_MS = 150;
const RECONNECT_MS = [500, 1000, 2000, 4000];
// A start the server refused (busy, restarting) is tried again, less and less often.
const START_RETRY_S = [1, 2, 4, 8, 15, 30];

const state = {
  doc: null,
  index: new Map(),
  readings: new Map(),
  readingJobs: false,
  readJobsAgain: false,
  selectedId: null,
  lastApplied: 0,
  lastReceived: 0,
  refetchTimer: null,
  fetching: false,
  fetchAgain: false,
  source: null,
  lost: false,
  attempts: 0,
};

const journal = new JournalView({
  list: $('journal'),
  kindSelect: $('filter-kind'),
  elementInput: $('filter-element'),
  severitySelect: $('filter-severity'),
  exportLink: $('journal-export'),
});
const tree = new TreeView($('tree'), (id) => select(id));
const commands = new CommandPanel({
  form: $('command-form'),
  select: $('command-select'),
  description: $('command-description'),
  fields: $('command-fields'),
  result: $('command-result'),
  getIndex: () => state.index,
  getSelection: () => (state.selectedId ? state.index.get(state.selectedId) || null : null),
});

function setApplied(id) {
  if (id > state.lastApplied) {
    state.lastApplied = id;
    $('last-event-id').textContent = String(id);
  }
}

function setConnection(name, text) {
  const banner = $('connection');
  banner.dataset.state = name;
  banner.textContent = text;
  banner.setAttribute('role', name === 'lost' ? 'alert' : 'status');
}

function select(id) {
  state.selectedId = id;
  render();
  commands.prefill();
}

// The summary's buttons take the administrator to the element, in the tree, selected.
$('summary').addEventListener('click', (event) => {
  const button = event.target.closest('[data-select]');
  if (!button) return;
  select(button.dataset.select);
  tree.focusItem(button.dataset.select);
});

function render() {
  renderSummary($('summary'), state.doc);
  tree.render(state.doc, state.selectedId);
  renderDetails($('details'), state.index, state.selectedId, commands);
  renderJobs($('jobs'), state.doc, state.readings);
}

// The rate and time left of running work, from the `jobs` command's dry run.
async function readJobs() {
  if (state.readingJobs) {
    state.readJobsAgain = true;
    return;
  }
  state.readingJobs = true;
  try {
    const answer = await runCommand({ argv: ['jobs'], dryRun: true });
    if (answer.httpStatus === 200) {
      state.readings = readingsOf(answer.body);
      renderJobs($('jobs'), state.doc, state.readings);
    }
  } catch {
    // The bars stand without a rate until the next topology brings another try.
  } finally {
    state.readingJobs = false;
    if (state.readJobsAgain) {
      state.readJobsAgain = false;
      readJobs();
    }
  }
}

async function loadTopology() {
  const seen = state.lastReceived;
  const doc = await getJson('/api/topology');
  state.doc = doc;
  state.index = indexTopology(doc);
  render();
  // The records received before the fetch began are all shown now; later ones the topology may
  // hold already, but the journal view has yet to get them.
  setApplied(seen);
  if (runningWork(doc, state.readings).length) readJobs();
  return doc;
}

// Fetches the topology again soon; records that come meanwhile share the one fetch.
function scheduleRefetch(delay = REFETCH_DELAY_MS) {
  if (state.fetching) {
    state.fetchAgain = true;
    return;
  }
  clearTimeout(state.refetchTimer);
  state.refetchTimer = setTimeout(refetch, delay);
}

async function refetch() {
  state.refetchTimer = null;
  state.fetching = true;
  try {
    await loadTopology();
  } catch (error) {
    if (!(error instanceof TypeError)) showProblem(`Could not read the topology: ${error.message}`);
  } finally {
    state.fetching = false;
    if (state.fetchAgain) {
      state.fetchAgain = false;
      scheduleRefetch();
    }
  }
}

function pendingTopology() {
  return state.fetching || state.refetchTimer !== null;
}

function onRecord(record) {
  if (typeof record.id !== 'number' || record.id <= state.lastReceived) return;
  state.lastReceived = record.id;
  journal.add([record]);
  const element = record.element;
  if (record.property === 'MigrationProgress' && element && element.kind === 'volume') {
    applyProgress($('jobs'), element.id, record.new);
  }
  if (NO_TOPOLOGY.has(record.kind)) {
    if (!pendingTopology()) setApplied(record.id);
  } else {
    scheduleRefetch();
  }
}

// Records the page was to get are gone from the journal: start again from what there is now.
async function resync() {
  try {
    const doc = await loadTopology();
    const held = await getJson('/api/journal?limit=200');
    journal.reset(held.records || []);
    state.lastReceived = Math.max(state.lastReceived, Number(doc.journalId) || 0);
    setApplied(Math.min(Number(doc.journalId) || 0, Number(held.lastId) || 0));
  } catch (error) {
    showProblem(`Could not reload after missed records: ${error.message}`);
  }
}

function connect() {
  const source = new EventSource(`/api/events?after=${state.lastReceived}`);
  state.source = source;
  source.addEventListener('open', () => {
    state.attempts = 0;
    setConnection('live', 'Live');
    if (state.lost) {
      state.lost = false;
      refreshSession().catch(() => {});
      scheduleRefetch(0);
    }
  });
  source.addEventListener('message', (event) => {
    try {
      onRecord(JSON.parse(event.data));
    } catch (error) {
      showProblem(`A journal record could not be read: ${error.message}`);
    }
  });
  source.addEventListener('resync', () => resync());
  source.addEventListener('error', () => {
    // The page reconnects itself, from the last record it got, rather than leave it to the
    // browser, which gives up for good on some answers.
    source.close();
    if (state.source !== source) return;
    state.lost = true;
    setConnection('lost', 'Connection to the server lost: reconnecting…');
    const delay = RECONNECT_MS[Math.min(state.attempts, RECONNECT_MS.length - 1)];
    state.attempts += 1;
    setTimeout(reconnect, delay);
  });
}

// A restart of the console ends its sessions: a page that finds itself signed out asks for the
// token and then carries on where it stopped.
async function reconnect() {
  try {
    await refreshSession();
  } catch (error) {
    if (error instanceof HttpError && error.status === 401) {
      askToSignIn('Signed out (the console restarted, or the session ended): sign in again.');
      return;
    }
  }
  connect();
}

function askToSignIn(why) {
  setConnection('lost', why);
  $('sign-out').hidden = true;
  $('sign-in').hidden = false;
  $('sign-in-token').focus();
}

$('sign-in').addEventListener('submit', async (event) => {
  event.preventDefault();
  try {
    await signIn($('sign-in-token').value);
  } catch (error) {
    setConnection('lost', `Not signed in: ${error.message}`);
    return;
  }
  $('sign-in-token').value = '';
  $('sign-in').hidden = true;
  $('sign-out').hidden = false;
  if (state.doc === null) start();
  else connect();
});

$('sign-out').addEventListener('click', async () => {
  const source = state.source;
  state.source = null;
  if (source) source.close();
  try {
    await signOut();
  } catch (error) {
    showProblem(`Could not sign out: ${error.message}`);
  }
  state.lost = true;
  askToSignIn('Signed out.');
});

function showProblem(text) {
  const result = $('command-result');
  if (result.querySelector('.problem')) result.querySelector('.problem').textContent = text;
  else result.prepend(Object.assign(document.createElement('p'), { className: 'problem', textContent: text }));
}

async function start(attempt = 0) {
  try {
    await refreshSession();
    commands.load(await getJson('/api/commands'));
    const doc = await loadTopology();
    state.lastReceived = Number(doc.journalId) || 0;
    const held = await getJson('/api/journal?limit=200');
    journal.add((held.records || []).filter((r) => r.id <= state.lastReceived));
    setApplied(state.lastReceived);
    $('sign-out').hidden = false;
    connect();
  } catch (error) {
    if (error instanceof HttpError && error.status === 401) {
      askToSignIn('Not signed in: open the address veskctl serve printed, or sign in with a token.');
      return;
    }
    const seconds = START_RETRY_S[Math.min(attempt, START_RETRY_S.length - 1)];
    setConnection('lost', error instanceof HttpError
      ? `The console could not start (${error.status}: ${error.message}): retrying in ${seconds} s…`
      : `Could not reach the console: retrying in ${seconds} s…`);
    setTimeout(() => start(attempt + 1), seconds * 1000);
  }
}

start();
