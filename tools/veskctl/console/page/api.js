// The server's HTTP interface. Every request rides on the session cookie the server set when the
// page was opened with a token, or signed in with one; a POST also carries the session's CSRF
// value, fetched again once when a POST is refused with 403.

let csrf = null;

export class HttpError extends Error {
  constructor(status, body) {
    super(messageOf(body) || `the server answered ${status}`);
    this.status = status;
    this.body = body;
  }
}

// The message of a failure answer: the server's own or the CLI's status block.
export function messageOf(body) {
  return body && body.status && typeof body.status.message === 'string' ? body.status.message : '';
}

async function readJson(response) {
  const text = await response.text();
  if (!text) return null;
  try {
    return JSON.parse(text);
  } catch {
    return { status: { ok: false, message: text.slice(0, 200) } };
  }
}

export async function getJson(path) {
  const response = await fetch(path, { credentials: 'same-origin', cache: 'no-store' });
  const body = await readJson(response);
  if (!response.ok) throw new HttpError(response.status, body);
  return body;
}

export async function refreshSession() {
  const session = await getJson('/api/session');
  csrf = session.csrf;
  return session;
}

async function post(path, payload) {
  return fetch(path, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json', 'X-Vesk-Token': csrf || '' },
    body: JSON.stringify(payload),
  });
}

// Starts a session with a token: the server sets its cookie. Throws HttpError for a wrong token.
export async function signIn(token) {
  const response = await fetch('/api/sign-in', {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ token }),
  });
  const body = await readJson(response);
  if (!response.ok) throw new HttpError(response.status, body);
  csrf = body.csrf;
  return body;
}

export async function signOut() {
  if (csrf === null) await refreshSession();
  const response = await post('/api/sign-out', {});
  csrf = null;
  if (!response.ok) throw new HttpError(response.status, await readJson(response));
}

// Runs a command: {argv, dryRun, confirm?}. Answers {httpStatus, exitCode, body}; a refusal of
// the command itself (409, a CLI failure) is an answer, not an exception.
export async function runCommand(payload) {
  if (csrf === null) await refreshSession();
  let response = await post('/api/commands', payload);
  if (response.status === 403) {
    await refreshSession();
    response = await post('/api/commands', payload);
  }
  const exitHeader = response.headers.get('X-Vesk-Exit-Code');
  return {
    httpStatus: response.status,
    exitCode: exitHeader === null ? null : Number(exitHeader),
    body: await readJson(response),
  };
}

// Whether a CLI answer says it succeeded (`ok`, or `success` as some answers spell it).
export function succeeded(body) {
  const status = body && body.status;
  if (!status) return false;
  return status.ok === true || status.success === true;
}
